#include "codegen/code_buffer.h"

#include <algorithm>

#include "bytecode/writer.h"
#include "codegen/instructions.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "source/preprocessor.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/types.h"

namespace qxl {

CodeBufferState code;

void CodeBufferState::reset() { *this = CodeBufferState{}; }

void CodeBufferState::reset_function() {
  bytes.clear();
  header_position = 0;
  code_start = 0;
  label_counter = 1;
  label_positions.assign(1, unplaced);
  fixup_heads.assign(1, no_fixup);
  fixup_links.clear();
  break_label = 0;
  continue_label = 0;
  break_stack.clear();
  continue_stack.clear();
  switch_stack.clear();
  case_values.clear();
  case_labels.clear();
  named_labels.clear();
  reference_table.clear();
  names_area.clear();
  reference_count = 0;
  bindings.clear();
  frame_words = 0;
  max_frame_words = 0;
}

namespace {

constexpr std::uint8_t jump_placeholder = 120;
constexpr std::size_t switch_entry_size = 6;

[[noreturn]] void limit_exceeded() { report_fatal("compiler limit exceeded"); }

// The displacement from just after a 2-byte operand at `operand` to
// `target`, which must fit in 16 bits.
std::uint16_t displacement(std::size_t operand, std::size_t target) {
  const auto d = static_cast<std::int64_t>(target) -
                 static_cast<std::int64_t>(operand + 2);
  if (d < -32768 || d > 32767) limit_exceeded();
  return static_cast<std::uint16_t>(d);
}

void patch_u16(std::size_t at, unsigned value) {
  code.bytes[at] = static_cast<std::uint8_t>(value);
  code.bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

unsigned checked_u16(std::int64_t value) {
  if (value < 0 || value > 0xFFFF) limit_exceeded();
  return static_cast<unsigned>(value);
}

CodeBufferState::NamedLabel& find_or_add_label(Symbol* identifier) {
  for (auto& entry : code.named_labels)
    if (entry.identifier == identifier) return entry;
  if (static_cast<int>(code.named_labels.size()) >= max_named_labels)
    report_fatal("too many named labels");
  return code.named_labels.emplace_back(
      CodeBufferState::NamedLabel{new_label(), identifier, 0});
}

}  // namespace

std::size_t emit_byte(unsigned b) {
  code.bytes.push_back(static_cast<std::uint8_t>(b));
  return code.bytes.size();
}

std::size_t emit_word16(unsigned v) {
  put_u16(code.bytes, v);
  return code.bytes.size();
}

std::size_t emit_int32(std::uint32_t v) {
  put_u32(code.bytes, v);
  return code.bytes.size();
}

std::size_t emit_sized(std::uint32_t v, int n) {
  if (n < 2) return emit_byte(v);
  if (n < 4) return emit_word16(v);
  return emit_int32(v);
}

std::size_t emit_constant(std::int32_t v) {
  if (v == 0) return emit_byte(op::push_zero);
  if (v >= -128 && v <= 127) {
    emit_byte(op::push_i8);
    return emit_byte(static_cast<std::uint8_t>(v));
  }
  emit_byte(op::push_i32);
  return emit_int32(static_cast<std::uint32_t>(v));
}

std::size_t emit_load(std::int64_t size) {
  if (size < 2) return emit_byte(op::load_1);
  if (size == 2) return emit_byte(op::load_2);
  if (size < 5) return emit_byte(op::load_4);
  return emit_byte(op::load_large);
}

std::size_t emit_store(std::int64_t size) {
  if (size < 2) return emit_byte(op::store_1);
  if (size == 2) return emit_byte(op::store_2);
  if (size < 5) return emit_byte(op::store_4);
  return emit_byte(op::store_large);
}

std::size_t emit_pop(const Type* t) {
  return emit_byte(type_size(t, false) <= 4 ? op::pop : op::pop_large);
}

std::size_t emit_dup(const Type* t) {
  return emit_byte(type_size(t, false) <= 4 ? op::dup : op::dup_large);
}

std::size_t emit_name(std::string_view name) {
  put_name(code.bytes, name);
  return code.bytes.size();
}

std::size_t emit_name_reference(std::string_view name) {
  put_name(code.names_area, name);
  // The reference table holds 16-bit code offsets.
  put_u16(code.reference_table,
          checked_u16(static_cast<std::int64_t>(code.bytes.size() -
                                                code.code_start)));
  ++code.reference_count;
  emit_byte(0);
  return emit_byte(0);
}

std::uint8_t narrow_kind(const Type* t) {
  if (t->kind == kind::byte) return narrow::byte_value;
  if (t->kind == kind::short_) return narrow::short_value;
  return narrow::char_value;
}

void check_frame_offset(int offset) {
  if (offset < -128 || offset > 0xFFFF) limit_exceeded();
}

namespace {

// One local access: `word_op`/`wide_op` for one-word values, the large
// forms for bigger ones, the narrow form for 1- and 2-byte locals.
void emit_local_access(int offset, const Type* t, std::uint8_t word_op,
                       std::uint8_t word_wide_op, std::uint8_t large_op,
                       std::uint8_t large_wide_op, std::uint8_t narrow_op) {
  check_frame_offset(offset);
  const std::int64_t size = type_size(t, false);
  const bool wide = offset > 127;
  if (size > 4) {
    emit_byte(wide ? large_wide_op : large_op);
  } else if (offset < 0 || size > 2) {
    emit_byte(wide ? word_wide_op : word_op);
  } else {
    emit_byte(narrow_op);
    emit_byte(narrow_kind(t) | (wide ? narrow::wide_offset : 0));
  }
  if (wide)
    emit_word16(static_cast<unsigned>(offset));
  else
    emit_byte(static_cast<std::uint8_t>(offset));
}

}  // namespace

void emit_load_local(int offset, const Type* t) {
  emit_local_access(offset, t, op::load_local, op::load_local_wide,
                    op::load_local_large, op::load_local_large_wide,
                    op::load_local_narrow);
}

void emit_store_local(int offset, const Type* t) {
  emit_local_access(offset, t, op::store_local, op::store_local_wide,
                    op::store_local_large, op::store_local_large_wide,
                    op::store_local_narrow);
}

void emit_primitive_call(int number) {
  if (number >= op::extended_primitive_base) {
    emit_byte(op::primitive_ext);
    emit_byte(static_cast<unsigned>(number - op::extended_primitive_base));
  } else {
    emit_byte(static_cast<unsigned>(number));
  }
}

int new_label() {
  const int label = code.label_counter++;
  if (code.label_positions.size() <= static_cast<std::size_t>(label)) {
    code.label_positions.resize(static_cast<std::size_t>(label) + 1, unplaced);
    code.fixup_heads.resize(static_cast<std::size_t>(label) + 1,
                            CodeBufferState::no_fixup);
  }
  code.label_positions[static_cast<std::size_t>(label)] = unplaced;
  code.fixup_heads[static_cast<std::size_t>(label)] = CodeBufferState::no_fixup;
  return label;
}

void emit_jump_operand(int label) {
  const std::size_t operand = code.bytes.size();
  emit_byte(jump_placeholder);
  emit_byte(jump_placeholder);
  const auto index = static_cast<std::size_t>(label);
  if (code.label_positions[index] != unplaced)
    patch_u16(operand, displacement(operand, code.label_positions[index]));
  else {
    int& head = code.fixup_heads[index];
    code.fixup_links.push_back({operand, head});
    head = static_cast<int>(code.fixup_links.size() - 1);
  }
}

void emit_jump(std::uint8_t opcode, int label) {
  emit_byte(opcode);
  emit_jump_operand(label);
}

void emit_loop_jump(int label) {
  if (label <= 0) report_error("no surrounding loop");
  emit_jump(op::jump, label);
}

void place_label(int label) {
  const auto index = static_cast<std::size_t>(label);
  const std::size_t here = code.bytes.size();
  code.label_positions[index] = here;
  // Newest jump first.
  for (int link = code.fixup_heads[index]; link != CodeBufferState::no_fixup;) {
    const CodeBufferState::FixupLink& waiting =
        code.fixup_links[static_cast<std::size_t>(link)];
    patch_u16(waiting.operand, displacement(waiting.operand, here));
    link = waiting.next;
  }
  code.fixup_heads[index] = CodeBufferState::no_fixup;
}

int push_break_label() {
  code.break_stack.push_back(code.break_label);
  code.break_label = new_label();
  return code.break_label;
}

int push_continue_label() {
  code.continue_stack.push_back(code.continue_label);
  code.continue_label = new_label();
  return code.continue_label;
}

void pop_break_label() {
  code.break_label = code.break_stack.back();
  code.break_stack.pop_back();
}

void pop_continue_label() {
  code.continue_label = code.continue_stack.back();
  code.continue_stack.pop_back();
}

void open_switch() {
  code.switch_stack.push_back({code.case_values.size(), -1});
}

void add_case(std::int32_t value) {
  if (code.switch_stack.empty())
    report_error("case statement invalid outside switch");
  const int label = new_label();
  code.case_values.push_back(value);
  code.case_labels.push_back(label);
  place_label(label);
}

void add_default() {
  if (code.switch_stack.empty())
    report_error("default statement invalid outside switch");
  CodeBufferState::OpenSwitch& open = code.switch_stack.back();
  if (open.default_label != -1) report_error("duplicate default in case");
  open.default_label = new_label();
  place_label(open.default_label);
}

void close_switch() {
  const CodeBufferState::OpenSwitch open = code.switch_stack.back();
  code.switch_stack.pop_back();
  const std::vector<std::int32_t> values(
      code.case_values.begin() + static_cast<long>(open.first_case),
      code.case_values.end());
  const std::vector<int> labels(
      code.case_labels.begin() + static_cast<long>(open.first_case),
      code.case_labels.end());
  code.case_values.resize(open.first_case);
  code.case_labels.resize(open.first_case);

  // Any two equal values are an error; sorting a copy finds them in time
  // that grows gently with the number of cases.
  std::vector<std::int32_t> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    report_error("duplicate case values in switch");

  emit_byte(op::switch_);
  emit_word16(checked_u16(static_cast<std::int64_t>(values.size())));
  const std::size_t table_end =
      code.bytes.size() + switch_entry_size * values.size();
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::size_t target =
        code.label_positions[static_cast<std::size_t>(labels[i])];
    if (target == unplaced) report_fatal("compiler bug: case label undefined");
    // Every entry's displacement counts from the end of the whole table.
    emit_word16(displacement(table_end - 2, target));
    emit_int32(static_cast<std::uint32_t>(values[i]));
  }
  if (open.default_label != -1) emit_jump(op::jump, open.default_label);
}

int refer_to_label(Symbol* identifier) {
  return find_or_add_label(identifier).label;
}

void define_label(Symbol* identifier) {
  CodeBufferState::NamedLabel& entry = find_or_add_label(identifier);
  place_label(entry.label);
  if (entry.times_defined++ >= 1)
    report_error("label %s %s", identifier->name.c_str(), "redefined");
}

void check_labels() {
  for (const auto& entry : code.named_labels)
    if (entry.times_defined == 0)
      report_error("label %s %s", entry.identifier->name.c_str(),
                   "undefined at end of function");
}

void emit_debug_record(bool force) {
  if (settings.no_debug_info != 0) return;
  if (force || !code.has_debug_record || reader.file_name != code.debug_file) {
    emit_byte(op::debug_file);
    emit_int32(add_debug_file_name(reader.file_name));
  }
  if (force || !code.has_debug_record || reader.line_number != code.debug_line) {
    emit_byte(op::debug_line);
    emit_word16(static_cast<unsigned>(reader.line_number) & 0xFFFF);
  }
  code.has_debug_record = true;
  code.debug_file = reader.file_name;
  code.debug_line = reader.line_number;
}

void add_binding(int key_table, std::int32_t key_code) {
  if (key_code < 0) report_error("invalid key code number %d", key_code);
  if (code.bindings.size() / binding_size >= max_bindings)
    report_fatal("function has too many bindings");
  put_u8(code.bindings, record::key_binding);
  put_u8(code.bindings, static_cast<unsigned>(key_table) & 0xFF);
  put_u32(code.bindings, static_cast<std::uint32_t>(key_code));
}

void open_function(std::string_view name, bool is_command) {
  code.reset_function();
  code.in_main_source = qxl::in_main_source();
  emit_byte(is_command ? record::command : record::function);
  emit_name(name);
  code.header_position = code.bytes.size();
  code.bytes.resize(code.bytes.size() + function_header_size, 0);
  code.code_start = code.bytes.size();
}

void close_function(int argument_words) {
  emit_byte(op::return_);
  check_labels();
  const std::size_t h = code.header_position;
  const std::int64_t code_length =
      static_cast<std::int64_t>(code.bytes.size() - (h + 8));
  if (code_length > 0xFFFFFFFFLL) limit_exceeded();
  patch_u32(code.bytes, h, static_cast<std::uint32_t>(code_length));
  patch_u16(h + 4, checked_u16(static_cast<std::int64_t>(
                       code.names_area.size() + 2 * code.reference_count)));
  patch_u16(h + 6, checked_u16(code.reference_count));
  patch_u16(h + 8, checked_u16(argument_words));
  patch_u16(h + 10, checked_u16(code.max_frame_words));

  // The four pieces go out as one record; the buffer keeps its capacity
  // for the next function.
  ByteBuffer& record = code.bytes;
  record.insert(record.end(), code.reference_table.begin(),
                code.reference_table.end());
  record.insert(record.end(), code.names_area.begin(), code.names_area.end());
  record.insert(record.end(), code.bindings.begin(), code.bindings.end());
  write_function_record(record, code.in_main_source);
  code.bytes.clear();
}

}  // namespace qxl
