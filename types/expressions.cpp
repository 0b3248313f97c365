#include "types/expressions.h"

#include <limits>

#include "bytecode/writer.h"
#include "codegen/constant_eval.h"
#include "driver/diagnostics.h"
#include "driver/session.h"
#include "source/constants.h"
#include "source/lexer.h"
#include "source/macros.h"
#include "source/preprocessor.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/nodes.h"
#include "types/operands.h"
#include "types/operators.h"
#include "types/types.h"

namespace qxl {

ExpressionParserState expression_parser;

void ExpressionParserState::reset() { *this = ExpressionParserState{}; }

namespace {

// Nested parentheses and operators recurse; past this depth the expression
// is refused before it can exhaust the stack.
constexpr int max_parse_depth = 1000;
NestingGuard expression_level() {
  return {expression_parser.depth, max_parse_depth, "expression too complex"};
}

// binary(level) = unary { operator binary(level') }
// for the binary operators that bind at least as tightly as `level`, where
// level' is one above the operator's own (its own for one that groups to
// the right).
Node* parse_binary(int min_level) {
  Node* left = parse_unary_expression();
  for (;;) {
    const OperatorRow* row = binary_operator(lexer.current_token);
    if (row == nullptr || row->level < min_level) return left;
    next_token();
    const int right_level =
        row->grouping == Grouping::left ? row->level + 1 : row->level;
    Node* right = parse_binary(right_level);
    left = binary_op(*row, left, right);
  }
}

Node* one() { return new_folded(1); }

// The size that sizeof gives for an operand expression.
std::int64_t operand_size(const Node* n) {
  if (n->op == NodeOp::identifier && n->symbol->declaration != nullptr) {
    const Declaration* d = n->symbol->declaration;
    if (d->kind != DeclKind::function &&
        d->kind != DeclKind::builtin_function)
      return type_size(d->type, false);
  }
  if (n->op == NodeOp::string_const || n->op == NodeOp::string_concat)
    return 2 * static_cast<std::int64_t>(decode_string_expression(n).size()) + 2;
  return type_size(n->type, false);
}

// sizeof gives an int: a size beyond its range is refused, not wrapped.
Node* new_size_constant(std::int64_t size) {
  if (size > std::numeric_limits<std::int32_t>::max())
    report_error("compiler limit exceeded");
  return new_folded(static_cast<std::int32_t>(size));
}

// sizeof = "sizeof" "(" type_name ")" | "sizeof" unary
Node* parse_sizeof() {
  next_token();
  const Declarator saved = declarations.current;
  std::int64_t size;
  if (lexer.current_token == tok::lparen) {
    next_token();
    if (is_type_start()) {
      size = type_size(parse_type_name(), false);
      expect_token(tok::rparen);
      declarations.current = saved;
      return new_size_constant(size);
    }
    push_back_token(tok::lparen, nullptr);
  }
  Node* operand = parse_unary_expression();
  size = operand_size(operand);
  release_tree(operand);
  declarations.current = saved;
  return new_size_constant(size);
}

// defined = "defined" "(" (identifier | reserved_word) ")"
// In a #if condition, after "defined" with "(" current: 1 when the name in
// the parentheses is a macro.
Node* parse_defined() {
  next_token();
  if (lexer.current_token != tok::identifier &&
      !(lexer.current_token >= tok::first_reserved &&
        lexer.current_token <= tok::last_reserved))
    report_expected("expected %s", "identifier");
  const bool defined = macro_is_defined(symbols.current);
  next_token();
  expect_token(tok::rparen);
  return new_folded(defined ? 1 : 0);
}

// name = identifier [ "." "default" ] | defined
Node* parse_identifier() {
  Symbol* name = symbols.current;
  if (compile_session != nullptr) session_note_use(name);
  next_token();
  if (preprocessor.parsing_condition && name->name == "defined" &&
      lexer.current_token == tok::lparen)
    return parse_defined();
  Declaration* d = name->declaration;
  const bool called = lexer.current_token == tok::lparen;
  if (d == nullptr && called) d = declare_implicit_function(name);
  if (d == nullptr) report_error("undeclared variable %s", name->name.c_str());

  if (d->kind == DeclKind::type_name) report_expected("expected %s", "expression");
  if ((d->kind == DeclKind::function ||
       d->kind == DeclKind::builtin_function) &&
      !called) {
    if (d->kind == DeclKind::builtin_function)
      report_error("cannot take address of a built in function");
    Type* function = make_type(TypeKind::function, d->type, 0);
    return new_leaf(NodeOp::identifier, name,
                    make_type(TypeKind::pointer, function, 0));
  }

  Node* leaf = identifier_leaf(name);

  if (lexer.current_token == tok::dot) {
    next_token();
    if (lexer.current_token == tok::kw_default) {
      leaf->default_value = true;
      next_token();
    } else {
      push_back_token(tok::dot, nullptr);
    }
  }
  return leaf;
}

// string = string_const { string_const }
Node* parse_string() {
  Node* chain = new_leaf(NodeOp::string_const, symbols.current, type_char_ptr);
  next_token();
  while (lexer.current_token == tok::string_const) {
    Node* piece = new_node(NodeOp::string_concat, nullptr, chain, type_char_ptr);
    piece->symbol = symbols.current;
    chain = piece;
    next_token();
  }
  return chain;
}

// color_class_name = "color_class" (identifier | "default")
Node* parse_color_class_leaf() {
  next_token();
  Symbol* name = symbols.current;
  if ((lexer.current_token != tok::identifier &&
       lexer.current_token != tok::kw_default) ||
      name->tag != color_class_marker)
    report_error("unrecognized color class");
  if (compile_session != nullptr)
    session_note_color_class(name, 0, false);
  next_token();
  return new_leaf(NodeOp::color_class, name, type_int);
}

// primary = name | string | char_const | int_const | color_class_name
//         | "(" expression ")"
Node* parse_primary() {
  switch (lexer.current_token) {
    case tok::identifier:
      return parse_identifier();
    case tok::string_const:
      return parse_string();
    case tok::char_const: {
      Node* leaf = new_leaf(NodeOp::char_const, symbols.current, type_char);
      next_token();
      return leaf;
    }
    case tok::int_const: {
      Node* leaf = new_leaf(NodeOp::int_const, symbols.current, type_int);
      next_token();
      return leaf;
    }
    case tok::kw_color_class:
      return parse_color_class_leaf();
    case tok::lparen: {
      next_token();
      Node* inner = parse_expression();
      expect_token(tok::rparen);
      return inner;
    }
    default:
      report_expected("expected %s", "expression");
  }
}

bool is_function_declaration(const Declaration* d) {
  return d != nullptr && (d->kind == DeclKind::function ||
                          d->kind == DeclKind::builtin_function);
}

void check_argument(const Node* argument) {
  if (argument->type == nullptr)
    report_error("invalid function argument, returns no value");
  const TypeKind k = argument->type->kind;
  if (k == TypeKind::struct_ || k == TypeKind::union_ || k == TypeKind::function)
    illegal_operation(argument->type);
}

// call_arguments = "(" [ assignment { "," assignment } ] ")"
Node* parse_call(Node* callee) {
  next_token();  // "("
  // The arguments wait on the shared argument stack, above those of any
  // call that encloses this one.
  std::vector<Node*>& stack = node_pool.argument_stack;
  const std::size_t base = stack.size();
  if (lexer.current_token != tok::rparen) {
    for (;;) {
      Node* argument = parse_assignment_expression();
      check_argument(argument);
      stack.push_back(argument);
      if (lexer.current_token != tok::comma) break;
      next_token();
    }
  }
  Type* result;
  const Declaration* d =
      callee->op == NodeOp::identifier ? callee->symbol->declaration : nullptr;
  if (callee->op == NodeOp::identifier && is_function_declaration(d)) {
    result = d->type;
  } else if (callee->type != nullptr && callee->type->kind == TypeKind::function) {
    result = callee->type->sub;
  } else if (callee->op == NodeOp::identifier &&
             is_function_pointer(callee->type)) {
    callee = dereference(callee);
    result = callee->type->sub;
  } else {
    report_error("invalid function call");
  }
  expect_token(tok::rparen);

  Node* list = nullptr;
  for (std::size_t i = stack.size(); i-- > base;)
    list = list == nullptr ? stack[i]
                           : new_node(NodeOp::argument, stack[i], list, nullptr);
  stack.resize(base);
  return new_node(NodeOp::call, callee, list, result);
}

Symbol* expect_member_name() {
  if (lexer.current_token != tok::identifier)
    report_expected("expected %s", "identifier");
  Symbol* name = symbols.current;
  next_token();
  return name;
}

// postfix = primary { call_arguments | "[" expression "]" | "." identifier
//                   | "->" identifier } [ "++" | "--" ]
Node* parse_postfix(Node* n) {
  for (;;) {
    switch (lexer.current_token) {
      case tok::lparen:
        n = parse_call(n);
        break;
      case tok::lbracket: {
        next_token();
        Node* index = parse_expression();
        expect_token(tok::rbracket);
        n = dereference(additive_op(tok::plus, n, index));
        break;
      }
      case tok::dot:
        next_token();
        n = member_op(n, expect_member_name());
        break;
      case tok::arrow:
        next_token();
        n = member_op(dereference(n), expect_member_name());
        break;
      case tok::plus_plus:
      case tok::minus_minus: {
        const TokenCode op = lexer.current_token;
        next_token();
        // A postfix increment ends the chain.
        return additive_op(op, n, one());
      }
      default:
        return n;
    }
  }
}

}  // namespace

Node* identifier_leaf(Symbol* name) {
  Declaration* d = name->declaration;
  Type* type = d->type;
  if (type != nullptr && type->kind == TypeKind::pointer && type->count != 0)
    type = decayed_pointer(type->sub);
  if (d->kind == DeclKind::global) d->usage |= decl_flag::used;
  return new_leaf(NodeOp::identifier, name, type);
}

// expression = assignment { "," assignment }
Node* parse_expression() {
  Node* left = parse_assignment_expression();
  while (lexer.current_token == tok::comma) {
    next_token();
    Node* right = parse_assignment_expression();
    left = new_node(NodeOp::comma, left, right, right->type);
  }
  return left;
}

// assignment = conditional [ ("=" | "*=" | "/=" | "%=" | "+=" | "-=" | "<<="
//                            | ">>=" | "&=" | "^=" | "|=") assignment ]
Node* parse_assignment_expression() {
  const NestingGuard guard = expression_level();
  Node* left = parse_conditional_expression();
  if (lexer.current_token != tok::assign) return left;
  const TokenCode op = lexer.assign_op;
  next_token();
  Node* right = parse_assignment_expression();
  if (op == 0) return compare_assign_op(tok::assign, left, right);
  return compound_assign_op(op, left, right);
}

// conditional = binary(logical_or) [ "?" binary(logical_or) ":" conditional ]
Node* parse_conditional_expression() {
  const NestingGuard guard = expression_level();
  Node* condition = parse_binary(precedence::first_binary);
  if (lexer.current_token != tok::question) return condition;
  next_token();
  Node* middle = parse_binary(precedence::first_binary);
  expect_token(tok::colon);
  Node* last = parse_conditional_expression();
  if (condition->type == nullptr) report_error("value required");
  Node* alternatives = compare_assign_op(tok::colon, middle, last);
  return new_node(NodeOp::conditional, condition, alternatives,
                  alternatives->type);
}

// unary = sizeof | ("-" | "~" | "!" | "*" | "&" | "++" | "--") unary
//       | "(" type_name ")" unary | postfix
Node* parse_unary_expression() {
  const NestingGuard guard = expression_level();
  switch (lexer.current_token) {
    case tok::kw_sizeof:
      return parse_sizeof();
    case tok::star:
      next_token();
      return dereference(parse_unary_expression());
    case tok::minus:
    case tok::tilde:
    case tok::bang: {
      const TokenCode op = lexer.current_token;
      next_token();
      return unary_op(op, parse_unary_expression());
    }
    case tok::plus_plus:
    case tok::minus_minus: {
      const TokenCode op =
          lexer.current_token == tok::plus_plus ? tok::plus : tok::minus;
      next_token();
      return compound_assign_op(op, parse_unary_expression(), one());
    }
    case tok::amp:
      next_token();
      return address_of(parse_unary_expression());
    case tok::lparen: {
      next_token();
      if (is_type_start()) {
        Type* target = parse_type_name();
        expect_token(tok::rparen);
        return cast_op(target, parse_unary_expression());
      }
      push_back_token(tok::lparen, nullptr);
      break;
    }
    default:
      break;
  }
  return parse_postfix(parse_primary());
}

}  // namespace qxl
