// The instruction set of the editor's stack machine: numbers, names and
// operand layouts.  The compiler's emitters and the tools beside it (the
// disassembler) share this one table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qxl {

// How the bytes after an opcode are laid out.
enum class Operand : std::uint8_t {
  none,
  sbyte,    // signed 8-bit
  ubyte,    // unsigned 8-bit
  word16,   // 16-bit
  int32,    // signed 32-bit
  off32,    // 32-bit offset or size
  rel16,    // signed jump displacement from the end of the operand
  nameref,  // two zero bytes listed in the function's reference table
  name,     // a name in place, '_' written as '-', zero-terminated
  // OP_SWITCH: word16 count, then count entries of rel16 + int32; the
  // displacements count from the end of the whole table.
  switch_table,
  // OP_SAVE_VAR after its flags byte: ubyte length, then that many bytes of
  // restore code ending in OP_END_HANDLER.
  restore_code,
  // Narrow local loads and stores after their kind byte: an sbyte offset,
  // or a word16 when the kind byte has bit 2 set.
  narrow_offset,
};

// The instructions in the order of their numbers, from 1: the name in
// this file, the name listings print, then the operand notations (at most
// three).  Every use below derives from this one list, so that a number, a
// name and a layout cannot drift apart.
#define QXL_INSTRUCTIONS(X)                                                  \
  X(push_i8, "OP_PUSH_I8", sbyte)                                            \
  X(push_i32, "OP_PUSH_I32", int32)                                          \
  X(push_string, "OP_PUSH_STRING", off32)                                    \
  X(push_null, "OP_PUSH_NULL")                                               \
  X(push_color_class, "OP_PUSH_COLOR_CLASS", name)                           \
  X(jump, "OP_JUMP", rel16)                                                  \
  X(jump_if_true, "OP_JUMP_IF_TRUE", rel16)                                  \
  X(jump_if_false, "OP_JUMP_IF_FALSE", rel16)                                \
  X(call, "OP_CALL", nameref, ubyte)                                         \
  X(return_value, "OP_RETURN_VALUE")                                         \
  X(return_large, "OP_RETURN_LARGE")                                         \
  X(return_, "OP_RETURN")                                                    \
  X(add, "OP_ADD")                                                           \
  X(sub, "OP_SUB")                                                           \
  X(mul, "OP_MUL")                                                           \
  X(div, "OP_DIV")                                                           \
  X(mod, "OP_MOD")                                                           \
  X(and_, "OP_AND")                                                          \
  X(or_, "OP_OR")                                                            \
  X(xor_, "OP_XOR")                                                          \
  X(shift, "OP_SHIFT")                                                       \
  X(gt, "OP_GT")                                                             \
  X(ge, "OP_GE")                                                             \
  X(lt, "OP_LT")                                                             \
  X(le, "OP_LE")                                                             \
  X(eq, "OP_EQ")                                                             \
  X(ne, "OP_NE")                                                             \
  X(not_, "OP_NOT")                                                          \
  X(neg, "OP_NEG")                                                           \
  X(load_local, "OP_LOAD_LOCAL", sbyte)                                      \
  X(store_local, "OP_STORE_LOCAL", sbyte)                                    \
  X(load_local_large, "OP_LOAD_LOCAL_LARGE", sbyte)                          \
  X(store_local_large, "OP_STORE_LOCAL_LARGE", sbyte)                        \
  X(load_builtin, "OP_LOAD_BUILTIN", ubyte)                                  \
  X(store_builtin, "OP_STORE_BUILTIN", ubyte)                                \
  X(save_var, "OP_SAVE_VAR", ubyte, restore_code)                            \
  X(end_handler, "OP_END_HANDLER")                                           \
  X(addr_local, "OP_ADDR_LOCAL", sbyte, off32)                               \
  X(addr_builtin, "OP_ADDR_BUILTIN", ubyte, off32)                           \
  X(global_ref, "OP_GLOBAL_REF", nameref)                                    \
  X(addr_global, "OP_ADDR_GLOBAL", nameref)                                  \
  X(deref, "OP_DEREF")                                                       \
  X(ptr_to_int, "OP_PTR_TO_INT")                                             \
  X(ptr_operands, "OP_PTR_OPERANDS")                                         \
  X(push_function, "OP_PUSH_FUNCTION", nameref)                              \
  X(call_indirect, "OP_CALL_INDIRECT", ubyte)                                \
  X(load_1, "OP_LOAD_1")                                                     \
  X(store_1, "OP_STORE_1")                                                   \
  X(load_2, "OP_LOAD_2")                                                     \
  X(store_2, "OP_STORE_2")                                                   \
  X(load_4, "OP_LOAD_4")                                                     \
  X(store_4, "OP_STORE_4")                                                   \
  X(load_large, "OP_LOAD_LARGE")                                             \
  X(store_large, "OP_STORE_LARGE")                                           \
  X(pop, "OP_POP")                                                           \
  X(pop_large, "OP_POP_LARGE")                                               \
  X(dup, "OP_DUP")                                                           \
  X(dup_large, "OP_DUP_LARGE")                                               \
  X(debug_file, "OP_DEBUG_FILE", off32)                                      \
  X(debug_line, "OP_DEBUG_LINE", word16)                                     \
  X(load_iter, "OP_LOAD_ITER")                                               \
  X(load_point, "OP_LOAD_POINT")                                             \
  X(load_key, "OP_LOAD_KEY")                                                 \
  X(store_iter, "OP_STORE_ITER")                                             \
  X(store_point, "OP_STORE_POINT")                                           \
  X(store_key, "OP_STORE_KEY")                                               \
  X(load_key_type, "OP_LOAD_KEY_TYPE")                                       \
  X(load_cmd_len, "OP_LOAD_CMD_LEN")                                         \
  X(load_ungot_key, "OP_LOAD_UNGOT_KEY")                                     \
  X(inc_local, "OP_INC_LOCAL", sbyte, ubyte, sbyte)                          \
  X(inc_builtin, "OP_INC_BUILTIN", sbyte, ubyte, ubyte)                      \
  X(push_zero, "OP_PUSH_ZERO")                                               \
  X(jump_if_eq_const, "OP_JUMP_IF_EQ_CONST", sbyte, rel16)                   \
  X(jump_if_ne_const, "OP_JUMP_IF_NE_CONST", sbyte, rel16)                   \
  X(switch_, "OP_SWITCH", switch_table)                                      \
  X(add_scaled, "OP_ADD_SCALED", sbyte)                                      \
  X(load_global_2, "OP_LOAD_GLOBAL_2", nameref)                              \
  X(store_global_2, "OP_STORE_GLOBAL_2", nameref)                            \
  X(load_local_wide, "OP_LOAD_LOCAL_WIDE", word16)                           \
  X(store_local_wide, "OP_STORE_LOCAL_WIDE", word16)                         \
  X(load_local_large_wide, "OP_LOAD_LOCAL_LARGE_WIDE", word16)               \
  X(store_local_large_wide, "OP_STORE_LOCAL_LARGE_WIDE", word16)             \
  X(addr_local_wide, "OP_ADDR_LOCAL_WIDE", word16, off32)                    \
  X(load_spot, "OP_LOAD_SPOT")                                               \
  X(store_spot, "OP_STORE_SPOT")                                             \
  X(primitive_ext, "OP_PRIMITIVE_EXT", ubyte)                                \
  X(default_begin, "OP_DEFAULT_BEGIN")                                       \
  X(default_end, "OP_DEFAULT_END")                                           \
  X(int_to_ptr, "OP_INT_TO_PTR")                                             \
  X(on_exit, "OP_ON_EXIT", rel16)                                            \
  X(load_local_narrow, "OP_LOAD_LOCAL_NARROW", ubyte, narrow_offset)         \
  X(store_local_narrow, "OP_STORE_LOCAL_NARROW", ubyte, narrow_offset)       \
  /* end of the list */

namespace op {

// The opcodes by name; 0 is not an instruction.  An unscoped enumeration
// in its own namespace: op::add reads as before, compares with and
// converts to an opcode byte, while nothing converts to it implicitly, so
// that emit() takes only the instructions listed here.
enum Opcode : std::uint8_t {
  none,
#define QXL_OPCODE_NAME(id, ...) id,
  QXL_INSTRUCTIONS(QXL_OPCODE_NAME)
#undef QXL_OPCODE_NAME
};

// 95 to 245 call the primitive with that number; 512 and up go through
// primitive_ext with the number minus 512.
inline constexpr int first_primitive = 95;
inline constexpr int last_primitive = 245;
inline constexpr int extended_primitive_base = 512;

}  // namespace op

using op::Opcode;

struct Instruction {
  std::string_view name;  // empty for numbers that are not instructions
  std::array<Operand, 3> operands;
};

// One entry for 0 and one for each instruction.
inline constexpr std::size_t instruction_count =
#define QXL_COUNT_ONE(...) +1
    1 QXL_INSTRUCTIONS(QXL_COUNT_ONE);
#undef QXL_COUNT_ONE

// Every instruction by its number; 0 has an empty name and is never
// emitted.
inline constexpr std::array<Instruction, instruction_count> instruction_table =
    [] {
      using enum Operand;
      return std::array<Instruction, instruction_count>{{
          {"", {}},
#define QXL_TABLE_ROW(id, text, ...) {text, {__VA_ARGS__}},
          QXL_INSTRUCTIONS(QXL_TABLE_ROW)
#undef QXL_TABLE_ROW
      }};
    }();

#undef QXL_INSTRUCTIONS

// The numbers of the table stay below those of the primitives.
static_assert(instruction_count <= op::first_primitive);

// The call byte of calls and variadic primitives: argument words in bits 0
// to 6, bit 7 when the caller uses the result.
inline constexpr std::uint8_t call_byte(int argument_words, bool result_used) {
  return static_cast<std::uint8_t>((argument_words & 0x7F) |
                                   (result_used ? 0x80 : 0));
}

// The kind byte of narrow local loads and stores.
namespace narrow {
inline constexpr std::uint8_t byte_value = 0;
inline constexpr std::uint8_t short_value = 1;
inline constexpr std::uint8_t char_value = 2;  // also function pointers
inline constexpr std::uint8_t wide_offset = 4;
}  // namespace narrow

// The mode byte of in-place increments.
namespace inc_mode {
inline constexpr std::uint8_t no_value = 0;
inline constexpr std::uint8_t value_before = 1;
inline constexpr std::uint8_t value_after = 2;
}  // namespace inc_mode

// The flags byte of OP_SAVE_VAR.
namespace save_flags {
inline constexpr std::uint8_t words_mask = 0x0F;
inline constexpr std::uint8_t spot = 0x10;
inline constexpr std::uint8_t buffer_specific = 0x20;
inline constexpr std::uint8_t window_specific = 0x40;
}  // namespace save_flags

}  // namespace qxl
