// The editor's built-in names: primitives, built-in variables and built-in
// type names, known to the compiler before the source is read.
#pragma once

#include <span>
#include <string_view>

namespace qxl {

struct PrimitiveRow {
  std::string_view name;
  int number;
  int max_words;    // -1 for a primitive taking any number of arguments
  int min_words;
  int result_code;  // type code of the result; 0 when it returns nothing
  std::string_view signature;
};

// Enters every built-in name in the symbol table with its declaration.
void install_builtin_names();

// The primitive table in its order (the order gives the numbers).
std::span<const PrimitiveRow> primitive_table();

// The row of the primitive with this number, or null.
const PrimitiveRow* find_primitive_by_number(int number);

}  // namespace qxl
