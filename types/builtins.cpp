#include "types/builtins.h"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <utility>

#include "driver/diagnostics.h"
#include "driver/session.h"
#include "source/symbols.h"
#include "source/tokens.h"
#include "types/declarations.h"
#include "types/types.h"

namespace qxl {

BuiltinTypes builtin_types;

namespace {

using namespace type_code;

// A primitive as the table spells it.
struct PrimitiveEntry {
  std::string_view name;
  int number;
  int result_code;
  std::string_view signature;
};

constexpr int per_buffer = storage_flag::buffer;
constexpr int per_window = storage_flag::window;

#include "types/builtin_tables.inc"

constexpr std::size_t primitive_count = std::size(primitive_entries);
constexpr std::size_t short_count = short_primitive_count;
constexpr std::size_t extended_count = primitive_count - short_count;

constexpr std::array<PrimitiveRow, primitive_count> with_word_counts() {
  std::array<PrimitiveRow, primitive_count> rows{};
  for (std::size_t i = 0; i < primitive_count; ++i) {
    const PrimitiveEntry& entry = primitive_entries[i];
    const SignatureWords words = signature_words(entry.signature);
    rows[i] = {entry.name,      entry.number,     words.max_words,
               words.min_words, entry.result_code, entry.signature};
  }
  return rows;
}

constexpr std::array<PrimitiveRow, primitive_count> primitive_rows =
    with_word_counts();

// --- Checks of the tables, at compile time --------------------------------

static_assert(primitive_count == 366);
static_assert(std::size(variable_rows) == 137);
static_assert(std::size(type_name_rows) == 5);

constexpr int primitive_number_at(std::size_t position) {
  return position < short_count
             ? first_short_primitive + static_cast<int>(position)
             : first_extended_primitive +
                   static_cast<int>(position - short_count);
}

constexpr bool primitives_well_formed() {
  for (std::size_t i = 0; i < primitive_count; ++i) {
    const PrimitiveEntry& entry = primitive_entries[i];
    if (entry.number != primitive_number_at(i)) return false;
    if (!fits_instruction_byte(entry.number)) return false;
    if (!signature_words(entry.signature).valid) return false;
    const int code = entry.result_code;
    if (code < 0 || code % pointer_level > char_alias) return false;
  }
  return true;
}
static_assert(primitives_well_formed(),
              "primitive numbers, signatures or result codes are off");

constexpr bool variables_well_formed() {
  for (std::size_t i = 0; i < std::size(variable_rows); ++i) {
    const VariableRow& row = variable_rows[i];
    const int flags = row.number & (per_buffer | per_window);
    if (flags == (per_buffer | per_window)) return false;
    if (row.number - flags != static_cast<int>(i)) return false;
    if (!fits_instruction_byte(row.number)) return false;
    const int base = row.type_code % pointer_level;
    if (base == none || base > char_alias || row.array_count < 0) return false;
  }
  for (const VariableRow& row : type_name_rows)
    if (row.number != 0 || row.array_count != 0) return false;
  return true;
}
static_assert(variables_well_formed(),
              "variable numbers or type codes are off");

// Rows whose word counts the editor depends on: the counts worked out from
// the signatures must come out as these.
struct ExpectedWords {
  int number;
  int max_words;
  int min_words;
};
constexpr ExpectedWords known_word_counts[] = {
    {95, 3, 3},    {96, 4, 4},   {97, -1, -1},  {110, 0, 0},  {119, 1, 0},
    {128, 4, 4},   {130, 7, 4},  {134, 3, 3},   {142, 1, 1},  {145, 1, 1},
    {161, 1, 1},   {227, 5, 4},  {560, 7, 7},   {598, 3, 3},  {648, 3, 3},
    {690, 14, 14}, {714, 13, 10}, {715, 6, 3},
};
constexpr bool known_word_counts_hold() {
  for (const ExpectedWords& expected : known_word_counts) {
    for (const PrimitiveRow& row : primitive_rows) {
      if (row.number != expected.number) continue;
      if (row.max_words != expected.max_words ||
          row.min_words != expected.min_words)
        return false;
    }
  }
  return true;
}
static_assert(known_word_counts_hold());

// --- Building the declarations --------------------------------------------

Symbol* identifier(std::string_view name) {
  lookup_symbol(name, tok::identifier);
  return symbols.current;
}

Type* struct_of(
    std::initializer_list<std::pair<std::string_view, Type*>> members) {
  Type* aggregate = make_type(TypeKind::struct_, nullptr, 0);
  Member** tail = &aggregate->members;
  for (const auto& [name, type] : members) {
    *tail = make_member(identifier(name), type);
    tail = &(*tail)->next;
  }
  return aggregate;
}

// A structure the program can pass around and measure but not look into:
// its one member has a name no program can write.
Type* opaque_struct(int size) {
  Type* bytes = make_type(TypeKind::pointer, type_byte, size);
  return struct_of({{"$SPEC_TYPE", bytes}});
}

void build_predefined_types() {
  Type* pixels = make_type(TypeKind::pointer, type_byte, 32);  // both bitmaps
  builtin_types.mouse_cursor = struct_of({{"on_pixels", pixels},
                                          {"off_pixels", pixels},
                                          {"hot_x", type_byte},
                                          {"hot_y", type_byte},
                                          {"stock_cursor", type_short}});
  Symbol* const mouse_tag = identifier("mouse_cursor");
  mouse_tag->tag = builtin_types.mouse_cursor;
  if (compile_session != nullptr)
    session_note_builtin_structure(builtin_types.mouse_cursor, mouse_tag);

  builtin_types.print_options = struct_of({{"flags", type_int},
                                           {"frompage", type_int},
                                           {"topage", type_int},
                                           {"height", type_int},
                                           {"width", type_int}});
  Symbol* const print_tag = identifier("print_options");
  print_tag->tag = builtin_types.print_options;
  if (compile_session != nullptr)
    session_note_builtin_structure(builtin_types.print_options, print_tag);

  builtin_types.jmp_buf = opaque_struct(800);
  builtin_types.timer = opaque_struct(12);
  builtin_types.time_info = opaque_struct(16);
  builtin_types.int_function_pointer = make_type(
      TypeKind::pointer, make_type(TypeKind::function, type_int, 0), 0);
}

Type* base_type(int base) {
  switch (base) {
    case char_:
    case char_alias: return type_char;
    case short_: return type_short;
    case int_: return type_int;
    case jmp_buf: return builtin_types.jmp_buf;
    case int_function_pointer: return builtin_types.int_function_pointer;
    case spot: return type_spot;
    case mouse_cursor: return builtin_types.mouse_cursor;
    case timer: return builtin_types.timer;
    case time_info: return builtin_types.time_info;
    case print_options: return builtin_types.print_options;
    default: return nullptr;
  }
}

Declaration* attach(std::string_view name, DeclKind kind, int number,
                    Type* type) {
  if (!fits_instruction_byte(number))
    report_fatal("internal error: bytecode overflow");
  Symbol* symbol = identifier(name);
  Declaration* record = new_declaration();
  record->symbol = symbol;
  record->previous = nullptr;
  record->kind = kind;
  record->type = type;
  record->line = 0;
  record->file = {};
  symbol->declaration = record;
  return record;
}

}  // namespace

Type* decode_type_code(int code, int array_count) {
  Type* type = base_type(code % pointer_level);
  // A fresh record per level: the shared pointer-to-char record stands for
  // string constants and the null pointer, which a variable is not.
  for (int rest = code; rest > pointer_level; rest -= pointer_level)
    type = make_type(TypeKind::pointer, type, 0);
  if (array_count != 0) type = make_type(TypeKind::pointer, type, array_count);
  return type;
}

Declaration* install_primitive(const PrimitiveRow& row) {
  Declaration* record = attach(row.name, DeclKind::builtin_function, row.number,
                               decode_type_code(row.result_code, 0));
  record->primitive = row.number;
  record->max_words = row.max_words;
  record->min_words = row.min_words;
  record->has_signature = true;
  record->signature = std::string(row.signature);
  return record;
}

Declaration* install_variable(const VariableRow& row, DeclKind kind) {
  Declaration* record = attach(row.name, kind, row.number,
                               decode_type_code(row.type_code, row.array_count));
  record->builtin_number = row.number;
  record->array_count = row.array_count;
  record->storage = storage_of_number(row.number);
  return record;
}

void install_builtin_names() {
  build_predefined_types();
  for (const PrimitiveRow& row : primitive_rows) install_primitive(row);
  for (const VariableRow& row : variable_rows)
    install_variable(row, DeclKind::builtin_variable);
  for (const VariableRow& row : type_name_rows)
    install_variable(row, DeclKind::type_name);
}

std::span<const PrimitiveRow> primitive_table() { return primitive_rows; }

const PrimitiveRow* find_primitive_by_number(int number) {
  std::size_t position;
  if (number >= first_short_primitive &&
      number < first_short_primitive + short_primitive_count)
    position = static_cast<std::size_t>(number - first_short_primitive);
  else if (number >= first_extended_primitive &&
           number < first_extended_primitive + static_cast<int>(extended_count))
    position = short_count +
               static_cast<std::size_t>(number - first_extended_primitive);
  else
    return nullptr;
  return &primitive_rows[position];
}

std::span<const VariableRow> builtin_variable_table() { return variable_rows; }

std::span<const VariableRow> builtin_type_name_table() {
  return type_name_rows;
}

}  // namespace qxl
