// The code buffer: every byte of a record is composed here before it goes
// to the writer.  Holds emit(), through which every instruction goes and
// which lays out its operands as the instruction table says, numbered
// labels with their pending jumps, the break/continue and switch stacks
// with their case tables, the named labels of goto, debugging records, key
// bindings, and the opening and closing of a function record.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bytecode/format.h"
#include "bytecode/instructions.h"

namespace qxl {

struct Symbol;
struct Type;

inline constexpr std::size_t function_header_size = 12;
inline constexpr int max_named_labels = 49;
inline constexpr int max_bindings = 20;
inline constexpr std::size_t binding_size = 6;

// Everything one function's record is built from.  open_function makes a
// new one, so that nothing of a function can reach the next by being left
// out of a reset.
struct FunctionCode {
  // The record: kind, name, header (filled in when it closes), code.
  ByteBuffer bytes;
  std::size_t header_position = 0;
  std::size_t code_start = 0;

  // Labels by number (0 is never a label).  A label's position is where it
  // was placed; its fixups are the operands of jumps still waiting for it,
  // kept as a list through fixup_links, newest first, that starts at the
  // label's entry of fixup_heads (no_fixup when none waits).
  struct FixupLink {
    std::size_t operand;
    int next;
  };
  static constexpr int no_fixup = -1;
  int label_counter = 1;
  std::vector<std::size_t> label_positions;
  std::vector<int> fixup_heads;
  std::vector<FixupLink> fixup_links;

  int break_label = 0;
  int continue_label = 0;
  std::vector<int> break_stack;
  std::vector<int> continue_stack;

  struct OpenSwitch {
    std::size_t first_case;
    int default_label;  // -1 when the switch has no default
  };
  std::vector<OpenSwitch> switch_stack;
  std::vector<std::int32_t> case_values;
  std::vector<int> case_labels;

  struct NamedLabel {
    int label;
    Symbol* identifier;
    int times_defined;
  };
  std::vector<NamedLabel> named_labels;

  ByteBuffer reference_table;
  ByteBuffer names_area;
  int reference_count = 0;
  ByteBuffer bindings;

  // Words of the locals in scope, and the most the function needed.
  int frame_words = 0;
  int max_frame_words = 0;

  // Whether the function's text is in the main source file (not in an
  // included one), taken when it opens: by the time the record is complete
  // the lexer may already stand in the next file.
  bool in_main_source = true;
};

// What lives for the whole compile.
struct CodeBufferState {
  // The function being compiled, or the last one.
  FunctionCode function;

  // The characters of the string constant being pushed; one buffer for the
  // whole compile.
  std::u16string string_characters;

  // The position of the last debugging record, kept across functions.
  bool has_debug_record = false;
  std::string debug_file;
  int debug_line = 0;

  void reset();
};

extern CodeBufferState code;

inline constexpr std::size_t unplaced = static_cast<std::size_t>(-1);

// The operands of an instruction as emitters hand them to emit(): numbers
// for the notations of fixed width, and these for the others.
struct Label {  // rel16: a jump to a label of new_label()
  int number;
};
struct Reference {  // nameref: a name the reference table lists
  std::string_view name;
};
struct InPlaceName {  // name: a name written in the code
  std::string_view name;
};
struct SwitchCases {  // switch_table: the cases' values and their labels
  std::span<const std::int32_t> values;
  std::span<const int> labels;
};
struct RestoreCode {  // restore_code: emits the code that restores
  std::function<void()> compile;
};

// One operand given to emit(), whichever of the above it is.
struct OperandValue {
  enum class Form : std::uint8_t {
    number,
    label,
    reference,
    name,
    switch_cases,
    restore_code,
  };
  Form form;
  std::int64_t number = 0;  // a number, or the label's number
  std::string_view name;
  const SwitchCases* cases = nullptr;
  const RestoreCode* restore = nullptr;

  template <std::integral T>
  OperandValue(T value)
      : form(Form::number), number(static_cast<std::int64_t>(value)) {}
  OperandValue(Label label) : form(Form::label), number(label.number) {}
  OperandValue(Reference r) : form(Form::reference), name(r.name) {}
  OperandValue(InPlaceName n) : form(Form::name), name(n.name) {}
  OperandValue(const SwitchCases& c) : form(Form::switch_cases), cases(&c) {}
  OperandValue(const RestoreCode& r) : form(Form::restore_code), restore(&r) {}
};

// Whether the operands are what the instruction's row of the table asks
// for: as many as its notation has, each of the right form, and numbers
// within the range of their width (the offset after a narrow kind byte is
// 16 bits wide when the kind byte says so).
bool operands_fit(Opcode opcode, std::span<const OperandValue> operands);

// Whether emit() checks every instruction with operands_fit() and stops
// the compile with a compiler-bug message on a mismatch: in builds with
// QXL_CHECK_EMIT, which CMake defines where the tests or fuzzers are
// built.
bool emit_is_checked();

// Appends one instruction and its operands, each written as the notation
// of the table says.  With the primitive calls below, the only way code
// reaches the buffer.
void emit_instruction(Opcode opcode, std::span<const OperandValue> operands);
// The same for an instruction without operands, which most are.
void emit_instruction(Opcode opcode);
namespace detail {
// Whether emit() checks operands (see emit_is_checked); set once in the
// code buffer's own file, so every caller sees one value.
extern const bool emit_checked;

// The width in bytes of each operand of an instruction whose operands are
// all numbers of fixed width; all zero for any other instruction.
using FixedWidths = std::array<std::uint8_t, 3>;
inline constexpr std::array<FixedWidths, instruction_table.size()>
    fixed_widths = [] {
      std::array<FixedWidths, instruction_table.size()> widths{};
      for (std::size_t op = 0; op < instruction_table.size(); ++op) {
        FixedWidths w{};
        bool fixed = true;
        for (std::size_t i = 0; i < 3; ++i) {
          switch (instruction_table[op].operands[i]) {
            case Operand::none: break;
            case Operand::sbyte:
            case Operand::ubyte: w[i] = 1; break;
            case Operand::word16: w[i] = 2; break;
            case Operand::int32:
            case Operand::off32: w[i] = 4; break;
            default: fixed = false;
          }
        }
        if (fixed) widths[op] = w;
      }
      return widths;
    }();

// Writes an instruction and its numbers, each little-endian in its width;
// false, having written nothing, when its operands are not all numbers of
// fixed width.
template <std::size_t N>
bool emit_numbers(Opcode opcode, const std::array<std::int64_t, N>& values) {
  const FixedWidths& w = fixed_widths[opcode];
  std::size_t total = 1;
  for (std::size_t i = 0; i < N; ++i) {
    if (w[i] == 0) return false;
    total += w[i];
  }
  std::array<std::uint8_t, 1 + 4 * N> encoded;
  std::uint8_t* out = encoded.data();
  *out++ = opcode;
  for (std::size_t i = 0; i < N; ++i) {
    const auto bits = static_cast<std::uint32_t>(values[i]);
    for (unsigned b = 0; b < w[i]; ++b)
      *out++ = static_cast<std::uint8_t>(bits >> (8 * b));
  }
  ByteBuffer& bytes = code.function.bytes;
  bytes.insert(bytes.end(), encoded.data(), encoded.data() + total);
  return true;
}
}  // namespace detail

template <typename... Operands>
void emit(Opcode opcode, const Operands&... operands) {
  if constexpr (sizeof...(Operands) == 0) {
    emit_instruction(opcode);
  } else {
    // Instructions whose operands are all plain numbers, most of those
    // with operands, take the short way when nothing is checked.
    if constexpr ((std::is_integral_v<Operands> && ...)) {
      if (!detail::emit_checked &&
          detail::emit_numbers<sizeof...(Operands)>(
              opcode, {static_cast<std::int64_t>(operands)...}))
        return;
    }
    const std::array<OperandValue, sizeof...(Operands)> values{
        OperandValue(operands)...};
    emit_instruction(opcode, values);
  }
}

// Instructions chosen by a value or a size.
void emit_constant(std::int32_t v);
void emit_load(std::int64_t size);
void emit_store(std::int64_t size);
void emit_pop(const Type* t);
void emit_dup(const Type* t);

// Loads and stores of a local or parameter at a frame offset (in words),
// chosen by the offset and the size of its type.  Parameters (negative
// offsets) are always whole words.
std::uint8_t narrow_kind(const Type* t);
// Stops with "compiler limit exceeded" for an offset no instruction can
// carry: below -128 (the last parameters of a list of more than 125 words)
// or above 0xFFFF.
void check_frame_offset(int offset);
void emit_load_local(int offset, const Type* t);
void emit_store_local(int offset, const Type* t);
// The address of a frame variable, or of a built-in variable by its
// number, and the size of what it points to.  Past 127 both take the wide
// form of the local one.
void emit_local_address(int offset, std::int64_t size, bool frame);

// The call of a primitive by its number: one byte for 95 to 245,
// OP_PRIMITIVE_EXT and the number minus 512 from 512 on.  A primitive
// that takes any number of arguments is followed by the call byte.
void emit_primitive_call(int number);
void emit_variadic_primitive_call(int number, std::uint8_t call_byte_value);

namespace detail {
// The writer under emit(): the low bytes of `v`, least significant first,
// one for n below 2, two below 4, else four.  Nothing but emit() and its
// unit test calls it.
void emit_sized(std::uint32_t v, int n);
}  // namespace detail

int new_label();
// A jump to the label of break or continue; stops with "no surrounding
// loop" when there is none (label 0).
void emit_loop_jump(int label);
void place_label(int label);
int push_break_label();
int push_continue_label();
void pop_break_label();
void pop_continue_label();

void open_switch();
void add_case(std::int32_t value);
void add_default();
void close_switch();

int refer_to_label(Symbol* identifier);
void define_label(Symbol* identifier);
void check_labels();

void emit_debug_record(bool force);
void add_binding(int key_table, std::int32_t key_code);

void open_function(std::string_view name, bool is_command);
void close_function(int argument_words);

}  // namespace qxl
