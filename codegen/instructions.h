// The instruction set of the editor's stack machine: numbers, names and
// operand layouts.  The compiler's emitters and the tools beside it (the
// disassembler) share this one table.
#pragma once

#include <array>
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

namespace op {
inline constexpr std::uint8_t push_i8 = 1;
inline constexpr std::uint8_t push_i32 = 2;
inline constexpr std::uint8_t push_string = 3;
inline constexpr std::uint8_t push_null = 4;
inline constexpr std::uint8_t push_color_class = 5;
inline constexpr std::uint8_t jump = 6;
inline constexpr std::uint8_t jump_if_true = 7;
inline constexpr std::uint8_t jump_if_false = 8;
inline constexpr std::uint8_t call = 9;
inline constexpr std::uint8_t return_value = 10;
inline constexpr std::uint8_t return_large = 11;
inline constexpr std::uint8_t return_ = 12;
inline constexpr std::uint8_t add = 13;
inline constexpr std::uint8_t sub = 14;
inline constexpr std::uint8_t mul = 15;
inline constexpr std::uint8_t div = 16;
inline constexpr std::uint8_t mod = 17;
inline constexpr std::uint8_t and_ = 18;
inline constexpr std::uint8_t or_ = 19;
inline constexpr std::uint8_t xor_ = 20;
inline constexpr std::uint8_t shift = 21;
inline constexpr std::uint8_t gt = 22;
inline constexpr std::uint8_t ge = 23;
inline constexpr std::uint8_t lt = 24;
inline constexpr std::uint8_t le = 25;
inline constexpr std::uint8_t eq = 26;
inline constexpr std::uint8_t ne = 27;
inline constexpr std::uint8_t not_ = 28;
inline constexpr std::uint8_t neg = 29;
inline constexpr std::uint8_t load_local = 30;
inline constexpr std::uint8_t store_local = 31;
inline constexpr std::uint8_t load_local_large = 32;
inline constexpr std::uint8_t store_local_large = 33;
inline constexpr std::uint8_t load_builtin = 34;
inline constexpr std::uint8_t store_builtin = 35;
inline constexpr std::uint8_t save_var = 36;
inline constexpr std::uint8_t end_handler = 37;
inline constexpr std::uint8_t addr_local = 38;
inline constexpr std::uint8_t addr_builtin = 39;
inline constexpr std::uint8_t global_ref = 40;
inline constexpr std::uint8_t addr_global = 41;
inline constexpr std::uint8_t deref = 42;
inline constexpr std::uint8_t ptr_to_int = 43;
inline constexpr std::uint8_t ptr_operands = 44;
inline constexpr std::uint8_t push_function = 45;
inline constexpr std::uint8_t call_indirect = 46;
inline constexpr std::uint8_t load_1 = 47;
inline constexpr std::uint8_t store_1 = 48;
inline constexpr std::uint8_t load_2 = 49;
inline constexpr std::uint8_t store_2 = 50;
inline constexpr std::uint8_t load_4 = 51;
inline constexpr std::uint8_t store_4 = 52;
inline constexpr std::uint8_t load_large = 53;
inline constexpr std::uint8_t store_large = 54;
inline constexpr std::uint8_t pop = 55;
inline constexpr std::uint8_t pop_large = 56;
inline constexpr std::uint8_t dup = 57;
inline constexpr std::uint8_t dup_large = 58;
inline constexpr std::uint8_t debug_file = 59;
inline constexpr std::uint8_t debug_line = 60;
inline constexpr std::uint8_t load_iter = 61;
inline constexpr std::uint8_t load_point = 62;
inline constexpr std::uint8_t load_key = 63;
inline constexpr std::uint8_t store_iter = 64;
inline constexpr std::uint8_t store_point = 65;
inline constexpr std::uint8_t store_key = 66;
inline constexpr std::uint8_t load_key_type = 67;
inline constexpr std::uint8_t load_cmd_len = 68;
inline constexpr std::uint8_t load_ungot_key = 69;
inline constexpr std::uint8_t inc_local = 70;
inline constexpr std::uint8_t inc_builtin = 71;
inline constexpr std::uint8_t push_zero = 72;
inline constexpr std::uint8_t jump_if_eq_const = 73;
inline constexpr std::uint8_t jump_if_ne_const = 74;
inline constexpr std::uint8_t switch_ = 75;
inline constexpr std::uint8_t add_scaled = 76;
inline constexpr std::uint8_t load_global_2 = 77;
inline constexpr std::uint8_t store_global_2 = 78;
inline constexpr std::uint8_t load_local_wide = 79;
inline constexpr std::uint8_t store_local_wide = 80;
inline constexpr std::uint8_t load_local_large_wide = 81;
inline constexpr std::uint8_t store_local_large_wide = 82;
inline constexpr std::uint8_t addr_local_wide = 83;
inline constexpr std::uint8_t load_spot = 84;
inline constexpr std::uint8_t store_spot = 85;
inline constexpr std::uint8_t primitive_ext = 86;
inline constexpr std::uint8_t default_begin = 87;
inline constexpr std::uint8_t default_end = 88;
inline constexpr std::uint8_t int_to_ptr = 89;
inline constexpr std::uint8_t on_exit = 90;
inline constexpr std::uint8_t load_local_narrow = 91;
inline constexpr std::uint8_t store_local_narrow = 92;
// 95 to 245 call the primitive with that number; 512 and up go through
// primitive_ext with the number minus 512.
inline constexpr int first_primitive = 95;
inline constexpr int last_primitive = 245;
inline constexpr int extended_primitive_base = 512;
}  // namespace op

struct Instruction {
  std::string_view name;  // empty for numbers that are not instructions
  std::array<Operand, 3> operands;
};

namespace detail {
using O = Operand;
constexpr Instruction ins(std::string_view name, O a = O::none,
                          O b = O::none, O c = O::none) {
  return {name, {a, b, c}};
}
}  // namespace detail

// Every instruction by its number (0 to 92); numbers with an empty name are
// never emitted.
inline constexpr std::array<Instruction, 93> instruction_table = [] {
  using detail::ins;
  using O = Operand;
  return std::array<Instruction, 93>{
      ins(""),
      ins("OP_PUSH_I8", O::sbyte),
      ins("OP_PUSH_I32", O::int32),
      ins("OP_PUSH_STRING", O::off32),
      ins("OP_PUSH_NULL"),
      ins("OP_PUSH_COLOR_CLASS", O::name),
      ins("OP_JUMP", O::rel16),
      ins("OP_JUMP_IF_TRUE", O::rel16),
      ins("OP_JUMP_IF_FALSE", O::rel16),
      ins("OP_CALL", O::nameref, O::ubyte),
      ins("OP_RETURN_VALUE"),
      ins("OP_RETURN_LARGE"),
      ins("OP_RETURN"),
      ins("OP_ADD"),
      ins("OP_SUB"),
      ins("OP_MUL"),
      ins("OP_DIV"),
      ins("OP_MOD"),
      ins("OP_AND"),
      ins("OP_OR"),
      ins("OP_XOR"),
      ins("OP_SHIFT"),
      ins("OP_GT"),
      ins("OP_GE"),
      ins("OP_LT"),
      ins("OP_LE"),
      ins("OP_EQ"),
      ins("OP_NE"),
      ins("OP_NOT"),
      ins("OP_NEG"),
      ins("OP_LOAD_LOCAL", O::sbyte),
      ins("OP_STORE_LOCAL", O::sbyte),
      ins("OP_LOAD_LOCAL_LARGE", O::sbyte),
      ins("OP_STORE_LOCAL_LARGE", O::sbyte),
      ins("OP_LOAD_BUILTIN", O::ubyte),
      ins("OP_STORE_BUILTIN", O::ubyte),
      ins("OP_SAVE_VAR", O::ubyte, O::restore_code),
      ins("OP_END_HANDLER"),
      ins("OP_ADDR_LOCAL", O::sbyte, O::off32),
      ins("OP_ADDR_BUILTIN", O::ubyte, O::off32),
      ins("OP_GLOBAL_REF", O::nameref),
      ins("OP_ADDR_GLOBAL", O::nameref),
      ins("OP_DEREF"),
      ins("OP_PTR_TO_INT"),
      ins("OP_PTR_OPERANDS"),
      ins("OP_PUSH_FUNCTION", O::nameref),
      ins("OP_CALL_INDIRECT", O::ubyte),
      ins("OP_LOAD_1"),
      ins("OP_STORE_1"),
      ins("OP_LOAD_2"),
      ins("OP_STORE_2"),
      ins("OP_LOAD_4"),
      ins("OP_STORE_4"),
      ins("OP_LOAD_LARGE"),
      ins("OP_STORE_LARGE"),
      ins("OP_POP"),
      ins("OP_POP_LARGE"),
      ins("OP_DUP"),
      ins("OP_DUP_LARGE"),
      ins("OP_DEBUG_FILE", O::off32),
      ins("OP_DEBUG_LINE", O::word16),
      ins("OP_LOAD_ITER"),
      ins("OP_LOAD_POINT"),
      ins("OP_LOAD_KEY"),
      ins("OP_STORE_ITER"),
      ins("OP_STORE_POINT"),
      ins("OP_STORE_KEY"),
      ins("OP_LOAD_KEY_TYPE"),
      ins("OP_LOAD_CMD_LEN"),
      ins("OP_LOAD_UNGOT_KEY"),
      ins("OP_INC_LOCAL", O::sbyte, O::ubyte, O::sbyte),
      ins("OP_INC_BUILTIN", O::sbyte, O::ubyte, O::ubyte),
      ins("OP_PUSH_ZERO"),
      ins("OP_JUMP_IF_EQ_CONST", O::sbyte, O::rel16),
      ins("OP_JUMP_IF_NE_CONST", O::sbyte, O::rel16),
      ins("OP_SWITCH", O::switch_table),
      ins("OP_ADD_SCALED", O::sbyte),
      ins("OP_LOAD_GLOBAL_2", O::nameref),
      ins("OP_STORE_GLOBAL_2", O::nameref),
      ins("OP_LOAD_LOCAL_WIDE", O::word16),
      ins("OP_STORE_LOCAL_WIDE", O::word16),
      ins("OP_LOAD_LOCAL_LARGE_WIDE", O::word16),
      ins("OP_STORE_LOCAL_LARGE_WIDE", O::word16),
      ins("OP_ADDR_LOCAL_WIDE", O::word16, O::off32),
      ins("OP_LOAD_SPOT"),
      ins("OP_STORE_SPOT"),
      ins("OP_PRIMITIVE_EXT", O::ubyte),
      ins("OP_DEFAULT_BEGIN"),
      ins("OP_DEFAULT_END"),
      ins("OP_INT_TO_PTR"),
      ins("OP_ON_EXIT", O::rel16),
      ins("OP_LOAD_LOCAL_NARROW", O::ubyte, O::narrow_offset),
      ins("OP_STORE_LOCAL_NARROW", O::ubyte, O::narrow_offset),
  };
}();

static_assert(instruction_table[op::push_i8].name == "OP_PUSH_I8");
static_assert(instruction_table[op::return_].name == "OP_RETURN");
static_assert(instruction_table[op::save_var].name == "OP_SAVE_VAR");
static_assert(instruction_table[op::debug_line].name == "OP_DEBUG_LINE");
static_assert(instruction_table[op::push_zero].name == "OP_PUSH_ZERO");
static_assert(instruction_table[op::switch_].name == "OP_SWITCH");
static_assert(instruction_table[op::primitive_ext].name == "OP_PRIMITIVE_EXT");
static_assert(instruction_table[op::store_local_narrow].name ==
              "OP_STORE_LOCAL_NARROW");

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
