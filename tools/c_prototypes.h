// C-like text of the editor's built-in names: a primitive's table signature
// ("*C;*C;>") as a prototype ("short sprintf(char *, char *, ...)"), a table
// type code applied to a declarator.  qxlnames writes the reference with it
// and the language server shows it in hovers, completions and signature
// help, so that both say the same.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "types/builtins.h"

namespace qxl {

// Names of the built-in types by their table code, and of the structure
// shapes that a primitive's signature spells out ("S{[800B]}" is jmp_buf).
struct TypeNames {
  std::map<int, std::string> by_code;
  std::map<std::string, std::string> by_shape;
};

// Needs the records of install_builtin_names.
TypeNames built_in_type_names();

// C text of a table type code applied to `declarator` ("" for a bare
// type): the base type, one '*' per pointer level, the array count.
std::string c_declaration(const TypeNames& names, int code, int array_count,
                          std::string_view declarator);

// One parameter of a primitive: its C type, the part of the table's
// signature it comes from, and where its C type stands in the prototype.
struct PrototypeParameter {
  std::string c_type;
  std::string signature;
  bool optional = false;
  std::size_t start = 0;  // byte range in CPrototype::text
  std::size_t end = 0;
};

// "int parse_string(int, char *[, char *])": the optional parameters in
// brackets, "..." for any number of further arguments.
struct CPrototype {
  std::string text;
  std::vector<PrototypeParameter> parameters;
  bool variadic = false;
  std::size_t variadic_start = 0;  // the "..." in `text`, when variadic
  std::size_t variadic_end = 0;
};

// The parameters of a table signature (no offsets yet).
CPrototype parse_signature(const TypeNames& names, std::string_view signature);
// The whole prototype of a primitive, offsets included.
CPrototype c_prototype(const TypeNames& names, const PrimitiveRow& row);

}  // namespace qxl
