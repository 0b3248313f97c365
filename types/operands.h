// Operand rules: every operator node is made here.  A rule checks that its
// operands have values and allowed types, applies the conversions of the
// language (array decay, pointer scaling, null pointer constants, spot
// contents, structure copy), drops trivial identities, folds constant
// operands and chooses the node's type.
#pragma once

#include "source/tokens.h"

namespace qxl {

struct Node;
struct OperatorRow;
struct Symbol;
struct Type;
enum class TypeKind : TokenCode;

void require_lvalue(const Node* n);
Node* address_of(Node* n);
Node* dereference(Node* n);
// "-", "~" and "!".
Node* unary_op(TokenCode op, Node* operand);
// A binary operator of the expression grammar, by its row's operand rule.
Node* binary_op(const OperatorRow& row, Node* left, Node* right);
// "+", "-", and post-increment/decrement (tok::plus_plus, tok::minus_minus).
Node* additive_op(TokenCode op, Node* left, Node* right);
// Comparisons, "=" and the ":" of a conditional.
Node* compare_assign_op(TokenCode op, Node* left, Node* right);
Node* compound_assign_op(TokenCode op, Node* left, Node* right);
Node* member_op(Node* n, Symbol* member_name);
Node* cast_op(Type* target, Node* operand);

// Statement forms that take any non-aggregate value / an integer.
void check_passable(TypeKind type_kind);
void check_integer_kind(TypeKind type_kind);

// Stops with "operation illegal with ..." for the kind of `t`.
[[noreturn]] void illegal_operation(const Type* t);

}  // namespace qxl
