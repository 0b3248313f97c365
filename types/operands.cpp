#include "types/operands.h"

#include "codegen/constant_eval.h"
#include "driver/diagnostics.h"
#include "driver/session.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/nodes.h"
#include "types/operators.h"
#include "types/types.h"

namespace qxl {

namespace {

[[noreturn]] void illegal_kind(TypeKind k) {
  switch (k) {
    case TypeKind::struct_: report_error("operation illegal with structure");
    case TypeKind::union_: report_error("operation illegal with union");
    case TypeKind::spot: report_error("operation illegal with spot");
    case TypeKind::function: report_error("operation illegal with function");
    default: report_error("operation illegal with pointer");
  }
}

// The kind an operand counts as: function pointers and every integer
// width are integers.
TypeKind class_of(const Node* n) { return arith_class(n->type); }

bool is_aggregate_kind(TypeKind k) {
  return k == TypeKind::struct_ || k == TypeKind::union_;
}

void require_value(const Node* n) {
  if (n->type == nullptr) report_error("value required");
}

void require_values(const Node* left, const Node* right) {
  require_value(left);
  require_value(right);
}

// Structures, unions and functions are illegal; spots and pointers pass.
void reject_aggregates(const Node* n) {
  const TypeKind k = class_of(n);
  if (is_aggregate_kind(k) || k == TypeKind::function) illegal_kind(k);
}

// Anything but an integer is illegal.
void require_integer(const Node* n) {
  const TypeKind k = class_of(n);
  if (k != TypeKind::int_) illegal_kind(k);
}

// The class check of the integer and logical rules on one operand.
void check_class(OperandRule rule, const Node* n) {
  if (rule == OperandRule::logical) reject_aggregates(n);
  else require_integer(n);
}

// A constant operand that is the operator's identity, on the side named
// (x * 1, 1 * x, x / 1, x << 0, x + 0, 0 + x, x - 0); it is then released.
bool is_right_identity(const OperatorRow& row, Node* n) {
  return has_identity(row) && is_constant_equal(n, identity_value(row));
}
bool is_left_identity(const OperatorRow& row, Node* n) {
  return identity_on_left(row) && is_constant_equal(n, identity_value(row));
}

Node* binary_node(TokenCode op, Node* left, Node* right, Type* type) {
  return new_node(operator_node(NodeClass::binary, op), left,
                  right, type);
}

// Folds two constant operands of a foldable operator; otherwise builds the
// binary node.
Node* fold_or_build(TokenCode op, Node* left, Node* right, Type* type) {
  if (is_constant_leaf(left) && is_constant_leaf(right) && is_foldable(op)) {
    const std::int32_t value = fold(op, left, right);
    release_node(left);
    release_node(right);
    return new_folded(value);
  }
  return binary_node(op, left, right, type);
}

std::int64_t target_size(const Type* pointer) {
  return type_size(pointer->sub, false);
}

Node* constant(std::int64_t value) {
  return new_folded(static_cast<std::int32_t>(value));
}

// The integer and the logical rules: both operands pass the rule's class
// check (after an identity operand is dropped), then fold or make a node
// of type int.
Node* checked_op(const OperatorRow& row, Node* left, Node* right) {
  require_values(left, right);
  if (is_left_identity(row, left)) return right;
  if (is_right_identity(row, right)) return left;
  check_class(row.rule, left);
  check_class(row.rule, right);
  return fold_or_build(row.token, left, right, type_int);
}

// An index scaled by a target size, or a pointer difference divided by it.
Node* scaled(TokenCode op, Node* n, std::int64_t size) {
  return checked_op(*binary_operator(op), n, constant(size));
}

const Declaration* declaration_of(const Node* n) {
  if (n->op != NodeOp::identifier || n->symbol == nullptr) return nullptr;
  return n->symbol->declaration;
}

Node* structure_copy(Node* left, Node* right) {
  types_compatible(left->type, right->type, true, false);
  lookup_symbol("memcpy", tok::identifier);
  Symbol* memcpy_name = symbols.current;
  const Declaration* d = memcpy_name->declaration;
  if (d == nullptr) report_error("undeclared variable %s", "memcpy");
  Node* callee = new_leaf(NodeOp::identifier, memcpy_name, d->type);
  const std::int64_t size = type_size(left->type, false);
  Node* arguments = new_node(
      NodeOp::argument, address_of(left),
      new_node(NodeOp::argument, address_of(right), constant(size), nullptr),
      nullptr);
  return new_node(NodeOp::call, callee, arguments, d->type);
}

}  // namespace

void illegal_operation(const Type* t) { illegal_kind(arith_class(t)); }

void require_lvalue(const Node* n) {
  require_value(n);
  if (n->op != NodeOp::identifier && n->op != NodeOp::spot_content &&
      n->op != NodeOp::dereference && n->op != NodeOp::member)
    report_error("not an lvalue");
  if (const Declaration* d = declaration_of(n)) {
    if (d->kind == DeclKind::function ||
        d->kind == DeclKind::builtin_function || is_array(d->type))
      report_error("not an lvalue");
  }
  if (is_array(n->type)) report_error("not an lvalue");
}

Node* address_of(Node* n) {
  require_value(n);
  if (n->op == NodeOp::dereference) {
    Node* pointer = n->left;
    release_node(n);
    return pointer;
  }
  require_lvalue(n);
  if (const Declaration* d = declaration_of(n)) {
    if (d->kind == DeclKind::parameter_typed && is_function_pointer(d->type))
      report_error("No pointers to function pointer arguments.");
  }
  return new_node(NodeOp::address_of, n, nullptr, shared_pointer_to(n->type));
}

Node* dereference(Node* n) {
  require_value(n);
  if (n->op == NodeOp::address_of) {
    Node* operand = n->left;
    release_node(n);
    return operand;
  }
  if (n->type->kind == TypeKind::spot)
    return new_node(NodeOp::spot_content, n, nullptr, type_int);
  if (n->type->kind == TypeKind::pointer)
    return new_node(NodeOp::dereference, n, nullptr, n->type->sub);
  report_error("can't dereference non-pointer");
}

Node* unary_op(TokenCode op, Node* operand) {
  require_value(operand);
  if (is_constant_leaf(operand)) {
    const std::int32_t value = fold_unary(op, operand);
    release_node(operand);
    return new_folded(value);
  }
  // "!" of a comparison is the opposite comparison.
  if (op == tok::bang && node_class_of(operand) == NodeClass::binary &&
      is_comparison(node_code(operand))) {
    operand->op = operator_node(
        NodeClass::binary, binary_operator(node_code(operand))->opposite);
    return operand;
  }
  const OperatorRow* row = prefix_operator(op);
  check_class(row != nullptr ? row->rule : OperandRule::integer, operand);
  return new_node(operator_node(NodeClass::unary, op), operand,
                  nullptr, type_int);
}

Node* binary_op(const OperatorRow& row, Node* left, Node* right) {
  switch (row.rule) {
    case OperandRule::additive: return additive_op(row.token, left, right);
    case OperandRule::compare: return compare_assign_op(row.token, left, right);
    case OperandRule::integer:
    case OperandRule::logical:
    case OperandRule::own:  // "," and "?" are not parsed as binary operators
      break;
  }
  return checked_op(row, left, right);
}

Node* additive_op(TokenCode op, Node* left, Node* right) {
  require_values(left, right);
  const bool increment = op == tok::plus_plus || op == tok::minus_minus;
  if (increment) require_lvalue(left);
  if (op == tok::plus && class_of(right) == TypeKind::pointer)
    std::swap(left, right);
  if (!increment) {
    const OperatorRow& row = *binary_operator(op);
    if (is_right_identity(row, right)) return left;
    if (is_left_identity(row, left)) return right;
  }

  if (class_of(right) == TypeKind::pointer) {
    if (class_of(left) != TypeKind::pointer || op != tok::minus)
      report_error("operation illegal with pointer");
    types_compatible(left->type, right->type, true, true);
    const std::int64_t size = target_size(left->type);
    Node* difference = binary_node(tok::minus, left, right, type_int);
    if (size == 1) return difference;
    return scaled(tok::slash, difference, size);
  }
  if (class_of(left) == TypeKind::pointer) {
    require_integer(right);
    const std::int64_t size = target_size(left->type);
    if (size != 1) right = scaled(tok::star, right, size);
    return binary_node(op, left, right, left->type);
  }
  require_integer(left);
  require_integer(right);
  return fold_or_build(op, left, right, left->type);
}

Node* compare_assign_op(TokenCode op, Node* left, Node* right) {
  require_values(left, right);
  if (op == tok::assign) {
    require_lvalue(left);
    if (left->type->kind == TypeKind::struct_ && right->type->kind == TypeKind::struct_)
      return structure_copy(left, right);
  }

  bool matched = false;
  Type* result = left->type;
  const TypeKind left_kind = class_of(left);
  const TypeKind right_kind = class_of(right);
  if (is_aggregate_kind(left_kind) || left_kind == TypeKind::function)
    illegal_kind(left_kind);
  if (left->type->kind == TypeKind::spot) {
    matched = has_constant_value(right, 0);
  } else if (is_data_pointer(left->type)) {
    if (is_constant_equal(right, 0)) {
      right = null_pointer_node();
      matched = true;
    } else {
      matched = right == null_pointer_node();
    }
  }
  if (is_aggregate_kind(right_kind) || right_kind == TypeKind::function)
    illegal_kind(right_kind);
  if (!matched && right->type->kind == TypeKind::spot &&
      has_constant_value(left, 0)) {
    matched = true;
    result = right->type;
  } else if (!matched && is_data_pointer(right->type) &&
             is_constant_equal(left, 0)) {
    left = null_pointer_node();
    matched = true;
    result = right->type;
  }
  if (!matched) types_compatible(left->type, right->type, true, false);

  // "=" and ":" take the operands' type; a comparison gives an int.
  if (!is_comparison(op)) return binary_node(op, left, right, result);
  return fold_or_build(op, left, right, type_int);
}

Node* compound_assign_op(TokenCode op, Node* left, Node* right) {
  require_lvalue(left);
  require_value(right);
  require_integer(right);
  Type* result = type_int;
  const TypeKind left_kind = class_of(left);
  if (left_kind == TypeKind::pointer) {
    const OperatorRow* row = binary_operator(op);
    if (row == nullptr || row->rule != OperandRule::additive)
      report_error("operation illegal with pointer");
    const std::int64_t size = target_size(left->type);
    if (size != 1) right = scaled(tok::star, right, size);
    result = left->type;
  } else if (left_kind != TypeKind::int_) {
    illegal_kind(left_kind);
  }
  return new_node(operator_node(NodeClass::compound, op), left,
                  right, result);
}

Node* member_op(Node* n, Symbol* member_name) {
  require_value(n);
  if (!is_aggregate_kind(n->type->kind))
    report_error("not a structure/union");
  const MemberPlace place = find_member(n->type, member_name);
  if (place.member != nullptr) {
    if (compile_session != nullptr) session_note_member_use(place.member);
    Node* result = new_node(NodeOp::member, n, nullptr, place.member->type);
    result->member_offset = static_cast<std::int32_t>(place.offset);
    return result;
  }
  report_error("%s is not a member of this structure/union",
               member_name->name.c_str());
}

Node* cast_op(Type* target, Node* operand) {
  if (target->kind == TypeKind::pointer && target->count == 0 &&
      is_data_pointer(target) && is_constant_equal(operand, 0))
    return null_pointer_node();
  if (operand->type != nullptr) {
    if (arith_class(operand->type) == TypeKind::int_ && is_data_pointer(target))
      return new_node(NodeOp::int_to_pointer, operand, nullptr, target);
    if (is_data_pointer(operand->type) && arith_class(target) == TypeKind::int_)
      return new_node(NodeOp::pointer_to_int, operand, nullptr, target);
  }
  const auto words = [](const Type* t) { return (rounded_size(t) + 3) / 4; };
  if (words(operand->type) == words(target)) {
    if (operand == null_pointer_node()) return operand;
    return new_node(NodeOp::cast, operand, nullptr, target);
  }
  report_cast_failure(operand->type, target);
  return operand;
}

void check_passable(TypeKind type_kind) {
  if (is_aggregate_kind(type_kind) || type_kind == TypeKind::function)
    illegal_kind(type_kind);
}

void check_integer_kind(TypeKind type_kind) {
  if (type_kind != TypeKind::int_ && type_kind != TypeKind::char_ &&
      type_kind != TypeKind::short_ && type_kind != TypeKind::byte)
    illegal_kind(type_kind);
}

}  // namespace qxl
