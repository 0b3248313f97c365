// Declaration records: what a name means (built-in function or variable,
// function, global, local, parameter, type name).  A symbol's declaration
// slot points at its current record; each record points back to the symbol
// and to the record it hides.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "source/tokens.h"

namespace qxl {

struct Symbol;
struct Type;

namespace decl_kind {
inline constexpr int builtin_function = 1;
inline constexpr int builtin_variable = 2;
inline constexpr int function = 3;
inline constexpr int global = 4;
inline constexpr int local = 5;
inline constexpr int parameter_named = 6;
inline constexpr int parameter_typed = 7;
inline constexpr int type_name = tok::kw_typedef;  // 20
}  // namespace decl_kind

// Bits of Declaration::flags for locals and parameters.
namespace decl_flag {
inline constexpr std::uint16_t used = 1;
inline constexpr std::uint16_t set = 2;
inline constexpr std::uint16_t warned = 4;
}  // namespace decl_flag

// Flags in the value of globals and built-in variables, and of key tables.
namespace storage_flag {
inline constexpr std::int32_t buffer = 1024;
inline constexpr std::int32_t window = 2048;
inline constexpr std::int32_t key_table = 4096;
}  // namespace storage_flag

struct Declaration {
  Symbol* symbol = nullptr;
  Declaration* previous = nullptr;
  int kind = 0;
  // Built-in function: primitive number.  Built-in variable: number with
  // the buffer/window flags.  Global: the buffer/window flags, or 4096 plus
  // the number of a key table.  Local and parameter: frame word offset.
  std::int32_t value = 0;
  // Locals and parameters: decl_flag bits.  Built-in functions: argument
  // words with every argument.  Built-in variables: the array count.
  std::int32_t flags = 0;
  // Built-in functions: argument words of the required arguments.
  std::int32_t aux = 0;
  // The declared type; for functions the result type (null: no result).
  Type* type = nullptr;
  // Functions: the parameter signature, once known.
  bool has_signature = false;
  std::string signature;
  int line = 0;
  std::string file;
};

struct DeclarationState {
  std::deque<Declaration> records;  // every record of the compile

  void reset();
};

extern DeclarationState declarations;

// A new record owned by the compile, not yet attached to its symbol.
Declaration* new_declaration();

}  // namespace qxl
