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
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "bytecode/format.h"
#include "bytecode/instructions.h"
#include "source/symbols.h"

namespace qxl {

struct Type;

inline constexpr std::size_t function_header_size = 12;
inline constexpr int max_named_labels = 49;
inline constexpr int max_bindings = 20;
inline constexpr std::size_t binding_size = 6;

// The bytes of a function record as it is built.  The storage is kept
// longer than the record, so that an instruction is written through a raw
// cursor after a single check for room; the record is its first `length`
// bytes, and what lies beyond them means nothing.
struct CodeBytes {
  ByteBuffer storage;
  std::size_t length = 0;

  std::size_t size() const { return length; }
  bool empty() const { return length == 0; }
  std::uint8_t* data() { return storage.data(); }
  const std::uint8_t* data() const { return storage.data(); }
  std::uint8_t* begin() { return storage.data(); }
  std::uint8_t* end() { return storage.data() + length; }
  const std::uint8_t* begin() const { return storage.data(); }
  const std::uint8_t* end() const { return storage.data() + length; }
  std::uint8_t& operator[](std::size_t i) { return storage[i]; }
  const std::uint8_t& operator[](std::size_t i) const { return storage[i]; }

  // The cursor just past the record, with room for `n` bytes written
  // through it; taken into the record by commit().
  std::uint8_t* room(std::size_t n) {
    if (storage.size() - length < n) grow(n);
    return storage.data() + length;
  }
  // The record now ends where the cursor of room() has come to.
  void commit(const std::uint8_t* cursor) {
    length = static_cast<std::size_t>(cursor - storage.data());
  }
  void push_back(std::uint8_t b) {
    *room(1) = b;
    ++length;
  }
  void append(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t* at = room(n);
    for (std::size_t i = 0; i < n; ++i) at[i] = bytes[i];
    length += n;
  }
  // The same for bytes whose storage may be read up to the next whole
  // word past their end.
  void append_words(const std::uint8_t* bytes, std::size_t n) {
    std::uint8_t* at = room(n + word_size);
    for (std::size_t i = 0; i < n; i += word_size)
      std::memcpy(at + i, bytes + i, word_size);
    length += n;
  }
  static constexpr std::size_t word_size = 8;
  void resize(std::size_t n, std::uint8_t fill = 0);
  void clear() { length = 0; }
  void grow(std::size_t n);
};

inline void put_u8(CodeBytes& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value));
}
inline void put_u16(CodeBytes& out, unsigned value) {
  std::uint8_t* at = out.room(2);
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
  out.commit(at + 2);
}
inline void put_u32(CodeBytes& out, std::uint32_t value) {
  std::uint8_t* at = out.room(4);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
  out.commit(at + 4);
}
// A name as the file stores it: each '_' written as '-', then a zero byte.
inline void put_name(CodeBytes& out, std::string_view name) {
  std::uint8_t* text = out.room(name.size() + 1);
  for (char c : name) *text++ = static_cast<std::uint8_t>(c == '_' ? '-' : c);
  *text++ = 0;
  out.commit(text);
}
inline void patch_u32(CodeBytes& out, std::size_t at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Everything one function's record is built from.  open_function makes a
// new one, so that nothing of a function can reach the next by being left
// out of a reset.
struct FunctionCode {
  // The record: kind, name, header (filled in when it closes), code.
  CodeBytes bytes;
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

  CodeBytes reference_table;
  CodeBytes names_area;
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

// What the code generator works out once for a symbol's text and keeps
// for the compile, instead of working it out at every use: the name as the
// reference table writes it, the value of a number or character constant,
// and the string pool offset of a string literal.  Something is kept only
// once it was worked out without an error, so that an error is reported
// again at every use, as before.
struct SymbolFacts {
  const Symbol* symbol = nullptr;  // whose facts these are
  // '_' written as '-', zero byte included, then zeros to a whole number
  // of words, so that it is copied a word at a time.
  std::string reference_name;
  std::uint32_t reference_length = 0;  // up to and including the zero byte
  std::int32_t value = 0;
  std::uint32_t pool_offset = 0;
  bool has_reference_name = false;
  bool has_value = false;
  bool has_pool_offset = false;
};

// What lives for the whole compile.
struct CodeBufferState {
  // The function being compiled, or the last one.
  FunctionCode function;

  // The characters of the string constant being pushed; one buffer for the
  // whole compile.
  std::u16string string_characters;

  // The facts of the symbols met so far, by the slot their symbol records.
  // Reset with the writer's string pool, whose offsets they hold: the
  // driver resets both for every compile.
  std::vector<SymbolFacts> symbol_facts;

  // The case values of the switch being closed, sorted to find equal ones.
  std::vector<std::int32_t> sorted_cases;

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
  // The name is already as the table writes it, its zero byte included,
  // and its storage may be read in whole words past its end
  // (reference_name_of gives such names).
  bool encoded = false;
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
  bool encoded_name = false;  // a Reference's name needs no encoding
  const SwitchCases* cases = nullptr;
  const RestoreCode* restore = nullptr;

  template <std::integral T>
  OperandValue(T value)
      : form(Form::number), number(static_cast<std::int64_t>(value)) {}
  OperandValue(Label label) : form(Form::label), number(label.number) {}
  OperandValue(Reference r)
      : form(Form::reference), name(r.name), encoded_name(r.encoded) {}
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

// The most bytes of an instruction whose operands are all numbers.
inline constexpr std::size_t max_numbers_size = 1 + 4 * 3;

// Writes an instruction and its numbers, each little-endian in its width;
// false, having written nothing, when its operands are not all numbers of
// fixed width.
template <std::size_t N>
bool emit_numbers(Opcode opcode, const std::array<std::int64_t, N>& values) {
  const FixedWidths& w = fixed_widths[opcode];
  for (std::size_t i = 0; i < N; ++i)
    if (w[i] == 0) return false;
  CodeBytes& bytes = code.function.bytes;
  std::uint8_t* out = bytes.room(max_numbers_size);
  *out++ = opcode;
  for (std::size_t i = 0; i < N; ++i) {
    const auto bits = static_cast<std::uint32_t>(values[i]);
    out[0] = static_cast<std::uint8_t>(bits);
    if (w[i] > 1) {
      out[1] = static_cast<std::uint8_t>(bits >> 8);
      if (w[i] > 2) {
        out[2] = static_cast<std::uint8_t>(bits >> 16);
        out[3] = static_cast<std::uint8_t>(bits >> 24);
      }
    }
    out += w[i];
  }
  bytes.commit(out);
  return true;
}

// The two operand forms that are not numbers yet come alone most often: a
// jump to a label and a name in the reference table.  Unchecked builds
// write them without the general path's operand list.
void emit_jump(Opcode opcode, int label);
void emit_named_reference(Opcode opcode, const Reference& reference);
// A call: the callee's name and the call byte.  False, having written
// nothing, for an instruction of another notation.
bool emit_reference_and_byte(Opcode opcode, const Reference& reference,
                             std::int64_t byte);
template <typename First, typename Second>
bool emit_pair(Opcode opcode, const First& first, const Second& second) {
  if constexpr (std::is_same_v<First, Reference> &&
                std::is_integral_v<Second>)
    return emit_reference_and_byte(opcode, first,
                                   static_cast<std::int64_t>(second));
  else
    return false;
}
}  // namespace detail

template <typename... Operands>
void emit(Opcode opcode, const Operands&... operands) {
  if constexpr (sizeof...(Operands) == 0) {
    if (!detail::emit_checked) code.function.bytes.push_back(opcode);
    else emit_instruction(opcode);
  } else {
    if constexpr (sizeof...(Operands) == 1 &&
                  (std::is_same_v<Operands, Label> && ...)) {
      if (!detail::emit_checked) {
        (detail::emit_jump(opcode, operands.number), ...);
        return;
      }
    }
    if constexpr (sizeof...(Operands) == 2) {
      if (!detail::emit_checked && detail::emit_pair(opcode, operands...))
        return;
    }
    if constexpr (sizeof...(Operands) == 1 &&
                  (std::is_same_v<Operands, Reference> && ...)) {
      if (!detail::emit_checked) {
        (detail::emit_named_reference(opcode, operands), ...);
        return;
      }
    }
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

// The facts of a symbol, an empty slot the first time it is asked for.  A
// slot is the symbol's only when it names the symbol back, so a symbol
// that outlived a reset of the code buffer gets a fresh one.
namespace detail {
SymbolFacts& new_facts(Symbol* s);
}  // namespace detail
inline SymbolFacts& facts_of(Symbol* s) {
  std::vector<SymbolFacts>& all = code.symbol_facts;
  const std::size_t slot = s->facts;
  if (slot != 0 && slot <= all.size() && all[slot - 1].symbol == s)
    return all[slot - 1];
  return detail::new_facts(s);
}

// The name of a symbol as the reference table writes it, worked out once.
namespace detail {
std::string_view new_reference_name(SymbolFacts& facts);
}  // namespace detail
inline std::string_view reference_name_of(Symbol* s) {
  SymbolFacts& facts = facts_of(s);
  if (facts.has_reference_name)
    return {facts.reference_name.data(), facts.reference_length};
  return detail::new_reference_name(facts);
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
