// The expression parser: recursive descent over the token stream, building
// typed trees through the operand rules.
#pragma once

namespace qxl {

struct Node;
struct Symbol;

struct ExpressionParserState {
  int depth = 0;  // operators and parentheses being read, nested

  void reset();
};

extern ExpressionParserState expression_parser;

// A full expression, comma operator included.
Node* parse_expression();
// An expression without the comma level (initializers, arguments).
Node* parse_assignment_expression();
Node* parse_conditional_expression();
Node* parse_unary_expression();

// The leaf that names a variable: arrays decay to a pointer to their first
// element, and a global is marked used.
Node* identifier_leaf(Symbol* name);

}  // namespace qxl
