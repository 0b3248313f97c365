// Constant evaluation: the value of an expression tree whose leaves are
// constants, in 32-bit arithmetic that wraps around.
#pragma once

#include <cstdint>

#include "source/tokens.h"

namespace qxl {

struct Node;

std::int32_t evaluate(const Node* n);
std::int32_t fold(TokenCode op, const Node* left, const Node* right);
std::int32_t fold_unary(TokenCode op, const Node* operand);
std::int32_t evaluate_and_release(Node* n);

bool is_foldable(TokenCode op);
bool is_constant_leaf(const Node* n);
// A constant leaf in -126..126, emitted as one signed byte.
bool is_small_constant(const Node* n);
// A constant leaf whose value is v; the node is then released.
bool is_constant_equal(Node* n, std::int32_t v);
// The same test without releasing the node.
bool has_constant_value(const Node* n, std::int32_t v);

}  // namespace qxl
