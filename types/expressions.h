// The expression parser: recursive descent over the token stream, building
// typed trees through the operand rules.
#pragma once

namespace qxl {

struct Node;

// A full expression, comma operator included.
Node* parse_expression();
// An expression without the comma level (initializers, arguments).
Node* parse_assignment_expression();
Node* parse_conditional_expression();
Node* parse_unary_expression();

}  // namespace qxl
