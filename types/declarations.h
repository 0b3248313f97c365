// Declaration records: what a name means (built-in function or variable,
// function, global, local, parameter, type name).  A symbol's declaration
// slot points at its current record; each record points back to the symbol
// and to the record it hides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "source/tokens.h"

namespace qxl {

struct Node;
struct Symbol;
struct Type;

// What a name is declared as.  The order matters: the redeclaration rules
// compare kinds by range (built-ins, then functions and globals).
enum class DeclKind : std::uint8_t {
  none = 0,  // no declaration
  builtin_function = 1,
  builtin_variable = 2,
  function = 3,
  global = 4,
  local = 5,
  parameter_named = 6,  // named in an old-style list, type not yet given
  parameter_typed = 7,
  // A typedef name: numbered as the word that declares it.
  type_name = tok::kw_typedef,
};
static_assert(static_cast<int>(DeclKind::type_name) == 20);

// Bits of Declaration::usage: whether a local, parameter or global was
// read, whether it was assigned, and whether its warning was given.
namespace decl_flag {
inline constexpr std::uint16_t used = 1;
inline constexpr std::uint16_t set = 2;
inline constexpr std::uint16_t warned = 4;
}  // namespace decl_flag

// The flags that the tables of built-in variables add to a variable's
// number for a per-buffer or per-window variable.
namespace storage_flag {
inline constexpr std::int32_t buffer = 1024;
inline constexpr std::int32_t window = 2048;
}  // namespace storage_flag

// Which copy of a variable code sees: one for the whole editor, or one per
// buffer or per window.
enum class Storage : std::uint8_t { plain, buffer, window };

// The storage that a built-in variable's table number carries.
inline Storage storage_of_number(std::int32_t number) {
  if ((number & storage_flag::buffer) != 0) return Storage::buffer;
  if ((number & storage_flag::window) != 0) return Storage::window;
  return Storage::plain;
}

struct Declaration {
  Symbol* symbol = nullptr;
  Declaration* previous = nullptr;
  DeclKind kind = DeclKind::none;
  // The declared type; for functions the result type (null: no result).
  Type* type = nullptr;

  // Built-in functions: the primitive's number, and the argument words it
  // takes with every argument and with the required ones only.
  std::int32_t primitive = 0;
  std::int32_t max_words = 0;
  std::int32_t min_words = 0;
  // Built-in variables: the number of the tables (position plus the
  // buffer or window flag) and the element count of an array (0: none).
  std::int32_t builtin_number = 0;
  std::int32_t array_count = 0;
  // Globals and built-in variables: per-buffer, per-window or neither.
  Storage storage = Storage::plain;
  // Globals that name a key table: its number (0: not a key table).
  std::int32_t key_table = 0;
  // Locals and parameters: the frame offset in words (parameters below 0).
  std::int32_t frame_offset = 0;
  // Locals, parameters and globals: decl_flag bits.
  std::uint16_t usage = 0;

  // Functions: the parameter signature, once known.
  bool has_signature = false;
  std::string signature;
  int line = 0;
  std::string_view file;  // interned: see DeclarationState::file_names
};

inline bool is_frame_variable(const Declaration* d) {
  return d->kind == DeclKind::local || d->kind == DeclKind::parameter_named ||
         d->kind == DeclKind::parameter_typed;
}

// Where a type specifier is read decides the message for a token that
// cannot start one.
enum class TypeContext {
  plain,             // "bad type"
  struct_body,       // "bad struct/union definition: expected type"
  old_parameters,    // "expected argument declaration"
  prototype_after_comma,  // "expected function argument"
};

inline constexpr std::size_t max_local_entries = 199;
inline constexpr int max_frame_words = 32766;

// The declarator being read: its name and the chain of derived types,
// outermost first, whose innermost record still lacks its base.
struct Declarator {
  Symbol* name = nullptr;
  Type* chain = nullptr;
  Type* innermost = nullptr;
};

struct DeclarationState {
  std::deque<Declaration> records;  // every record of the compile
  // Records of locals and parameters whose scope has closed, for reuse:
  // the memory of a compile does not grow with the number of functions.
  std::vector<Declaration*> free_locals;
  // Each file name that a declaration names, stored once.
  std::unordered_set<std::string> file_names;
  // The locals and parameters of the function being compiled, in order.
  std::vector<Declaration*> locals;
  // What parameter_types() last gave, its storage kept from function to
  // function.
  std::vector<const Type*> parameter_types;
  Declarator current;
  // The last of window, typedef, command, buffer in this declaration.
  TokenCode storage_keyword = 0;
  int nesting = 0;  // depth of declarators and struct bodies being read

  // Color classes in the order of their numbers; the number of the last
  // color scheme (-1: none yet, and the number of a class's default).
  std::vector<Symbol*> color_classes;
  std::unordered_map<const Symbol*, int> color_class_numbers;
  int last_scheme = -1;
  int next_key_table = 1;

  void reset();
};

extern DeclarationState declarations;

// A new record owned by the compile, not yet attached to its symbol.
Declaration* new_declaration();

// Whether the current token begins a type name.
bool is_type_start();
Type* parse_type_specifier(TypeContext context = TypeContext::plain);
Type* parse_struct_or_union();
// Reads a declarator into `declarations.current`.  Level 2 is file level,
// 1 a parameter, 0 anything else.
void parse_declarator(int level);
void parse_abstract_declarator();
// The base type at the innermost end of a derived-type chain.
Type* attach_base(Type* chain, Type* innermost, Type* base);
// A type name as in casts and sizeof: specifier and abstract declarator.
Type* parse_type_name();

// Enters the current declarator (its chain holding the complete type, base
// attached) with the requested kind (the redeclaration
// rules decide whether a record is made) and returns its declaration.
Declaration* declare(DeclKind requested_kind);
// A called name that has no declaration: a function returning int.
Declaration* declare_implicit_function(Symbol* name);
// Enters a function name: a primitive's name keeps its built-in meaning.
Declaration* declare_function();

// Attribute flags of the variable record.
namespace variable_flag {
inline constexpr int user = 0x10;
inline constexpr int volatile_ = 0x20;
inline constexpr int zeroed = 0x40;
}  // namespace variable_flag

// Reads storage-class words; returns the variable_flag bits and sets the
// current storage keyword.  At block level only typedef is accepted.
int parse_storage_classes(bool file_level);
// Whether the current token may begin a local declaration.
bool starts_local_declaration();

// After the "(" of a function declarator: old-style names or a prototype
// list.  Returns the number of parameters.
int parse_parameter_list();
// Old-style parameter declarations up to "{"; assigns the frame offsets and
// returns the argument words.
int parse_parameter_declarations();
// The declarations at the start of a block.  `initialize` receives the
// assignment tree of each initialized local.
void parse_local_declarations(void (*initialize)(Node*));
// Pops the local table down to `keep` entries, warning about unused ones
// unless `quick`.
void close_scope(std::size_t keep, bool quick);
// The parameter types of the function being compiled, in order; valid
// until the next call.
std::span<const Type* const> parameter_types();

bool parse_keytable_declaration();
// "on" clauses after a command's "()": calls `bind` with each table number
// and key code.
void parse_key_bindings(void (*bind)(int table, std::int32_t key));
bool parse_color_declaration();

// The storage class in bits 0 to 3 of a variable record's attributes.
int storage_class_of(const Type* t);

}  // namespace qxl
