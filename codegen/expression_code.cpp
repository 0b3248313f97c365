#include "codegen/expression_code.h"

#include <string>
#include <vector>

#include "bytecode/writer.h"
#include "codegen/code_buffer.h"
#include "codegen/constant_eval.h"
#include "codegen/functions.h"
#include "bytecode/instructions.h"
#include "driver/diagnostics.h"
#include "source/constants.h"
#include "source/symbols.h"
#include "types/builtins.h"
#include "types/declarations.h"
#include "types/nodes.h"
#include "types/operators.h"
#include "types/types.h"

namespace qxl {

namespace {

// Built-in variables with load and store instructions of their own.
struct OwnInstructions {
  std::string_view name;
  Opcode load;
  Opcode store;  // op::none: the general store
};
constexpr OwnInstructions own_instructions[] = {
    {"point", op::load_point, op::store_point},
    {"iter", op::load_iter, op::store_iter},
    {"key", op::load_key, op::store_key},
    {"key_type", op::load_key_type, op::none},
    {"cmd_len", op::load_cmd_len, op::none},
    {"ungot_key", op::load_ungot_key, op::none},
};

const OwnInstructions* own_instructions_of(const Symbol* s) {
  for (const auto& row : own_instructions)
    if (row.name == s->name) return &row;
  return nullptr;
}

constexpr int max_call_words = 127;

Declaration* declaration_of(const Node* n) { return n->symbol->declaration; }

std::int64_t size_of(const Type* t) { return type_size(t, false); }

bool is_large(const Type* t) { return size_of(t) > 4; }

void emit_reference(Opcode opcode, Symbol* s) {
  emit(opcode, Reference{reference_name_of(s), true});
}

// Reading a frame variable: warn once when it may not have been set.
void note_read(Declaration* d) {
  if ((d->usage & (decl_flag::set | decl_flag::warned)) == 0) {
    report_warning("possible use of %s before definition",
                   d->symbol->name.c_str());
    d->usage |= decl_flag::warned;
  }
  d->usage |= decl_flag::used;
}

void emit_instructions(const OperatorRow& row) {
  for (const Opcode instruction : row.code)
    if (instruction != op::none) emit(instruction);
}

// The instructions of a binary operator, whose operands are on the stack.
void emit_operator(TokenCode code) {
  const OperatorRow* row = computed_operator(code);
  if (row == nullptr) report_error("internal error: bad expression code");
  emit_instructions(*row);
}

void emit_default_begin(const Node* n) {
  if (n->default_value) emit(op::default_begin);
}
void emit_default_end(const Node* n) {
  if (n->default_value) emit(op::default_end);
}

// The address of a structure plus a member's offset.
void emit_member_address(Node* member) {
  compile_address(member->left);
  if (member->member_offset != 0) {
    emit_constant(member->member_offset);
    emit(op::add);
  }
}

void value_of_identifier(Node* n) {
  Declaration* d = declaration_of(n);
  switch (d->kind) {
    case DeclKind::builtin_function:
      report_error("no pointers to built-in functions");
    case DeclKind::function:
      emit_reference(op::push_function, n->symbol);
      return;
    case DeclKind::none:
    case DeclKind::builtin_variable:
    case DeclKind::global:
    case DeclKind::local:
    case DeclKind::parameter_named:
    case DeclKind::parameter_typed:
    case DeclKind::type_name:
      break;
  }
  if (is_array(d->type)) {
    emit_default_begin(n);
    compile_address(n);
    emit_default_end(n);
    return;
  }
  if (d->kind == DeclKind::builtin_variable) {
    if (const OwnInstructions* own = own_instructions_of(n->symbol)) {
      emit(own->load);
      return;
    }
    emit(op::load_builtin, static_cast<unsigned>(d->builtin_number) & 0xFF);
    return;
  }
  if (is_frame_variable(d)) {
    note_read(d);
    emit_load_local(d->frame_offset, d->type);
    return;
  }
  emit_default_begin(n);
  if (size_of(d->type) == 2) {
    emit_reference(op::load_global_2, n->symbol);
  } else {
    emit_reference(op::global_ref, n->symbol);
    emit_load(size_of(d->type));
  }
  emit_default_end(n);
}

// The pool offset of a string constant expression.  A single literal's is
// found once for its text and kept; a chain of adjacent ones is decoded at
// each use.
std::uint32_t string_pool_offset(const Node* n) {
  if (n->op != NodeOp::string_const || n->symbol == nullptr) {
    decode_string_expression(n, code.string_characters);
    return add_string_entry(code.string_characters);
  }
  if (const SymbolFacts& known = facts_of(n->symbol); known.has_pool_offset)
    return known.pool_offset;
  decode_string_expression(n, code.string_characters);
  const std::uint32_t offset = add_string_entry(code.string_characters);
  SymbolFacts& facts = facts_of(n->symbol);
  facts.pool_offset = offset;
  facts.has_pool_offset = true;
  return offset;
}

void value_of_leaf(Node* n) {
  switch (n->op) {
    case NodeOp::identifier:
      value_of_identifier(n);
      return;
    case NodeOp::string_const:
    case NodeOp::string_concat:
      emit(op::push_string, string_pool_offset(n));
      return;
    case NodeOp::char_const:
    case NodeOp::int_const:
    case NodeOp::folded:
      emit_constant(evaluate(n));
      return;
    case NodeOp::null_pointer:
      emit(op::push_null);
      return;
    case NodeOp::color_class:
      emit(op::push_color_class, InPlaceName{n->symbol->name});
      return;
    default:
      report_error("internal error: bad expression code");
  }
}

void value_of_unary(Node* n) {
  switch (n->op) {
    case NodeOp::spot_content:
      compile_value(n->left);
      emit(op::load_spot);
      return;
    case NodeOp::dereference:
      compile_value(n->left);
      if (!is_array(n->type)) {
        emit(op::deref);
        emit_load(size_of(n->type));
      }
      return;
    case NodeOp::negate:
    case NodeOp::complement:
    case NodeOp::logical_not:
      compile_value(n->left);
      // "~" takes all ones as its other operand; "!" tests a pointer as
      // an integer.
      if (n->op == NodeOp::complement) emit_constant(-1);
      if (n->op == NodeOp::logical_not && is_large(n->left->type))
        emit(op::ptr_to_int);
      emit_instructions(*prefix_operator(node_code(n)));
      return;
    case NodeOp::address_of:
      compile_address(n->left);
      return;
    case NodeOp::cast:
      compile_value(n->left);
      return;
    case NodeOp::int_to_pointer:
      compile_value(n->left);
      emit(op::int_to_ptr);
      return;
    case NodeOp::pointer_to_int:
      compile_value(n->left);
      emit(op::ptr_to_int);
      return;
    case NodeOp::member:
      emit_member_address(n);
      if (!is_array(n->type)) {
        emit(op::deref);
        emit_load(size_of(n->type));
      }
      return;
    default:
      return;
  }
}

// The in-place increment of a frame variable of one word or of a small
// built-in variable by a small constant.  Returns false when it does not
// apply.
bool try_increment_in_place(Node* n, std::uint8_t mode) {
  const TokenCode code = node_code(n);
  bool subtract;
  if (n->op == NodeOp::post_increment || code == tok::plus) subtract = false;
  else if (n->op == NodeOp::post_decrement || code == tok::minus) subtract = true;
  else return false;
  Node* target = n->left;
  if (target->op != NodeOp::identifier || !is_small_constant(n->right))
    return false;
  Declaration* d = declaration_of(target);
  const bool frame = is_frame_variable(d) && size_of(d->type) == 4 &&
                     d->frame_offset >= -128 && d->frame_offset <= 127;
  const bool builtin = d->kind == DeclKind::builtin_variable &&
                       size_of(d->type) <= 4 && d->builtin_number <= 127;
  if (!frame && !builtin) return false;
  if (frame) d->usage |= decl_flag::used | decl_flag::set;
  const std::int32_t step = evaluate(n->right);
  emit(frame ? op::inc_local : op::inc_builtin, subtract ? -step : step, mode,
       frame ? d->frame_offset : d->builtin_number);
  return true;
}

// x++ / x-- and x op= y without the in-place form; the value left on the
// stack (when wanted) is the old one for postfix, the new one otherwise.
void compute_and_store(Node* n, bool value_wanted) {
  const bool postfix =
      n->op == NodeOp::post_increment || n->op == NodeOp::post_decrement;
  // Compiling a tree leaves it as it was, so the target is compiled twice:
  // read here, written below.
  compile_value(n->left);
  if (postfix) {
    if (value_wanted) emit_dup(n->type);
    compile_value(n->right);
    emit(n->op == NodeOp::post_increment ? op::add : op::sub);
  } else {
    compile_value(n->right);
    emit_operator(node_code(n));
    if (value_wanted) emit_dup(n->type);
  }
  compile_store(n->left);
}

// The update of ++, -- or op=, in place where it can be.  `mode` says
// which value is wanted: none, the one before or the one after.
void compile_update(Node* n, std::uint8_t mode) {
  if (!try_increment_in_place(n, mode))
    compute_and_store(n, mode != inc_mode::no_value);
}

void value_of_binary(Node* n) {
  const TokenCode code = node_code(n);
  if (short_circuit_sense(code) != 0) {
    emit(op::push_zero);
    const int end = new_label();
    compile_condition(n, -1, end);
    emit(op::pop);
    emit_constant(1);
    place_label(end);
    return;
  }
  switch (n->op) {
    case NodeOp::assign:
      compile_value(n->right);
      emit_dup(n->type);
      compile_store(n->left);
      return;
    case NodeOp::comma:
      compile_effect(n->left);
      compile_value(n->right);
      return;
    case NodeOp::conditional:
      compile_conditional(n, true);
      return;
    case NodeOp::call:
      compile_call(n, true);
      return;
    case NodeOp::string_concat:
      value_of_leaf(n);
      return;
    case NodeOp::post_increment:
    case NodeOp::post_decrement:
      compile_update(n, inc_mode::value_before);
      return;
    default:
      break;
  }
  const OperatorRow* row = computed_operator(code);
  if (row == nullptr) report_error("internal error: bad expression code");
  // a + b * k with a small constant k: the scaled add.
  Node* right = n->right;
  if (code == tok::plus && right->op == operator_node(NodeClass::binary, tok::star) &&
      is_small_constant(right->right)) {
    compile_value(n->left);
    compile_value(right->left);
    emit(op::add_scaled, evaluate(right->right));
    return;
  }
  compile_value(n->left);
  compile_value(right);
  if (takes_pointer_pair(*row) && is_data_pointer(right->type))
    emit(op::ptr_operands);
  emit_instructions(*row);
}

// The words an argument takes on the stack.
int argument_words(const Node* argument) {
  const Type* t = argument->type;
  if (is_array(t))
    return t->sub != nullptr && t->sub->kind == TypeKind::function ? 1 : 3;
  return static_cast<int>((size_of(t) + 3) / 4);
}


}  // namespace

void compile_value(Node* n) {
  switch (node_class_of(n)) {
    case NodeClass::leaf:
      value_of_leaf(n);
      return;
    case NodeClass::unary:
      value_of_unary(n);
      return;
    case NodeClass::binary:
      value_of_binary(n);
      return;
    case NodeClass::compound:
      compile_update(n, inc_mode::value_after);
      return;
  }
}

void compile_effect(Node* n) {
  switch (node_class_of(n)) {
    case NodeClass::leaf:
      return;
    case NodeClass::unary:
      compile_effect(n->left);
      return;
    case NodeClass::compound:
      compile_update(n, inc_mode::no_value);
      return;
    case NodeClass::binary:
      break;
  }
  const TokenCode code = node_code(n);
  switch (n->op) {
    case NodeOp::call:
      compile_call(n, false);
      return;
    case NodeOp::assign:
      compile_value(n->right);
      compile_store(n->left);
      return;
    case NodeOp::conditional:
      compile_conditional(n, false);
      return;
    case NodeOp::post_increment:
    case NodeOp::post_decrement:
      compile_update(n, inc_mode::no_value);
      return;
    case NodeOp::comma:
      compile_effect(n->left);
      compile_effect(n->right);
      return;
    default:
      break;
  }
  if (short_circuit_sense(code) != 0) {
    compile_condition(n, 0, 0);
    return;
  }
  if (computed_operator(code) != nullptr) {
    compile_effect(n->left);
    compile_effect(n->right);
    return;
  }
  compile_value(n);
  emit_pop(n->type);
}

void compile_condition(Node* n, int sense, int label) {
  const int own = node_class_of(n) == NodeClass::binary
                      ? short_circuit_sense(node_code(n))
                      : 0;
  if (own != 0) {
    if (sense == own) {
      compile_condition(n->left, sense, label);
      compile_condition(n->right, sense, label);
      return;
    }
    const int skip = new_label();
    compile_condition(n->left, own, skip);
    compile_condition(n->right, sense, label);
    place_label(skip);
    return;
  }
  if (sense == 0) {
    compile_effect(n);
    return;
  }
  while (n->op == NodeOp::logical_not) {
    n = n->left;
    sense = -sense;
  }
  if (is_constant_leaf(n)) {
    if ((evaluate(n) != 0) == (sense > 0)) emit(op::jump, Label{label});
    return;
  }
  if (n->op == operator_node(NodeClass::binary, tok::not_equal) ||
      n->op == operator_node(NodeClass::binary, tok::equal_equal)) {
    const int test = n->op == operator_node(NodeClass::binary, tok::not_equal) ? -sense
                                                                      : sense;
    if (!is_data_pointer(n->right->type)) {
      Node* value = nullptr;
      Node* constant = nullptr;
      if (is_small_constant(n->right)) {
        value = n->left;
        constant = n->right;
      } else if (is_small_constant(n->left)) {
        value = n->right;
        constant = n->left;
      }
      if (value != nullptr) {
        compile_value(value);
        emit(test > 0 ? op::jump_if_eq_const : op::jump_if_ne_const,
             evaluate(constant), Label{label});
        return;
      }
    }
  }
  compile_value(n);
  if (is_large(n->type)) emit(op::ptr_to_int);
  emit(sense > 0 ? op::jump_if_true : op::jump_if_false, Label{label});
}

void compile_conditional(Node* n, bool value_wanted) {
  const int else_label = new_label();
  const int end = new_label();
  compile_condition(n->left, -1, else_label);
  Node* branches = n->right;
  if (value_wanted) compile_value(branches->left);
  else compile_effect(branches->left);
  emit(op::jump, Label{end});
  place_label(else_label);
  if (value_wanted) compile_value(branches->right);
  else compile_effect(branches->right);
  place_label(end);
}

void compile_address(Node* n) {
  if (n->op == NodeOp::dereference) {
    compile_value(n->left);
    return;
  }
  if (n->op == NodeOp::member) {
    emit_member_address(n);
    return;
  }
  if (n->op != NodeOp::identifier) report_error("can't compute address");
  Declaration* d = declaration_of(n);
  if (d->kind == DeclKind::global) {
    emit_reference(op::addr_global, n->symbol);
    return;
  }
  const bool frame = is_frame_variable(d);
  if (!frame && d->kind != DeclKind::builtin_variable)
    report_error("can't compute address");
  if (frame) d->usage |= decl_flag::used | decl_flag::set;
  // A built-in variable's number takes the place of the frame offset.
  emit_local_address(frame ? d->frame_offset : d->builtin_number,
                     size_of(d->type), frame);
}

void compile_store(Node* n) {
  switch (n->op) {
    case NodeOp::spot_content:
      compile_value(n->left);
      emit(op::store_spot);
      return;
    case NodeOp::dereference:
      compile_value(n->left);
      emit(op::deref);
      emit_store(size_of(n->type));
      return;
    case NodeOp::member:
      emit_member_address(n);
      emit(op::deref);
      emit_store(size_of(n->type));
      return;
    case NodeOp::identifier:
      break;
    default:
      report_error("left side too complex");
  }
  Declaration* d = declaration_of(n);
  if (d->kind == DeclKind::global) {
    emit_default_begin(n);
    if (size_of(d->type) == 2) {
      emit_reference(op::store_global_2, n->symbol);
    } else {
      emit_reference(op::global_ref, n->symbol);
      emit_store(size_of(d->type));
    }
    emit_default_end(n);
    return;
  }
  if (d->kind == DeclKind::builtin_variable) {
    const OwnInstructions* own = own_instructions_of(n->symbol);
    if (own != nullptr && own->store != op::none) {
      emit(own->store);
      return;
    }
    emit(op::store_builtin, static_cast<unsigned>(d->builtin_number) & 0xFF);
    return;
  }
  if (!is_frame_variable(d)) report_error("left side too complex");
  d->usage |= decl_flag::set;
  emit_store_local(d->frame_offset, d->type);
}

void compile_call(Node* call, bool value_wanted) {
  // The arguments go on the shared argument stack, where the calls among
  // them add theirs above; they are read by position, since those pushes
  // may move the stack.
  std::vector<Node*>& stack = node_pool.argument_stack;
  const std::size_t base = stack.size();
  append_argument_list(call->right, stack);
  const std::size_t end = stack.size();
  int words = 0;
  for (std::size_t i = base; i < end; ++i) words += argument_words(stack[i]);
  if (words > max_call_words) report_fatal("compiler limit exceeded");
  const std::uint8_t call_byte_value = call_byte(words, value_wanted);
  auto push_arguments = [&] {
    for (std::size_t i = end; i-- > base;) compile_value(stack[i]);
    stack.resize(base);
  };

  Node* callee = call->left;
  if (callee->op == NodeOp::dereference) {
    push_arguments();
    compile_value(callee->left);
    emit(op::call_indirect, call_byte_value);
    return;
  }
  const Declaration* d = declaration_of(callee);
  check_arguments(callee->symbol->name, d,
                  std::span<Node* const>(stack.data() + base, end - base));
  if (d->kind == DeclKind::builtin_function) {
    const int max_words = d->max_words;
    const int min_words = d->min_words;
    const bool variadic = max_words == -1;
    if (value_wanted && d->type == nullptr)
      report_error("function returns no value");
    if (!variadic && (words < min_words || words > max_words))
      report_error("wrong number (or type) of arguments");
    if (!variadic)
      for (int pad = words; pad < max_words; ++pad) emit(op::push_zero);
    push_arguments();
    if (variadic) {
      emit_variadic_primitive_call(d->primitive, call_byte_value);
    } else {
      emit_primitive_call(d->primitive);
      if (!value_wanted && d->type != nullptr) emit_pop(d->type);
    }
    return;
  }
  push_arguments();
  emit(op::call, Reference{reference_name_of(callee->symbol), true},
       call_byte_value);
}

void compile_effect_and_release(Node* n) {
  compile_effect(n);
  release_tree(n);
}

}  // namespace qxl
