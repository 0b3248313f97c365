// The code buffer: every byte of a record is composed here before it goes
// to the writer.  Holds the appenders, numbered labels with their pending
// jumps, the break/continue and switch stacks with their case tables, the
// named labels of goto, debugging records, key bindings, and the opening
// and closing of a function record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/format.h"

namespace qxl {

struct Symbol;
struct Type;

inline constexpr std::size_t function_header_size = 12;
inline constexpr int max_named_labels = 49;
inline constexpr int max_bindings = 20;
inline constexpr std::size_t binding_size = 6;

struct CodeBufferState {
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

  // The characters of the string constant being pushed; one buffer for the
  // whole compile.
  std::u16string string_characters;

  // The position of the last debugging record, kept across functions.
  bool has_debug_record = false;
  std::string debug_file;
  int debug_line = 0;

  void reset();
  // Clears what belongs to one function; keeps the debugging position.
  void reset_function();
};

extern CodeBufferState code;

inline constexpr std::size_t unplaced = static_cast<std::size_t>(-1);

// Appenders; each returns the buffer size after what it wrote.
std::size_t emit_byte(unsigned b);
std::size_t emit_word16(unsigned v);
std::size_t emit_int32(std::uint32_t v);
std::size_t emit_sized(std::uint32_t v, int n);
std::size_t emit_constant(std::int32_t v);
std::size_t emit_load(std::int64_t size);
std::size_t emit_store(std::int64_t size);
std::size_t emit_pop(const Type* t);
std::size_t emit_dup(const Type* t);
std::size_t emit_name(std::string_view name);
std::size_t emit_name_reference(std::string_view name);

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

// The call of a primitive by its number: one byte for 95 to 245,
// OP_PRIMITIVE_EXT and the number minus 512 from 512 on.
void emit_primitive_call(int number);

int new_label();
void emit_jump_operand(int label);
void emit_jump(std::uint8_t opcode, int label);
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
