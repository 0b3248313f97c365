#include "types/declarations.h"

#include <algorithm>

#include "bytecode/format.h"
#include "codegen/code_buffer.h"
#include "codegen/constant_eval.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "driver/session.h"
#include "source/lexer.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/expressions.h"
#include "types/nodes.h"
#include "types/operands.h"
#include "types/types.h"

namespace qxl {

DeclarationState declarations;

void DeclarationState::reset() { *this = DeclarationState{}; }

Declaration* new_declaration() { return &declarations.records.emplace_back(); }

namespace {

// Declarators and struct bodies nest; deeper nesting than any real program
// uses is refused before it can exhaust the stack.
constexpr int max_declarator_nesting = 500;

NestingGuard declarator_level() {
  return {declarations.nesting, max_declarator_nesting,
          "declaration too complex"};
}

Symbol* current_symbol() { return symbols.current; }

// Appends a derivation at the innermost end of the current chain.
void append_derivation(TypeKind k, std::int32_t count) {
  Declarator& d = declarations.current;
  Type* t = make_type(k, nullptr, count);
  if (d.chain == nullptr)
    d.chain = t;
  else
    d.innermost->sub = t;
  d.innermost = t;
}

// declarator_suffix = ("(" ")")? ("[" constant_expression "]")*
// Array and function suffixes after a declarator's core; only the first
// "[]" of a parameter or of a file-level declarator may be empty.  Returns
// with the "(" current when a parameter list follows.
void parse_suffixes(int level) {
  if (lexer.current_token == tok::lparen) {
    next_token();
    if (lexer.current_token != tok::rparen) {
      // A parameter list: the caller reads it from the "(".
      push_back_token(tok::lparen, nullptr);
      return;
    }
    next_token();
    append_derivation(TypeKind::function, 0);
  }
  bool first = true;
  while (lexer.current_token == tok::lbracket) {
    next_token();
    std::int32_t count;
    if (lexer.current_token == tok::rbracket && first && level == 1) {
      count = 0;  // an open parameter array is a pointer
    } else if (lexer.current_token == tok::rbracket && first && level == 2) {
      count = -1;  // sized by the initializer
    } else {
      count = evaluate_and_release(parse_expression());
      // A count of 0 would read as a plain pointer, a negative one as a
      // huge size: neither is an array.
      if (count <= 0) report_error("bad array size");
    }
    expect_token(tok::rbracket);
    append_derivation(TypeKind::pointer, count);
    first = false;
  }
}

// int_type = ("int" | "short")+
// "short" anywhere in the run makes it a short.
Type* type_from_keyword_run() {
  bool is_short = false;
  while (lexer.current_token == tok::kw_int ||
         lexer.current_token == tok::kw_short) {
    is_short = is_short || lexer.current_token == tok::kw_short;
    next_token();
  }
  return is_short ? type_short : type_int;
}

[[noreturn]] void bad_type(TypeContext context) {
  switch (context) {
    case TypeContext::struct_body:
      report_expected("bad struct/union definition: expected type");
    case TypeContext::old_parameters:
      report_expected("expected argument declaration");
    case TypeContext::prototype_after_comma:
      report_expected("expected function argument");
    case TypeContext::plain:
      break;
  }
  report_error("bad type");
}

bool is_type_name(const Symbol* s) {
  return s != nullptr && s->declaration != nullptr &&
         s->declaration->kind == DeclKind::type_name;
}

// Structures and arrays nested inside each other by value deeper than this
// are refused: the walks over a type (its size, its signature, its
// initializer) follow this nesting.
constexpr int max_value_nesting = 1000;

// How deeply structures and arrays nest by value in a member's type.  A
// structure whose members are still being read, the one being defined or
// one around it, would contain itself.
int value_nesting(const Type* t) {
  int arrays = 0;
  while (t->kind == TypeKind::pointer && t->count != 0) {
    ++arrays;
    t = t->sub;
  }
  if (t->kind != TypeKind::struct_ && t->kind != TypeKind::union_) return arrays;
  if (t->nesting < 0) report_error("struct/union contains itself");
  return arrays + t->nesting;
}

// struct_body = (type_specifier member ("," member)* ";")+ "}"
// member = declarator (":" conditional_expression)?
// The members of a struct or union body; "{" has been read.
void parse_members(Type* aggregate) {
  Member** tail = &aggregate->members;
  int nesting = 0;
  aggregate->nesting = -1;
  do {
    Type* base = parse_type_specifier(TypeContext::struct_body);
    for (;;) {
      declarations.current = Declarator{};
      parse_declarator(0);
      Declarator d = declarations.current;
      Type* member_type = attach_base(d.chain, d.innermost, base);
      if (lexer.current_token == tok::colon) {
        // A bit-field width is read and ignored: the member keeps its type.
        next_token();
        release_tree(parse_conditional_expression());
      }
      nesting = std::max(nesting, value_nesting(member_type));
      *tail = make_member(d.name, member_type);
      if (compile_session != nullptr) session_note_member(aggregate, *tail);
      tail = &(*tail)->next;
      if (lexer.current_token != tok::comma) break;
      next_token();
    }
    expect_token(tok::semicolon);
  } while (lexer.current_token != tok::rbrace);
  if (nesting >= max_value_nesting) report_error("declaration too complex");
  aggregate->nesting = nesting + 1;
  next_token();
}

}  // namespace

bool is_type_start() {
  switch (lexer.current_token) {
    case tok::kw_int: case tok::kw_char: case tok::kw_struct:
    case tok::kw_union: case tok::kw_spot: case tok::kw_short:
    case tok::kw_byte:
      return true;
    case tok::identifier:
      return is_type_name(current_symbol());
    default:
      return false;
  }
}

// type_specifier = "char" | "spot" | "byte" | int_type | struct_or_union
//     | typedef_name
Type* parse_type_specifier(TypeContext context) {
  switch (lexer.current_token) {
    case tok::identifier:
      if (is_type_name(current_symbol())) {
        Type* t = current_symbol()->declaration->type;
        next_token();
        return t;
      }
      bad_type(context);
    case tok::kw_char: next_token(); return type_char;
    case tok::kw_spot: next_token(); return type_spot;
    case tok::kw_byte: next_token(); return type_byte;
    case tok::kw_struct:
    case tok::kw_union: return parse_struct_or_union();
    case tok::kw_int:
    case tok::kw_short: return type_from_keyword_run();
    default: bad_type(context);
  }
}

// struct_or_union = ("struct" | "union") (ident | ident? "{" struct_body)
Type* parse_struct_or_union() {
  const NestingGuard guard = declarator_level();
  const TypeKind k =
      lexer.current_token == tok::kw_struct ? TypeKind::struct_ : TypeKind::union_;
  next_token();
  Symbol* tag = nullptr;
  if (lexer.current_token == tok::identifier) {
    tag = current_symbol();
    next_token();
    if (lexer.current_token != tok::lbrace) {
      if (tag->tag == color_class_marker)
        report_error("color class used for structure tag");
      if (tag->tag == nullptr) report_error("unknown structure tag");
      if (compile_session != nullptr) session_note_tag_use(tag);
      return tag->tag;
    }
  }
  if (lexer.current_token != tok::lbrace)
    report_error("bad struct/union declaration");
  // The declarator and storage state of the enclosing declaration survive
  // the member declarations.
  const Declarator outer = declarations.current;
  Type* aggregate = make_type(k, nullptr, 0);
  if (tag != nullptr) {
    if (tag->tag == color_class_marker)
      report_error("structure tag already used for color class");
    if (tag->tag != nullptr) report_error("structure tag redeclared");
    tag->tag = aggregate;  // members may point to the type being defined
  }
  if (compile_session != nullptr) session_begin_structure(aggregate, tag);
  next_token();
  parse_members(aggregate);
  if (compile_session != nullptr) session_end_structure(aggregate);
  declarations.current = outer;
  return aggregate;
}

// declarator = ("*" declarator | "(" declarator ")" | ident) declarator_suffix
void parse_declarator(int level) {
  const NestingGuard guard = declarator_level();
  switch (lexer.current_token) {
    case tok::star:
      next_token();
      parse_declarator(level);
      append_derivation(TypeKind::pointer, 0);
      break;
    case tok::lparen:
      next_token();
      parse_declarator(level);
      expect_token(tok::rparen);
      break;
    case tok::identifier:
      declarations.current.name = current_symbol();
      next_token();
      break;
    default:
      report_error("bad declaration");
  }
  parse_suffixes(level);
}

// abstract_declarator = ("*" abstract_declarator
//     | "(" abstract_declarator ")")? declarator_suffix
void parse_abstract_declarator() {
  const NestingGuard guard = declarator_level();
  if (lexer.current_token == tok::star) {
    next_token();
    parse_abstract_declarator();
    append_derivation(TypeKind::pointer, 0);
  } else if (lexer.current_token == tok::lparen) {
    next_token();
    if (lexer.current_token == tok::rparen) {
      push_back_token(tok::lparen, nullptr);
    } else {
      parse_abstract_declarator();
      expect_token(tok::rparen);
    }
  }
  parse_suffixes(0);
}

Type* attach_base(Type* chain, Type* innermost, Type* base) {
  if (chain == nullptr) return base;
  innermost->sub = base;
  return chain;
}

// type_name = type_specifier abstract_declarator
Type* parse_type_name() {
  const Declarator saved = declarations.current;
  Type* base = parse_type_specifier();
  declarations.current = Declarator{};
  parse_abstract_declarator();
  Type* t = attach_base(declarations.current.chain,
                        declarations.current.innermost, base);
  declarations.current = saved;
  return t;
}

namespace {

const char* kind_word(DeclKind k) {
  return k == DeclKind::builtin_function || k == DeclKind::function
             ? "function"
             : "variable";
}

// Fills a new record for `name` and makes it the name's declaration.
Declaration* attach(Declaration* record, Symbol* name, DeclKind record_kind,
                    Type* type) {
  record->symbol = name;
  record->previous = name->declaration;
  record->kind = record_kind;
  record->type = type;
  record->line = reader.line_number;
  record->file = *declarations.file_names.insert(reader.file_name).first;
  name->declaration = record;
  if (compile_session != nullptr) session_note_declaration(record);
  return record;
}

// A record for a local or parameter, reusing one whose scope has closed.
Declaration* new_local_declaration() {
  if (declarations.free_locals.empty()) return new_declaration();
  Declaration* record = declarations.free_locals.back();
  declarations.free_locals.pop_back();
  *record = Declaration{};
  return record;
}

}  // namespace

Declaration* declare(DeclKind requested) {
  Declarator& d = declarations.current;
  Symbol* name = d.name;
  if (name == nullptr) report_fatal("declare: internal error");
  Type* type = d.chain;
  Declaration* old_record = name->declaration;
  DeclKind old = old_record != nullptr ? old_record->kind : DeclKind::none;

  if (requested == DeclKind::local &&
      (old == DeclKind::parameter_named || old == DeclKind::parameter_typed))
    old = DeclKind::local;
  if (requested != old) {
    if (requested == DeclKind::parameter_typed &&
        old != DeclKind::parameter_named)
      report_error("%s is not a parameter", name->name.c_str());
    if ((requested == DeclKind::function || requested == DeclKind::global) &&
        old >= DeclKind::builtin_function && old <= DeclKind::global)
      report_error("cannot%s %s %s",
                   old <= DeclKind::builtin_variable ? " replace built-in"
                                                      : " redeclare",
                   kind_word(old), name->name.c_str());
  } else {
    if (!types_compatible(type, old_record->type, false, true))
      report_error("identifier %s redeclared incompatibly", name->name.c_str());
    if (requested == DeclKind::local ||
        requested == DeclKind::parameter_named ||
        requested == DeclKind::parameter_typed)
      report_error("identifier %s redeclared", name->name.c_str());
    if (compile_session != nullptr) session_note_redeclaration(old_record);
    return old_record;
  }

  const DeclKind record_kind = declarations.storage_keyword == tok::kw_typedef
                              ? DeclKind::type_name
                              : requested;
  switch (requested) {
    case DeclKind::builtin_function:
    case DeclKind::function:
    case DeclKind::global: {
      Declaration* record = attach(new_declaration(), name, record_kind, type);
      if (requested == DeclKind::global && record_kind == requested) {
        if (declarations.storage_keyword == tok::kw_buffer)
          record->storage = Storage::buffer;
        else if (declarations.storage_keyword == tok::kw_window)
          record->storage = Storage::window;
      }
      return record;
    }
    case DeclKind::local:
    case DeclKind::parameter_named: {
      if (declarations.locals.size() >= max_local_entries)
        report_error("too many local variables");
      Declaration* record =
          attach(new_local_declaration(), name, record_kind, type);
      declarations.locals.push_back(record);
      if (requested == DeclKind::parameter_named) {
        record->usage = decl_flag::set;
      } else if (record_kind == DeclKind::local) {
        record->frame_offset = code.function.frame_words;
        const std::int64_t words = (rounded_size(type) + 3) / 4;
        if (code.function.frame_words + words > max_frame_words)
          report_error("too much local variable space");
        code.function.frame_words += static_cast<int>(words);
      }
      return record;
    }
    case DeclKind::parameter_typed: {
      // The named parameter takes its type; arrays are passed as pointers,
      // char and short as int.
      Declaration* record = old_record;
      record->kind = DeclKind::parameter_typed;
      if (type != nullptr && type->kind == TypeKind::pointer && type->count != 0)
        type = pointer_to(type->sub);
      else if (type == type_char || type == type_short)
        type = type_int;
      record->type = type;
      return record;
    }
    case DeclKind::none:
    case DeclKind::builtin_variable:
    case DeclKind::type_name:
      break;
  }
  report_fatal("declare: internal error");
}

Declaration* declare_implicit_function(Symbol* name) {
  const Declarator saved = declarations.current;
  const TokenCode saved_storage = declarations.storage_keyword;
  declarations.current = Declarator{name, type_int, nullptr};
  declarations.storage_keyword = 0;
  Declaration* record = declare(DeclKind::function);
  declarations.current = saved;
  declarations.storage_keyword = saved_storage;
  return record;
}

}  // namespace qxl

// ---------------------------------------------------------------------------
// Storage classes, parameters, locals and scopes.

namespace qxl {

namespace {

bool is_storage_keyword(TokenCode t) {
  return t == tok::kw_window || t == tok::kw_typedef ||
         t == tok::kw_command || t == tok::kw_buffer;
}

void set_storage_keyword(TokenCode t) {
  if (declarations.storage_keyword != 0)
    report_error("'%s' keyword incompatible with previous '%s' keyword",
                 token_name(t), token_name(declarations.storage_keyword));
  declarations.storage_keyword = t;
}

// Words of stack a value of this type takes, a partial word counting whole.
int words_of(const Type* t) {
  return static_cast<int>((rounded_size(t) + 3) / 4);
}

// Warns about one unused local or parameter at its own position, once.
void warn_unused(Declaration* d) {
  if ((d->usage & (decl_flag::used | decl_flag::warned)) != 0) return;
  if (d->kind == DeclKind::type_name) return;
  d->usage |= decl_flag::warned;
  const std::string saved_file = reader.file_name;
  const int saved_line = reader.line_number;
  reader.file_name = std::string(d->file);
  reader.line_number = d->line;
  const char* name = d->symbol->name.c_str();
  if (d->kind == DeclKind::local) {
    if ((d->usage & decl_flag::set) != 0)
      report_warning("variable %s was set but not used", name);
    else
      report_warning("variable %s was not used", name);
  } else {
    report_warning("parameter %s was not used", name);
  }
  reader.file_name = saved_file;
  reader.line_number = saved_line;
}

}  // namespace

// storage_class = "user" | "volatile" | "zeroed" | "window" | "typedef"
//     | "command" | "buffer"
// (in a block only "typedef"; at most one of the last four)
int parse_storage_classes(bool file_level) {
  int flags = 0;
  for (;;) {
    const TokenCode t = lexer.current_token;
    if (t == tok::kw_static) report_error("'static' keyword not allowed");
    if (file_level) {
      if (t == tok::kw_user) flags |= variable_flag::user;
      else if (t == tok::kw_volatile) flags |= variable_flag::volatile_;
      else if (t == tok::kw_zeroed) flags |= variable_flag::zeroed;
      else if (is_storage_keyword(t)) set_storage_keyword(t);
      else return flags;
    } else {
      if (t == tok::kw_typedef) set_storage_keyword(t);
      else if (is_storage_keyword(t))
        report_error("bad storage class for local variable");
      else return flags;
    }
    next_token();
  }
}

bool starts_local_declaration() {
  const TokenCode t = lexer.current_token;
  return is_storage_keyword(t) || t == tok::kw_static || is_type_start();
}

Declaration* declare_function() {
  const Declaration* d = declarations.current.name->declaration;
  return declare(d != nullptr && d->kind == DeclKind::builtin_function
                     ? DeclKind::builtin_function
                     : DeclKind::function);
}

// parameter_list = (ident ("," ident)* | parameter ("," parameter)*)?
// parameter = type_specifier declarator
int parse_parameter_list() {
  int count = 0;
  if (lexer.current_token == tok::identifier && !is_type_start()) {
    for (;;) {
      declarations.current = Declarator{symbols.current, type_int, nullptr};
      declare(DeclKind::parameter_named);
      ++count;
      next_token();
      if (lexer.current_token != tok::comma) return count;
      next_token();
      if (lexer.current_token != tok::identifier)
        report_expected("bad parameter list, expected identifier");
    }
  }
  if (!is_type_start()) return 0;
  TypeContext context = TypeContext::plain;
  for (;;) {
    Type* base = parse_type_specifier(context);
    declarations.current = Declarator{};
    parse_declarator(1);
    Declarator& d = declarations.current;
    d.chain = attach_base(d.chain, d.innermost, base);
    declare(DeclKind::parameter_named);
    declare(DeclKind::parameter_typed);
    ++count;
    if (lexer.current_token != tok::comma) return count;
    next_token();
    context = TypeContext::prototype_after_comma;
  }
}

// parameter_declaration = type_specifier declarator ("," declarator)* ";"
// Reads these old-style declarations up to the body's "{", then gives each
// parameter its frame offset.
int parse_parameter_declarations() {
  while (lexer.current_token != tok::lbrace) {
    Type* base = parse_type_specifier(TypeContext::old_parameters);
    for (;;) {
      declarations.current = Declarator{};
      parse_declarator(1);
      Declarator& d = declarations.current;
      d.chain = attach_base(d.chain, d.innermost, base);
      declare(DeclKind::parameter_typed);
      if (lexer.current_token != tok::comma) break;
      next_token();
    }
    expect_token(tok::semicolon);
  }
  int words = 0;
  for (Declaration* d : declarations.locals) {
    words += words_of(d->type);
    d->frame_offset = -words - 3;
  }
  if (words >= 128) report_error("too much argument space");
  return words;
}

std::span<const Type* const> parameter_types() {
  std::vector<const Type*>& types = declarations.parameter_types;
  types.clear();
  for (const Declaration* d : declarations.locals)
    if (d->kind == DeclKind::parameter_named ||
        d->kind == DeclKind::parameter_typed)
      types.push_back(d->type);
  return types;
}

// local_declaration = "typedef"? type_specifier
//     (";" | local_declarator ("," local_declarator)* ";")
// local_declarator = declarator ("=" assignment_expression)?
void parse_local_declarations(void (*initialize)(Node*)) {
  while (starts_local_declaration()) {
    declarations.storage_keyword = 0;
    parse_storage_classes(false);
    Type* base = parse_type_specifier();
    if (lexer.current_token == tok::semicolon) {
      next_token();
      continue;
    }
    for (;;) {
      declarations.current = Declarator{};
      parse_declarator(0);
      Declarator& d = declarations.current;
      d.chain = attach_base(d.chain, d.innermost, base);
      if (d.chain->kind == TypeKind::function) {
        d.chain = d.chain->sub;  // the record holds the result type
        declare_function();
      } else {
        Declaration* record = declare(DeclKind::local);
        if (lexer.current_token == tok::assign && lexer.assign_op == 0) {
          next_token();
          // The initializer's nodes go back once it is compiled.
          const NodeScope nodes;
          Node* target = identifier_leaf(record->symbol);
          initialize(compare_assign_op(tok::assign, target,
                                       parse_assignment_expression()));
        }
      }
      if (lexer.current_token != tok::comma) break;
      next_token();
    }
    expect_token(tok::semicolon);
  }
}

void close_scope(std::size_t keep, bool quick) {
  while (declarations.locals.size() > keep) {
    Declaration* d = declarations.locals.back();
    declarations.locals.pop_back();
    if (!quick && settings.no_unused_warnings == 0) warn_unused(d);
    if (compile_session != nullptr) session_close_declaration(d);
    d->symbol->declaration = d->previous;
    declarations.free_locals.push_back(d);
  }
}

int storage_class_of(const Type* t) {
  switch (t->kind) {
    case TypeKind::char_: return attribute::class_char;
    case TypeKind::short_: return attribute::class_short;
    case TypeKind::int_: return attribute::class_int;
    case TypeKind::byte: return attribute::class_byte;
    case TypeKind::none:
    case TypeKind::struct_:
    case TypeKind::union_:
    case TypeKind::spot:
    case TypeKind::color_class_marker:
    case TypeKind::pointer:
    case TypeKind::function:
      break;
  }
  if (t->kind == TypeKind::pointer && t->sub == type_char)
    return t->count != 0 ? attribute::class_char_array
                         : attribute::class_char_pointer;
  // Spots and data pointers anywhere inside make the spot-or-pointer class.
  std::vector<const Type*> pending{t};
  while (!pending.empty()) {
    const Type* u = pending.back();
    pending.pop_back();
    if (u == nullptr) continue;
    if (u->kind == TypeKind::spot) return attribute::class_spot_or_pointer;
    if (u->kind == TypeKind::pointer) {
      if (u->count == 0) {
        if (is_data_pointer(u)) return attribute::class_spot_or_pointer;
        continue;  // a function pointer holds no spot
      }
      pending.push_back(u->sub);
    } else if (u->kind == TypeKind::struct_ || u->kind == TypeKind::union_) {
      for (const Member* m = u->members; m != nullptr; m = m->next)
        pending.push_back(m->type);
    }
  }
  return attribute::class_other;
}

}  // namespace qxl
