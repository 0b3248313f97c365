#include "codegen/constant_eval.h"

#include <limits>

#include "driver/diagnostics.h"
#include "source/constants.h"
#include "source/lexer.h"
#include "source/symbols.h"
#include "types/nodes.h"

namespace qxl {

namespace {

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();

std::int32_t wrap(std::uint32_t v) { return static_cast<std::int32_t>(v); }
std::uint32_t bits(std::int32_t v) { return static_cast<std::uint32_t>(v); }

[[noreturn]] void not_constant() { report_error("not a constant expression"); }

std::int32_t divisor(const Node* right) {
  const std::int32_t b = evaluate(right);
  if (b == 0) report_error("division by zero");
  return b;
}

}  // namespace

std::int32_t wrapping_divide(std::int32_t a, std::int32_t b) {
  if (a == int_min && b == -1) return int_min;
  return a / b;
}

std::int32_t wrapping_remainder(std::int32_t a, std::int32_t b) {
  if (b == -1) return 0;
  return a % b;
}

bool is_foldable(TokenCode op) {
  switch (op) {
    case tok::star: case tok::plus: case tok::minus: case tok::slash:
    case tok::amp: case tok::amp_amp: case tok::bar: case tok::bar_bar:
    case tok::percent: case tok::shift_left: case tok::shift_right:
    case tok::less_equal: case tok::greater_equal: case tok::less:
    case tok::greater: case tok::equal_equal: case tok::not_equal:
    case tok::caret: case tok::question:
      return true;
    default:
      return false;
  }
}

bool is_constant_leaf(const Node* n) {
  return n != nullptr && (n->op == node_op::char_const ||
                          n->op == node_op::int_const ||
                          n->op == node_op::folded);
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
  switch (op) {
    case tok::slash: {
      const std::int32_t b = divisor(right);
      return wrapping_divide(evaluate(left), b);
    }
    case tok::percent: {
      const std::int32_t b = divisor(right);
      return wrapping_remainder(evaluate(left), b);
    }
    case tok::amp_amp:
      if (evaluate(left) == 0) return 0;
      return evaluate(right) != 0 ? 1 : 0;
    case tok::bar_bar:
      if (evaluate(left) != 0) return 1;
      return evaluate(right) != 0 ? 1 : 0;
    case tok::question: {
      // The right operand is the ":" node holding both alternatives.
      if (right == nullptr || right->op != node_op::colon) not_constant();
      return evaluate(left) != 0 ? evaluate(right->left)
                                 : evaluate(right->right);
    }
    default:
      break;
  }
  const std::int32_t a = evaluate(left);
  const std::int32_t b = evaluate(right);
  switch (op) {
    case tok::star: return wrap(bits(a) * bits(b));
    case tok::plus: return wrap(bits(a) + bits(b));
    case tok::minus: return wrap(bits(a) - bits(b));
    case tok::amp: return a & b;
    case tok::bar: return a | b;
    case tok::caret: return a ^ b;
    case tok::shift_left: return wrap(bits(a) << (bits(b) & 31));
    case tok::shift_right: return a >> (bits(b) & 31);
    case tok::less_equal: return a <= b;
    case tok::greater_equal: return a >= b;
    case tok::less: return a < b;
    case tok::greater: return a > b;
    case tok::equal_equal: return a == b;
    case tok::not_equal: return a != b;
    default: not_constant();
  }
}

std::int32_t fold_unary(TokenCode op, const Node* operand) {
  const std::int32_t v = evaluate(operand);
  switch (op) {
    case tok::minus: return wrap(0u - bits(v));
    case tok::tilde: return ~v;
    case tok::bang: return v == 0 ? 1 : 0;
    default: not_constant();
  }
}

std::int32_t evaluate(const Node* n) {
  if (n == nullptr) not_constant();
  switch (node_class_of(n)) {
    case node_class::unary:
      if (n->op == node_op::negate || n->op == node_op::complement ||
          n->op == node_op::logical_not)
        return fold_unary(node_code(n), n->left);
      not_constant();
    case node_class::binary:
      return fold(node_code(n), n->left, n->right);
    case node_class::compound:
      not_constant();
    default:
      break;
  }
  switch (n->op) {
    case node_op::int_const:
      return wrap(integer_constant_value(n->symbol->name));
    case node_op::folded:
      return n->value;
    case node_op::char_const:
      return char_constant_value(n->symbol->name);
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
