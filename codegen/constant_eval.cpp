#include "codegen/constant_eval.h"

#include "codegen/code_buffer.h"
#include "driver/diagnostics.h"
#include "source/constants.h"
#include "source/lexer.h"
#include "source/symbols.h"
#include "types/nodes.h"
#include "types/operators.h"

namespace qxl {

namespace {

[[noreturn]] void not_constant() { report_error("not a constant expression"); }

std::int32_t divisor(const Node* right) {
  const std::int32_t b = evaluate(right);
  if (b == 0) report_error("division by zero");
  return b;
}

// The value of a number or character constant, worked out once for its
// text: constants are evaluated several times each (a test for a small one,
// then its use), and the same texts recur throughout a program.
std::int32_t constant_leaf_value(const Node* n) {
  if (const SymbolFacts& known = facts_of(n->symbol); known.has_value)
    return known.value;
  const std::int32_t v =
      n->op == NodeOp::int_const
          ? folding::wrap(integer_constant_value(n->symbol->name))
          : char_constant_value(n->symbol->name);
  SymbolFacts& facts = facts_of(n->symbol);
  facts.value = v;
  facts.has_value = true;
  return v;
}

}  // namespace

bool is_foldable(TokenCode op) {
  const OperatorRow* row = binary_operator(op);
  return row != nullptr && row->fold != Fold::never;
}

bool is_constant_leaf(const Node* n) {
  return n != nullptr && (n->op == NodeOp::char_const ||
                          n->op == NodeOp::int_const ||
                          n->op == NodeOp::folded);
}

bool is_small_constant(const Node* n) {
  if (!is_constant_leaf(n)) return false;
  const std::int32_t v = evaluate(n);
  return v >= -126 && v <= 126;
}

bool has_constant_value(const Node* n, std::int32_t v) {
  return is_constant_leaf(n) && evaluate(n) == v;
}

bool is_constant_equal(Node* n, std::int32_t v) {
  if (!has_constant_value(n, v)) return false;
  release_node(n);
  return true;
}

std::int32_t fold(TokenCode op, const Node* left, const Node* right) {
  const OperatorRow* row = binary_operator(op);
  const Fold how = row != nullptr ? row->fold : Fold::never;
  switch (how) {
    case Fold::divisor: {
      const std::int32_t b = divisor(right);
      return row->apply(evaluate(left), b);
    }
    case Fold::and_then:
    case Fold::or_else: {
      // The left operand's truth that decides alone, and is the result.
      const bool decides = how == Fold::or_else;
      if ((evaluate(left) != 0) == decides) return decides ? 1 : 0;
      return evaluate(right) != 0 ? 1 : 0;
    }
    case Fold::select:
      // The right operand is the ":" node holding both alternatives.
      if (right == nullptr || right->op != NodeOp::colon) not_constant();
      return evaluate(left) != 0 ? evaluate(right->left)
                                 : evaluate(right->right);
    case Fold::both:
    case Fold::never:
      break;
  }
  const std::int32_t a = evaluate(left);
  const std::int32_t b = evaluate(right);
  if (how != Fold::both) not_constant();
  return row->apply(a, b);
}

std::int32_t fold_unary(TokenCode op, const Node* operand) {
  const std::int32_t v = evaluate(operand);
  const OperatorRow* row = prefix_operator(op);
  if (row == nullptr) not_constant();
  return row->apply(v, 0);
}

std::int32_t evaluate(const Node* n) {
  if (n == nullptr) not_constant();
  switch (node_class_of(n)) {
    case NodeClass::unary:
      if (prefix_operator(node_code(n)) != nullptr)
        return fold_unary(node_code(n), n->left);
      not_constant();
    case NodeClass::binary:
      return fold(node_code(n), n->left, n->right);
    case NodeClass::compound:
      not_constant();
    case NodeClass::leaf:
      break;
  }
  switch (n->op) {
    case NodeOp::int_const:
    case NodeOp::char_const:
      return constant_leaf_value(n);
    case NodeOp::folded:
      return n->value;
    default:
      not_constant();
  }
}

std::int32_t evaluate_and_release(Node* n) {
  const std::int32_t v = evaluate(n);
  release_tree(n);
  return v;
}

}  // namespace qxl
