// The editor's built-in names: primitives, built-in variables and built-in
// type names, known to the compiler before the source is read.
//
// Three constant tables describe them.  Their order is part of the contract
// with the editor: a primitive's or a variable's number follows from its
// position, and the bytecode carries only the number.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace qxl {

struct Type;
struct Declaration;
enum class DeclKind : std::uint8_t;

struct PrimitiveRow {
  std::string_view name;
  int number;
  int max_words;    // -1 for a primitive taking any number of arguments
  int min_words;
  int result_code;  // type code of the result; 0 when it returns nothing
  std::string_view signature;
};

// A built-in variable, or a built-in type name (number and count 0).
struct VariableRow {
  std::string_view name;
  int number;       // position in the table, plus the buffer/window flag
  int array_count;  // 0, or the element count of an array
  int type_code;    // of the variable, or of its elements
};

// Type codes of the tables: the code modulo 16 picks a base type, each
// further 16 adds one level of "pointer to", and a row's array count wraps
// the result in an array.
namespace type_code {
inline constexpr int none = 0;
inline constexpr int char_ = 1;
inline constexpr int short_ = 2;
inline constexpr int int_ = 3;
inline constexpr int jmp_buf = 4;
inline constexpr int int_function_pointer = 5;
inline constexpr int spot = 6;
inline constexpr int mouse_cursor = 7;
inline constexpr int timer = 8;
inline constexpr int time_info = 9;
inline constexpr int print_options = 10;
inline constexpr int char_alias = 11;  // decodes exactly like char_
inline constexpr int pointer_level = 16;
constexpr int ptr(int code) { return code + pointer_level; }
}  // namespace type_code

// Primitive numbers: the first 151 rows are one-byte instructions 95 to
// 245; the rest are 512 plus the operand of the extension instruction.
inline constexpr int first_short_primitive = 95;
inline constexpr int short_primitive_count = 151;
inline constexpr int first_extended_primitive = 512;

// Instructions carry a primitive or variable number in one byte, with bit 9
// selecting the extension instruction and the flags above it; the low nine
// bits must therefore stay within a byte.
constexpr bool fits_instruction_byte(int number) {
  return (number & 511) <= 255;
}

// Argument words of a primitive signature.  A signature is a list of
// elements, each a type signature ended by ';' ("*V" stands for a pointer
// to anything, "S-" for a structure of any shape); '?' before an element
// makes it and every later one optional, and '>' at the very end admits any
// further arguments.  A pointer element takes 3 words (a pointer is 12
// bytes), any other element 1.  With '>' both counts are -1.
struct SignatureWords {
  bool valid = false;
  int max_words = 0;
  int min_words = 0;
};

namespace signature_grammar {

inline constexpr std::size_t bad = std::string_view::npos;

// The position just after the type signature that starts at `pos`, or
// `bad`.  "V" is a type only right after a '*'.
constexpr std::size_t end_of_type(std::string_view s, std::size_t pos,
                                  bool after_star = false) {
  if (pos >= s.size()) return bad;
  switch (s[pos]) {
    case 'I':
    case 'C':
    case 'T':
    case 'B':
    case '.':
      return pos + 1;
    case 'V':
      return after_star ? pos + 1 : bad;
    case '*':
      return end_of_type(s, pos + 1, true);
    case '[': {
      std::size_t p = pos + 1;
      while (p < s.size() && s[p] >= '0' && s[p] <= '9') ++p;
      if (p == pos + 1) return bad;
      p = end_of_type(s, p);
      if (p == bad || p >= s.size() || s[p] != ']') return bad;
      return p + 1;
    }
    case 'S': {
      if (pos + 1 < s.size() && s[pos + 1] == '-') return pos + 2;
      if (pos + 1 >= s.size() || s[pos + 1] != '{') return bad;
      std::size_t p = pos + 2;
      do {
        p = end_of_type(s, p);
        if (p == bad) return bad;
      } while (p < s.size() && s[p] != '}');
      return p < s.size() ? p + 1 : bad;
    }
    default:
      return bad;
  }
}

}  // namespace signature_grammar

constexpr SignatureWords signature_words(std::string_view signature) {
  SignatureWords words{true, 0, 0};
  bool optional = false;
  std::size_t pos = 0;
  while (pos < signature.size()) {
    if (signature[pos] == '>') {
      if (pos + 1 != signature.size()) return {};
      return {true, -1, -1};
    }
    if (signature[pos] == '?') {
      if (optional) return {};
      optional = true;
      ++pos;
    }
    const std::size_t end = signature_grammar::end_of_type(signature, pos);
    if (end == signature_grammar::bad || end >= signature.size() ||
        signature[end] != ';')
      return {};
    const int element_words = signature[pos] == '*' ? 3 : 1;
    words.max_words += element_words;
    if (!optional) words.min_words += element_words;
    pos = end + 1;
  }
  return words;
}

// Enters every built-in name in the symbol table with its declaration.
void install_builtin_names();

// The primitive table in its order (the order gives the numbers).
std::span<const PrimitiveRow> primitive_table();

// The row of the primitive with this number, or null.
const PrimitiveRow* find_primitive_by_number(int number);

// The built-in variable table and the built-in type-name table, in order.
std::span<const VariableRow> builtin_variable_table();
std::span<const VariableRow> builtin_type_name_table();

// The structure records behind the type codes, made anew by every
// install_builtin_names (they live in the compile's type arena, so they are
// valid only until the next compile starts).
struct BuiltinTypes {
  Type* jmp_buf = nullptr;        // opaque, 800 bytes
  Type* timer = nullptr;          // opaque, 12 bytes
  Type* time_info = nullptr;      // opaque, 16 bytes
  Type* mouse_cursor = nullptr;   // tag mouse_cursor
  Type* print_options = nullptr;  // tag print_options
  Type* int_function_pointer = nullptr;
};

extern BuiltinTypes builtin_types;

// The type a table code stands for (null for "none"), wrapped in an array
// when `array_count` is not 0.  Needs the records of install_builtin_names.
Type* decode_type_code(int code, int array_count);

// Attach the declaration of one row to its name; install_builtin_names runs
// these over the tables.  A number that does not fit the instruction
// encoding is the fatal "internal error: bytecode overflow".  `kind` is
// DeclKind::builtin_variable or DeclKind::type_name.
Declaration* install_primitive(const PrimitiveRow& row);
Declaration* install_variable(const VariableRow& row, DeclKind kind);

}  // namespace qxl
