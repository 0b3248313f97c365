#include "bytecode/instructions.h"

#include <gtest/gtest.h>

#include <set>
#include <string_view>

namespace qxl {
namespace {

using O = Operand;

// The numbers are those of the instruction set the editor runs: a row moved
// or inserted in the list would renumber everything after it.
TEST(InstructionList, NumbersAndNamesAreThoseOfTheMachine) {
  struct Pin {
    Opcode opcode;
    int number;
    std::string_view name;
  };
  constexpr Pin pins[] = {
      {op::push_i8, 1, "OP_PUSH_I8"},
      {op::push_color_class, 5, "OP_PUSH_COLOR_CLASS"},
      {op::call, 9, "OP_CALL"},
      {op::return_, 12, "OP_RETURN"},
      {op::and_, 18, "OP_AND"},
      {op::not_, 28, "OP_NOT"},
      {op::load_local, 30, "OP_LOAD_LOCAL"},
      {op::save_var, 36, "OP_SAVE_VAR"},
      {op::end_handler, 37, "OP_END_HANDLER"},
      {op::push_function, 45, "OP_PUSH_FUNCTION"},
      {op::store_large, 54, "OP_STORE_LARGE"},
      {op::debug_file, 59, "OP_DEBUG_FILE"},
      {op::debug_line, 60, "OP_DEBUG_LINE"},
      {op::load_ungot_key, 69, "OP_LOAD_UNGOT_KEY"},
      {op::push_zero, 72, "OP_PUSH_ZERO"},
      {op::switch_, 75, "OP_SWITCH"},
      {op::load_local_wide, 79, "OP_LOAD_LOCAL_WIDE"},
      {op::addr_local_wide, 83, "OP_ADDR_LOCAL_WIDE"},
      {op::primitive_ext, 86, "OP_PRIMITIVE_EXT"},
      {op::on_exit, 90, "OP_ON_EXIT"},
      {op::store_local_narrow, 92, "OP_STORE_LOCAL_NARROW"},
  };
  for (const Pin& pin : pins) {
    EXPECT_EQ(static_cast<int>(pin.opcode), pin.number) << pin.name;
    EXPECT_EQ(instruction_table[pin.opcode].name, pin.name);
  }
}

TEST(InstructionList, EveryNumberFromOneToTheLastIsAnInstruction) {
  ASSERT_EQ(instruction_count, 93u);
  EXPECT_TRUE(instruction_table[op::none].name.empty());
  std::set<std::string_view> names;
  for (std::size_t number = 1; number < instruction_count; ++number) {
    const std::string_view name = instruction_table[number].name;
    EXPECT_TRUE(name.starts_with("OP_")) << number;
    EXPECT_TRUE(names.insert(name).second) << name << " twice";
  }
  // The primitives' numbers follow with a gap.
  EXPECT_LT(instruction_count, static_cast<std::size_t>(op::first_primitive));
}

TEST(InstructionList, OperandNotations) {
  using Notation = std::array<Operand, 3>;
  EXPECT_EQ(instruction_table[op::push_null].operands,
            (Notation{O::none, O::none, O::none}));
  EXPECT_EQ(instruction_table[op::push_i32].operands,
            (Notation{O::int32, O::none, O::none}));
  EXPECT_EQ(instruction_table[op::call].operands,
            (Notation{O::nameref, O::ubyte, O::none}));
  EXPECT_EQ(instruction_table[op::addr_local].operands,
            (Notation{O::sbyte, O::off32, O::none}));
  EXPECT_EQ(instruction_table[op::inc_builtin].operands,
            (Notation{O::sbyte, O::ubyte, O::ubyte}));
  EXPECT_EQ(instruction_table[op::jump_if_ne_const].operands,
            (Notation{O::sbyte, O::rel16, O::none}));
  EXPECT_EQ(instruction_table[op::save_var].operands,
            (Notation{O::ubyte, O::restore_code, O::none}));
  EXPECT_EQ(instruction_table[op::switch_].operands,
            (Notation{O::switch_table, O::none, O::none}));
}

// What the readers of the table rely on: the operands come first, a
// narrow offset and restore code follow the byte that describes them, and
// a switch table is the whole of its instruction.
TEST(InstructionList, NotationsAreWellFormed) {
  for (std::size_t number = 1; number < instruction_count; ++number) {
    const auto& operands = instruction_table[number].operands;
    const std::string_view name = instruction_table[number].name;
    for (std::size_t i = 1; i < operands.size(); ++i) {
      if (operands[i] == O::none) continue;
      EXPECT_NE(operands[i - 1], O::none) << name;
      if (operands[i] == O::narrow_offset || operands[i] == O::restore_code) {
        EXPECT_EQ(operands[i - 1], O::ubyte) << name;
      }
      EXPECT_NE(operands[i], O::switch_table) << name;
    }
    EXPECT_NE(operands[0], O::narrow_offset) << name;
    EXPECT_NE(operands[0], O::restore_code) << name;
    if (operands[0] == O::switch_table) {
      EXPECT_EQ(operands[1], O::none) << name;
    }
  }
}

}  // namespace
}  // namespace qxl
