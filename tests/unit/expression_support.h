// Helpers for tests that parse expression text: declaring names directly,
// parsing, and printing trees as S-expressions.
#pragma once

#include <string>

#include "codegen/constant_eval.h"
#include "source/preprocessor.h"
#include "test_support.h"
#include "types/builtins.h"
#include "types/declarations.h"
#include "types/expressions.h"
#include "types/nodes.h"
#include "types/types.h"

namespace qxl::test {

inline Symbol* symbol_named(const std::string& text) {
  lookup_symbol(text, tok::identifier);
  return symbols.current;
}

// Declares `name` with the given kind and type, hiding what it had.
// `place` is a built-in function's primitive number, a built-in
// variable's number, or a local's or parameter's frame offset.
inline Declaration* declare_name(const std::string& name, DeclKind kind,
                                 Type* type, std::int32_t place = 0) {
  Symbol* s = symbol_named(name);
  Declaration* d = new_declaration();
  d->symbol = s;
  d->previous = s->declaration;
  d->kind = kind;
  d->type = type;
  if (kind == DeclKind::builtin_function)
    d->primitive = place;
  else if (kind == DeclKind::builtin_variable)
    d->builtin_number = place;
  else
    d->frame_offset = place;
  s->declaration = d;
  return d;
}

inline Type* array_of(Type* element, int count) {
  return make_type(TypeKind::pointer, element, count);
}

inline Type* function_returning(Type* result) {
  return make_type(TypeKind::function, result, 0);
}

// A struct (or union) type with the given members in order.
inline Type* aggregate_type(
    TypeKind k, std::initializer_list<std::pair<const char*, Type*>> members) {
  Type* t = make_type(k, nullptr, 0);
  Member** tail = &t->members;
  for (auto [member_name, member_type] : members) {
    *tail = make_member(symbol_named(member_name), member_type);
    tail = &(*tail)->next;
  }
  return t;
}

// Sets up a compile in memory reading `text`; names can then be declared
// before parse() is called.
struct ExpressionFixture {
  std::string console;

  void start() {
    reset_compiler_state();
    diagnostics.capture = &console;
    init_symbol_table();
    install_builtin_names();
    reader.file_name = "e.q";
  }
  void finish() { diagnostics.capture = nullptr; }

  // Parses the whole text as one expression.  Returns null when the parse
  // ended the compile (the message is in `console`).
  // Makes `text` the input, dropping whatever an earlier parse left in the
  // reader.
  static void feed(std::string_view text) {
    reader.pushed_char = no_pushed_char;
    reader.token_length = 0;
    reader.string_source = text;
    reader.reading_string = true;
    reader.source_end_is_eof = true;
    lexer.held_token = tok::end_of_input;
  }

  Node* parse(std::string_view text, bool whole = true) {
    feed(text);
    try {
      next_token();
      Node* n = parse_expression();
      if (whole && lexer.current_token != tok::end_of_input)
        report_expected("expected %s", "end");
      return n;
    } catch (const CompileExit&) {
      return nullptr;
    }
  }
};

inline std::string node_name(const Node* n) {
  switch (n->op) {
    case NodeOp::spot_content: return "spot@";
    case NodeOp::dereference: return "deref";
    case NodeOp::negate: return "neg";
    case NodeOp::complement: return "~";
    case NodeOp::logical_not: return "!";
    case NodeOp::cast: return "cast";
    case NodeOp::int_to_pointer: return "int>ptr";
    case NodeOp::pointer_to_int: return "ptr>int";
    case NodeOp::address_of: return "addr";
    case NodeOp::call: return "call";
    case NodeOp::post_increment: return "post++";
    case NodeOp::post_decrement: return "post--";
    default: break;
  }
  const char* name = token_name(node_code(n));
  std::string text = name != nullptr ? name : "?";
  if (node_class_of(n) == NodeClass::compound) text += "=";
  return text;
}

// The tree as an S-expression: leaves by their text, folded constants as
// #value, member nodes as (.offset operand).
inline std::string tree(const Node* n) {
  if (n == nullptr) return "null";
  switch (n->op) {
    case NodeOp::identifier:
      return std::string(n->symbol->name) + (n->default_value ? ".default" : "");
    case NodeOp::string_const:
    case NodeOp::char_const:
    case NodeOp::int_const:
      return std::string(n->symbol->name);
    case NodeOp::string_concat:
      return "(concat " + tree(n->right) + " " + std::string(n->symbol->name) + ")";
    case NodeOp::folded: return "#" + std::to_string(n->value);
    case NodeOp::null_pointer: return "nullptr";
    case NodeOp::color_class: return "color:" + std::string(n->symbol->name);
    case NodeOp::member:
      return "(." + std::to_string(n->member_offset) + " " + tree(n->left) + ")";
    default: break;
  }
  if (node_class_of(n) == NodeClass::unary)
    return "(" + node_name(n) + " " + tree(n->left) + ")";
  return "(" + node_name(n) + " " + tree(n->left) + " " + tree(n->right) + ")";
}

}  // namespace qxl::test
