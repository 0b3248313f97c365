#include "codegen/code_buffer.h"

#include <algorithm>
#include <limits>
#include <string>

#include "bytecode/writer.h"
#include "bytecode/instructions.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "source/preprocessor.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/types.h"

namespace qxl {

CodeBufferState code;

void CodeBufferState::reset() { *this = CodeBufferState{}; }

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
  CodeBytes& bytes = code.function.bytes;
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

unsigned checked_u16(std::int64_t value) {
  if (value < 0 || value > 0xFFFF) limit_exceeded();
  return static_cast<unsigned>(value);
}

FunctionCode::NamedLabel& find_or_add_label(Symbol* identifier) {
  std::vector<FunctionCode::NamedLabel>& labels = code.function.named_labels;
  for (auto& entry : labels)
    if (entry.identifier == identifier) return entry;
  if (static_cast<int>(labels.size()) >= max_named_labels)
    report_fatal("too many named labels");
  return labels.emplace_back(
      FunctionCode::NamedLabel{new_label(), identifier, 0});
}

}  // namespace

namespace detail {

void emit_sized(std::uint32_t v, int n) {
  CodeBytes& bytes = code.function.bytes;
  if (n < 2) put_u8(bytes, v & 0xFF);
  else if (n < 4) put_u16(bytes, v & 0xFFFF);
  else put_u32(bytes, v);
}

}  // namespace detail

namespace {

#ifdef QXL_CHECK_EMIT
constexpr bool check_emit = true;
#else
constexpr bool check_emit = false;
#endif

using detail::emit_sized;
using Form = OperandValue::Form;

bool number_within(const OperandValue& v, std::int64_t low, std::int64_t high) {
  return v.form == Form::number && v.number >= low && v.number <= high;
}

bool operand_fits(Operand notation, const OperandValue& v,
                  const OperandValue* before) {
  switch (notation) {
    case Operand::none: return false;
    case Operand::sbyte: return number_within(v, -128, 127);
    case Operand::ubyte: return number_within(v, 0, 0xFF);
    case Operand::word16: return number_within(v, 0, 0xFFFF);
    case Operand::int32:
      return number_within(v, std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max());
    case Operand::off32:
      return number_within(v, 0, std::numeric_limits<std::uint32_t>::max());
    case Operand::rel16: return v.form == Form::label && v.number > 0;
    case Operand::nameref: return v.form == Form::reference;
    case Operand::name: return v.form == Form::name;
    case Operand::narrow_offset:
      if (before == nullptr || before->form != Form::number) return false;
      return (before->number & narrow::wide_offset) != 0
                 ? number_within(v, 0, 0xFFFF)
                 : number_within(v, -128, 127);
    case Operand::switch_table:
      return v.form == Form::switch_cases &&
             v.cases->values.size() == v.cases->labels.size();
    case Operand::restore_code:
      return v.form == Form::restore_code && v.restore->compile != nullptr;
  }
  return false;
}

// The operand of a jump, patched now for a placed label or when the label
// is placed.
void emit_jump_operand(int label) {
  FunctionCode& f = code.function;
  const std::size_t operand = f.bytes.size();
  std::uint8_t* at = f.bytes.room(2);
  at[0] = jump_placeholder;
  at[1] = jump_placeholder;
  f.bytes.commit(at + 2);
  const auto index = static_cast<std::size_t>(label);
  if (f.label_positions[index] != unplaced)
    patch_u16(operand, displacement(operand, f.label_positions[index]));
  else {
    int& head = f.fixup_heads[index];
    f.fixup_links.push_back({operand, head});
    head = static_cast<int>(f.fixup_links.size() - 1);
  }
}

// Two zero bytes that the loader fills in; the reference table holds their
// 16-bit code offset.
void emit_name_reference(std::string_view name, bool encoded) {
  FunctionCode& f = code.function;
  if (encoded)
    f.names_area.append_words(
        reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  else
    put_name(f.names_area, name);
  put_u16(f.reference_table, checked_u16(static_cast<std::int64_t>(
                                 f.bytes.size() - f.code_start)));
  ++f.reference_count;
  put_u16(f.bytes, 0);
}

void emit_switch_table(const SwitchCases& cases) {
  const std::size_t count = cases.values.size();
  emit_sized(checked_u16(static_cast<std::int64_t>(count)), 2);
  const std::size_t table_end =
      code.function.bytes.size() + switch_entry_size * count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t target = code.function.label_positions[
        static_cast<std::size_t>(cases.labels[i])];
    if (target == unplaced) report_fatal("compiler bug: case label undefined");
    // Every entry's displacement counts from the end of the whole table.
    emit_sized(displacement(table_end - 2, target), 2);
    emit_sized(static_cast<std::uint32_t>(cases.values[i]), 4);
  }
}

// The length byte, the restore code and its OP_END_HANDLER; the length
// counts both.
void emit_restore_code(const RestoreCode& restore) {
  CodeBytes& bytes = code.function.bytes;
  const std::size_t length_at = bytes.size();
  put_u8(bytes, 0);
  restore.compile();
  emit(op::end_handler);
  const std::size_t length = bytes.size() - (length_at + 1);
  if (length > 0xFF) limit_exceeded();
  bytes[length_at] = static_cast<std::uint8_t>(length);
}

void emit_operand(Operand notation, const OperandValue& v,
                  const OperandValue* before) {
  const auto bits = static_cast<std::uint32_t>(v.number);
  switch (notation) {
    case Operand::none: return;
    case Operand::sbyte:
    case Operand::ubyte: emit_sized(bits, 1); return;
    case Operand::word16: emit_sized(bits, 2); return;
    case Operand::int32:
    case Operand::off32: emit_sized(bits, 4); return;
    case Operand::rel16: emit_jump_operand(static_cast<int>(v.number)); return;
    case Operand::nameref: emit_name_reference(v.name, v.encoded_name); return;
    case Operand::name: put_name(code.function.bytes, v.name); return;
    case Operand::narrow_offset:
      emit_sized(bits, (before->number & narrow::wide_offset) != 0 ? 2 : 1);
      return;
    case Operand::switch_table: emit_switch_table(*v.cases); return;
    case Operand::restore_code: emit_restore_code(*v.restore); return;
  }
}

// A frame offset past what an sbyte holds takes the 16-bit form of its
// instruction; one past that no instruction can carry.
bool needs_wide_offset(int offset) {
  check_frame_offset(offset);
  return offset > 127;
}

}  // namespace

bool operands_fit(Opcode opcode, std::span<const OperandValue> operands) {
  if (opcode >= instruction_table.size() ||
      instruction_table[opcode].name.empty())
    return false;
  const auto& notation = instruction_table[opcode].operands;
  std::size_t count = 0;
  while (count < notation.size() && notation[count] != Operand::none) ++count;
  if (operands.size() != count) return false;
  for (std::size_t i = 0; i < count; ++i)
    if (!operand_fits(notation[i], operands[i],
                      i > 0 ? &operands[i - 1] : nullptr))
      return false;
  return true;
}

namespace detail {
const bool emit_checked = check_emit;

namespace {
// Whether the instruction's one operand is of this notation; any other
// instruction takes the general path, which writes what its row says.
bool sole_operand_is(Opcode opcode, Operand notation) {
  const auto& row = instruction_table[opcode].operands;
  return row[0] == notation && row[1] == Operand::none;
}
}  // namespace

void emit_jump(Opcode opcode, int label) {
  if (!sole_operand_is(opcode, Operand::rel16)) {
    const OperandValue operand(Label{label});
    emit_instruction(opcode, std::span(&operand, 1));
    return;
  }
  code.function.bytes.push_back(opcode);
  emit_jump_operand(label);
}

void emit_named_reference(Opcode opcode, const Reference& reference) {
  if (!sole_operand_is(opcode, Operand::nameref)) {
    const OperandValue operand(reference);
    emit_instruction(opcode, std::span(&operand, 1));
    return;
  }
  code.function.bytes.push_back(opcode);
  emit_name_reference(reference.name, reference.encoded);
}
bool emit_reference_and_byte(Opcode opcode, const Reference& reference,
                             std::int64_t byte) {
  const auto& row = instruction_table[opcode].operands;
  if (row[0] != Operand::nameref || row[1] != Operand::ubyte ||
      row[2] != Operand::none)
    return false;
  code.function.bytes.push_back(opcode);
  emit_name_reference(reference.name, reference.encoded);
  code.function.bytes.push_back(static_cast<std::uint8_t>(byte));
  return true;
}
}  // namespace detail

bool emit_is_checked() { return check_emit; }

void emit_instruction(Opcode opcode, std::span<const OperandValue> operands) {
  if (check_emit && !operands_fit(opcode, operands)) {
    const std::string name =
        opcode < instruction_table.size() &&
                !instruction_table[opcode].name.empty()
            ? std::string(instruction_table[opcode].name)
            : "opcode " + std::to_string(static_cast<int>(opcode));
    report_fatal("compiler bug: operands of %s do not fit its notation",
                 name.c_str());
  }
  CodeBytes& bytes = code.function.bytes;
  bytes.push_back(opcode);
  const auto& notation = instruction_table[opcode].operands;
  const std::size_t count = std::min(operands.size(), notation.size());
  for (std::size_t i = 0; i < count; ++i) {
    // Numbers of a fixed width, the most common operands, are written here
    // directly.
    const auto bits = static_cast<std::uint32_t>(operands[i].number);
    switch (notation[i]) {
      case Operand::sbyte:
      case Operand::ubyte: bytes.push_back(static_cast<std::uint8_t>(bits)); break;
      case Operand::word16: put_u16(bytes, bits); break;
      case Operand::int32:
      case Operand::off32: put_u32(bytes, bits); break;
      case Operand::none:
      case Operand::rel16:
      case Operand::nameref:
      case Operand::name:
      case Operand::switch_table:
      case Operand::restore_code:
      case Operand::narrow_offset:
        emit_operand(notation[i], operands[i],
                     i > 0 ? &operands[i - 1] : nullptr);
        break;
    }
  }
}

void emit_instruction(Opcode opcode) {
  if (check_emit) {
    emit_instruction(opcode, {});
    return;
  }
  code.function.bytes.push_back(opcode);
}

namespace detail {
SymbolFacts& new_facts(Symbol* s) {
  std::vector<SymbolFacts>& all = code.symbol_facts;
  // A compile meets fewer distinct texts than a 32-bit slot can number.
  SymbolFacts& fresh = all.emplace_back();
  fresh.symbol = s;
  s->facts = static_cast<std::uint32_t>(all.size());
  return fresh;
}
}  // namespace detail

namespace detail {
std::string_view new_reference_name(SymbolFacts& facts) {
  std::string& name = facts.reference_name;
  name = facts.symbol->name;
  for (char& c : name)
    if (c == '_') c = '-';
  name.push_back('\0');
  facts.reference_length = static_cast<std::uint32_t>(name.size());
  const std::size_t words =
      (name.size() + CodeBytes::word_size - 1) / CodeBytes::word_size;
  name.resize(words * CodeBytes::word_size, '\0');
  facts.has_reference_name = true;
  return {name.data(), facts.reference_length};
}
}  // namespace detail

void CodeBytes::resize(std::size_t n, std::uint8_t fill) {
  if (n > length) std::fill_n(room(n - length), n - length, fill);
  length = n;
}

void CodeBytes::grow(std::size_t n) {
  // Doubling keeps the cost of growth in proportion to the record.
  constexpr std::size_t least = 256;
  storage.resize(std::max({2 * storage.size(), length + n, least}));
}

void emit_constant(std::int32_t v) {
  if (v == 0) emit(op::push_zero);
  else if (v >= -128 && v <= 127) emit(op::push_i8, v);
  else emit(op::push_i32, v);
}

void emit_load(std::int64_t size) {
  if (size < 2) emit(op::load_1);
  else if (size == 2) emit(op::load_2);
  else if (size < 5) emit(op::load_4);
  else emit(op::load_large);
}

void emit_store(std::int64_t size) {
  if (size < 2) emit(op::store_1);
  else if (size == 2) emit(op::store_2);
  else if (size < 5) emit(op::store_4);
  else emit(op::store_large);
}

void emit_pop(const Type* t) {
  emit(type_size(t, false) <= 4 ? op::pop : op::pop_large);
}

void emit_dup(const Type* t) {
  emit(type_size(t, false) <= 4 ? op::dup : op::dup_large);
}

std::uint8_t narrow_kind(const Type* t) {
  if (t->kind == TypeKind::byte) return narrow::byte_value;
  if (t->kind == TypeKind::short_) return narrow::short_value;
  return narrow::char_value;
}

void check_frame_offset(int offset) {
  if (offset < -128 || offset > 0xFFFF) limit_exceeded();
}

namespace {

// One local access: `word_op`/`wide_op` for one-word values, the large
// forms for bigger ones, the narrow form for 1- and 2-byte locals.
void emit_local_access(int offset, const Type* t, Opcode word_op,
                       Opcode word_wide_op, Opcode large_op,
                       Opcode large_wide_op, Opcode narrow_op) {
  const bool wide = needs_wide_offset(offset);
  const std::int64_t size = type_size(t, false);
  if (size > 4)
    emit(wide ? large_wide_op : large_op, offset);
  else if (offset < 0 || size > 2)
    emit(wide ? word_wide_op : word_op, offset);
  else
    emit(narrow_op, narrow_kind(t) | (wide ? narrow::wide_offset : 0), offset);
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

void emit_local_address(int offset, std::int64_t size, bool frame) {
  if (needs_wide_offset(offset))
    emit(op::addr_local_wide, offset, size);
  else
    emit(frame ? op::addr_local : op::addr_builtin, offset, size);
}

void emit_primitive_call(int number) {
  if (number >= op::extended_primitive_base) {
    emit(op::primitive_ext, number - op::extended_primitive_base);
    return;
  }
  // The primitives' own numbers are instructions without operands.
  if (check_emit &&
      (number < op::first_primitive || number > op::last_primitive))
    report_fatal("compiler bug: no primitive has number %d", number);
  put_u8(code.function.bytes, static_cast<unsigned>(number));
}

void emit_variadic_primitive_call(int number, std::uint8_t call_byte_value) {
  emit_primitive_call(number);
  put_u8(code.function.bytes, call_byte_value);
}

int new_label() {
  FunctionCode& f = code.function;
  const int label = f.label_counter++;
  const auto index = static_cast<std::size_t>(label);
  if (f.label_positions.size() <= index) {
    // Room for many labels at once: a function takes them one by one.
    constexpr std::size_t least_labels = 64;
    const std::size_t size = std::max(2 * index, least_labels);
    f.label_positions.resize(size, unplaced);
    f.fixup_heads.resize(size, FunctionCode::no_fixup);
  }
  f.label_positions[index] = unplaced;
  f.fixup_heads[index] = FunctionCode::no_fixup;
  return label;
}

void emit_loop_jump(int label) {
  if (label <= 0) report_error("no surrounding loop");
  emit(op::jump, Label{label});
}

void place_label(int label) {
  FunctionCode& f = code.function;
  const auto index = static_cast<std::size_t>(label);
  const std::size_t here = f.bytes.size();
  f.label_positions[index] = here;
  // Newest jump first.
  for (int link = f.fixup_heads[index]; link != FunctionCode::no_fixup;) {
    const FunctionCode::FixupLink& waiting =
        f.fixup_links[static_cast<std::size_t>(link)];
    patch_u16(waiting.operand, displacement(waiting.operand, here));
    link = waiting.next;
  }
  f.fixup_heads[index] = FunctionCode::no_fixup;
}

int push_break_label() {
  FunctionCode& f = code.function;
  f.break_stack.push_back(f.break_label);
  f.break_label = new_label();
  return f.break_label;
}

int push_continue_label() {
  FunctionCode& f = code.function;
  f.continue_stack.push_back(f.continue_label);
  f.continue_label = new_label();
  return f.continue_label;
}

void pop_break_label() {
  FunctionCode& f = code.function;
  f.break_label = f.break_stack.back();
  f.break_stack.pop_back();
}

void pop_continue_label() {
  FunctionCode& f = code.function;
  f.continue_label = f.continue_stack.back();
  f.continue_stack.pop_back();
}

void open_switch() {
  FunctionCode& f = code.function;
  f.switch_stack.push_back({f.case_values.size(), -1});
}

void add_case(std::int32_t value) {
  FunctionCode& f = code.function;
  if (f.switch_stack.empty())
    report_error("case statement invalid outside switch");
  const int label = new_label();
  f.case_values.push_back(value);
  f.case_labels.push_back(label);
  place_label(label);
}

void add_default() {
  if (code.function.switch_stack.empty())
    report_error("default statement invalid outside switch");
  FunctionCode::OpenSwitch& open = code.function.switch_stack.back();
  if (open.default_label != -1) report_error("duplicate default in case");
  open.default_label = new_label();
  place_label(open.default_label);
}

void close_switch() {
  FunctionCode& f = code.function;
  const FunctionCode::OpenSwitch open = f.switch_stack.back();
  f.switch_stack.pop_back();
  // This switch's cases are the last ones of the lists; writing the table
  // adds none, so they are read in place and then dropped.
  const std::span<const std::int32_t> values(
      f.case_values.data() + open.first_case,
      f.case_values.size() - open.first_case);
  const std::span<const int> labels(f.case_labels.data() + open.first_case,
                                    f.case_labels.size() - open.first_case);

  // Any two equal values are an error; sorting a copy finds them in time
  // that grows gently with the number of cases.
  std::vector<std::int32_t>& sorted = code.sorted_cases;
  sorted.assign(values.begin(), values.end());
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    report_error("duplicate case values in switch");

  emit(op::switch_, SwitchCases{values, labels});
  f.case_values.resize(open.first_case);
  f.case_labels.resize(open.first_case);
  if (open.default_label != -1) emit(op::jump, Label{open.default_label});
}

int refer_to_label(Symbol* identifier) {
  return find_or_add_label(identifier).label;
}

void define_label(Symbol* identifier) {
  FunctionCode::NamedLabel& entry = find_or_add_label(identifier);
  place_label(entry.label);
  if (entry.times_defined++ >= 1)
    report_error("label %s %s", identifier->name.c_str(), "redefined");
}

void check_labels() {
  for (const auto& entry : code.function.named_labels)
    if (entry.times_defined == 0)
      report_error("label %s %s", entry.identifier->name.c_str(),
                   "undefined at end of function");
}

void emit_debug_record(bool force) {
  if (settings.no_debug_info != 0) return;
  if (force || !code.has_debug_record || reader.file_name != code.debug_file) {
    emit(op::debug_file, add_debug_file_name(reader.file_name));
  }
  if (force || !code.has_debug_record || reader.line_number != code.debug_line) {
    emit(op::debug_line, static_cast<unsigned>(reader.line_number) & 0xFFFF);
  }
  code.has_debug_record = true;
  code.debug_file = reader.file_name;
  code.debug_line = reader.line_number;
}

void add_binding(int key_table, std::int32_t key_code) {
  ByteBuffer& bindings = code.function.bindings;
  if (key_code < 0) report_error("invalid key code number %d", key_code);
  if (bindings.size() / binding_size >= max_bindings)
    report_fatal("function has too many bindings");
  put_u8(bindings, record::key_binding);
  put_u8(bindings, static_cast<unsigned>(key_table) & 0xFF);
  put_u32(bindings, static_cast<std::uint32_t>(key_code));
}

namespace {

// Gives the fresh record the storage of the old one's list, emptied: only
// memory goes from one function to the next, never contents.  A list left
// out here merely starts without storage.
template <typename T>
void reuse_storage(std::vector<T>& fresh, std::vector<T>& old) {
  old.clear();
  fresh.swap(old);
}

}  // namespace

void open_function(std::string_view name, bool is_command) {
  // A new record, so that nothing of the last function is left over.
  FunctionCode old = std::move(code.function);
  code.function = FunctionCode{};
  FunctionCode& f = code.function;
  f.bytes.storage.swap(old.bytes.storage);
  reuse_storage(f.label_positions, old.label_positions);
  reuse_storage(f.fixup_heads, old.fixup_heads);
  reuse_storage(f.fixup_links, old.fixup_links);
  reuse_storage(f.break_stack, old.break_stack);
  reuse_storage(f.continue_stack, old.continue_stack);
  reuse_storage(f.switch_stack, old.switch_stack);
  reuse_storage(f.case_values, old.case_values);
  reuse_storage(f.case_labels, old.case_labels);
  reuse_storage(f.named_labels, old.named_labels);
  f.reference_table.storage.swap(old.reference_table.storage);
  f.names_area.storage.swap(old.names_area.storage);
  reuse_storage(f.bindings, old.bindings);
  f.in_main_source = qxl::in_main_source();
  put_u8(f.bytes, is_command ? record::command : record::function);
  put_name(f.bytes, name);
  f.header_position = f.bytes.size();
  f.bytes.resize(f.bytes.size() + function_header_size, 0);
  f.code_start = f.bytes.size();
}

void close_function(int argument_words) {
  FunctionCode& f = code.function;
  emit(op::return_);
  check_labels();
  const std::size_t h = f.header_position;
  const std::int64_t code_length =
      static_cast<std::int64_t>(f.bytes.size() - (h + 8));
  if (code_length > 0xFFFFFFFFLL) limit_exceeded();
  patch_u32(f.bytes, h, static_cast<std::uint32_t>(code_length));
  patch_u16(h + 4, checked_u16(static_cast<std::int64_t>(
                       f.names_area.size() + 2 * f.reference_count)));
  patch_u16(h + 6, checked_u16(f.reference_count));
  patch_u16(h + 8, checked_u16(argument_words));
  patch_u16(h + 10, checked_u16(f.max_frame_words));

  // The four pieces go out as one record.
  CodeBytes& record = f.bytes;
  record.append(f.reference_table.data(), f.reference_table.size());
  record.append(f.names_area.data(), f.names_area.size());
  record.append(f.bindings.data(), f.bindings.size());
  write_function_record(record.data(), record.size(), f.in_main_source);
  record.clear();
}

}  // namespace qxl
