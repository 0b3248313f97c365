#include "codegen/statements.h"

#include <string>

#include "codegen/code_buffer.h"
#include "codegen/constant_eval.h"
#include "codegen/expression_code.h"
#include "bytecode/instructions.h"
#include "driver/diagnostics.h"
#include "source/lexer.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/expressions.h"
#include "types/nodes.h"
#include "types/operands.h"
#include "types/types.h"

namespace qxl {

StatementState statements;

void StatementState::reset() {
  std::vector<std::string> kept = std::move(block_files);
  *this = StatementState{};
  block_files = std::move(kept);
}

namespace {

// Statements nest through blocks, conditions and loops; far deeper nesting
// than any real function is refused before it can exhaust the stack.
constexpr int max_statement_nesting = 1000;

// A block being compiled: its depth among the open ones, while it is open.
struct OpenBlock {
  OpenBlock() : depth(statements.open_blocks++) {
    if (statements.block_files.size() <= depth)
      statements.block_files.emplace_back();
  }
  ~OpenBlock() { --statements.open_blocks; }
  OpenBlock(const OpenBlock&) = delete;
  OpenBlock& operator=(const OpenBlock&) = delete;
  std::size_t depth;
};

NestingGuard statement_level() {
  return {statements.nesting, max_statement_nesting,
          "statements too deeply nested"};
}

// Statements and such that may not stand in the body of an on_exit.
bool restricted_in_on_exit(TokenCode t) {
  switch (t) {
    case tok::kw_save_var: case tok::kw_save_spot: case tok::kw_goto:
    case tok::kw_return: case tok::kw_break: case tok::kw_continue:
    case tok::kw_switch: case tok::kw_case: case tok::kw_default:
    case tok::kw_on_exit:
      return true;
    default:
      return false;
  }
}

// condition = "(" expression ")"
// The expression is taken as a truth value.
Node* parse_condition() {
  expect_token(tok::lparen);
  Node* c = parse_expression();
  expect_token(tok::rparen);
  if (c->type == nullptr) report_error("value required");
  check_passable(c->type->kind);
  return c;
}

// A condition read and compiled as a jump to `label` when it is false.
void jump_unless_condition(int label) {
  const NodeScope nodes;
  compile_condition(parse_condition(), -1, label);
}

// if_statement = "if" condition statement ("else" statement)?
void compile_if() {
  next_token();
  const int else_part = new_label();
  jump_unless_condition(else_part);
  compile_statement();
  if (lexer.current_token != tok::kw_else) {
    place_label(else_part);
    return;
  }
  next_token();
  const int end = new_label();
  emit(op::jump, Label{end});
  place_label(else_part);
  compile_statement();
  place_label(end);
}

// while_statement = "while" condition statement
void compile_while() {
  next_token();
  const int top = push_continue_label();
  place_label(top);
  emit_debug_record(false);
  const int end = push_break_label();
  jump_unless_condition(end);
  compile_statement();
  emit(op::jump, Label{top});
  place_label(end);
  pop_break_label();
  pop_continue_label();
}

// do_statement = "do" statement "while" condition ";"
void compile_do() {
  next_token();
  const int top = new_label();
  place_label(top);
  const int next = push_continue_label();
  const int end = push_break_label();
  compile_statement();
  place_label(next);
  expect_token(tok::kw_while);
  {
    const NodeScope nodes;
    compile_condition(parse_condition(), 1, top);
  }
  place_label(end);
  pop_break_label();
  pop_continue_label();
  expect_token(tok::semicolon);
}

// for_statement =
//     "for" "(" expression? ";" expression? ";" expression? ")" statement
void compile_for() {
  next_token();
  expect_token(tok::lparen);
  if (lexer.current_token != tok::semicolon) {
    const NodeScope nodes;
    compile_effect(parse_expression());
  }
  expect_token(tok::semicolon);
  const int top = new_label();
  place_label(top);
  const int end = push_break_label();
  const int next = push_continue_label();
  if (lexer.current_token != tok::semicolon) {
    const NodeScope nodes;
    Node* c = parse_expression();
    if (c->type == nullptr) report_error("value required");
    check_passable(c->type->kind);
    compile_condition(c, -1, end);
  }
  expect_token(tok::semicolon);
  // The step is compiled after the body: its tree outlives the body's,
  // whose scopes open and close above it.
  const NodeScope step_nodes;
  Node* step = nullptr;
  if (lexer.current_token != tok::rparen) step = parse_expression();
  expect_token(tok::rparen);
  compile_statement();
  place_label(next);
  if (step != nullptr) compile_effect(step);
  emit(op::jump, Label{top});
  place_label(end);
  pop_continue_label();
  pop_break_label();
}

// switch_statement = "switch" "(" expression ")" statement
void compile_switch() {
  next_token();
  expect_token(tok::lparen);
  {
    const NodeScope nodes;
    Node* v = parse_expression();
    expect_token(tok::rparen);
    if (v->type == nullptr) report_error("value required");
    check_integer_kind(v->type->kind);
    compile_value(v);
  }
  const int table = new_label();
  emit(op::jump, Label{table});
  open_switch();
  const int end = push_break_label();
  compile_statement();
  emit(op::jump, Label{end});
  place_label(table);
  close_switch();
  place_label(end);
  pop_break_label();
}

// jump = "return" expression? ";"
void compile_return() {
  next_token();
  Type* result = statements.return_type;
  if (lexer.current_token == tok::semicolon) {
    if (arith_class(result) != TypeKind::int_ ||
        statements.returned == return_state::with_value)
      report_warning("function must return a value");
    statements.returned = return_state::without_value;
    types_compatible(type_int, result, true, false);
    emit(op::return_);
  } else {
    if (statements.returned == return_state::without_value)
      report_warning("function doesn't return a value elsewhere");
    statements.returned = return_state::with_value;
    const NodeScope nodes;
    Node* e = parse_expression();
    if (type_size(result, false) > 4) {
      if (is_constant_equal(e, 0)) {
        emit(op::push_null);
      } else {
        types_compatible(e->type, result, true, false);
        compile_value(e);
      }
      emit(op::return_large);
    } else {
      types_compatible(e->type, result, true, false);
      compile_value(e);
      emit(op::return_value);
    }
  }
  expect_token(tok::semicolon);
}

// on_exit_statement = "on_exit" statement
void compile_on_exit() {
  next_token();
  const int end = new_label();
  emit(op::on_exit, Label{end});
  statements.in_on_exit = true;
  compile_statement();
  statements.in_on_exit = false;
  emit(op::end_handler);
  place_label(end);
}

// save_statement = ("save_var" | "save_spot") save_item ("," save_item)* ";"
// save_item = ident (assignment_operator assignment_expression | "++" | "--")?
// save_var / save_spot: each variable's value is saved with the code that
// puts it back; an assignment or increment may follow the name.
void compile_save(bool save_spot) {
  next_token();
  for (;;) {
    Symbol* name = symbols.current;
    const Declaration* d = lexer.current_token == tok::identifier
                               ? name->declaration
                               : nullptr;
    if (d == nullptr || (d->kind != DeclKind::global &&
                         d->kind != DeclKind::builtin_variable))
      report_error("expected global variable");
    const TypeKind k = d->type->kind;
    if (k == TypeKind::struct_ || k == TypeKind::union_ || k == TypeKind::function ||
        (save_spot && k == TypeKind::spot))
      illegal_operation(d->type);
    emit_debug_record(false);

    const std::int64_t words = (rounded_size(d->type) + 3) / 4;
    if (words > save_flags::words_mask) report_fatal("compiler limit exceeded");
    unsigned flags = static_cast<unsigned>(words);
    if (save_spot) flags |= save_flags::spot;
    if (d->storage == Storage::buffer) flags |= save_flags::buffer_specific;
    else if (d->storage == Storage::window) flags |= save_flags::window_specific;

    const NodeScope nodes;
    Node* variable = identifier_leaf(name);
    compile_value(variable);
    emit(op::save_var, flags, RestoreCode{[&] { compile_store(variable); }});

    next_token();
    if (lexer.current_token == tok::assign) {
      const TokenCode op = lexer.assign_op;
      next_token();
      Node* value = parse_assignment_expression();
      Node* target = identifier_leaf(name);
      compile_effect(op == 0 ? compare_assign_op(tok::assign, target, value)
                             : compound_assign_op(op, target, value));
    } else if (lexer.current_token == tok::plus_plus ||
               lexer.current_token == tok::minus_minus) {
      const TokenCode op = lexer.current_token;
      next_token();
      compile_effect(additive_op(op, identifier_leaf(name), new_folded(1)));
    }
    if (lexer.current_token != tok::comma) break;
    next_token();
  }
  expect_token(tok::semicolon);
}

// expression_statement = expression ";"
void compile_expression_statement() {
  {
    const NodeScope nodes;
    compile_effect(parse_expression());
  }
  expect_token(tok::semicolon);
}

// Inside the scope that parse_local_declarations opens for each
// initializer.
void compile_initializer(Node* assignment) { compile_effect(assignment); }

}  // namespace

// statement = local_declaration* (";" | block | labeled | jump | if_statement
//     | while_statement | do_statement | for_statement | switch_statement
//     | on_exit_statement | save_statement | expression_statement)
void compile_statement() {
  const NestingGuard guard = statement_level();
  TokenCode t = lexer.current_token;
  if (t != tok::kw_case && t != tok::kw_default && t != tok::semicolon &&
      t != tok::identifier && t != tok::kw_while)
    emit_debug_record(false);
  if (starts_local_declaration()) {
    parse_local_declarations(compile_initializer);
    // Declarations may close a block.
    if (lexer.current_token == tok::rbrace) return;
    t = lexer.current_token;
  }
  if (statements.in_on_exit && restricted_in_on_exit(t))
    report_error("%s is not allowed inside on_exit statement", token_name(t));

  switch (t) {
    case tok::semicolon: next_token(); return;
    case tok::lbrace: compile_block(); return;
    case tok::kw_if: compile_if(); return;
    case tok::kw_while: compile_while(); return;
    case tok::kw_do: compile_do(); return;
    case tok::kw_for: compile_for(); return;
    case tok::kw_switch: compile_switch(); return;
    // labeled = "case" constant_expression ":" statement
    case tok::kw_case: {
      next_token();
      {
        const NodeScope nodes;
        add_case(evaluate(parse_expression()));
      }
      expect_token(tok::colon);
      compile_statement();
      return;
    }
    // labeled = "default" ":" statement
    case tok::kw_default:
      next_token();
      expect_token(tok::colon);
      add_default();
      compile_statement();
      return;
    // jump = "break" ";"
    case tok::kw_break:
      next_token();
      emit_loop_jump(code.function.break_label);
      expect_token(tok::semicolon);
      return;
    // jump = "continue" ";"
    case tok::kw_continue:
      next_token();
      emit_loop_jump(code.function.continue_label);
      expect_token(tok::semicolon);
      return;
    // jump = "goto" ident ";"
    case tok::kw_goto:
      next_token();
      if (lexer.current_token != tok::identifier) report_error("bad label");
      emit(op::jump, Label{refer_to_label(symbols.current)});
      next_token();
      expect_token(tok::semicolon);
      return;
    case tok::kw_return: compile_return(); return;
    case tok::kw_on_exit: compile_on_exit(); return;
    case tok::kw_save_var: compile_save(false); return;
    case tok::kw_save_spot: compile_save(true); return;
    case tok::identifier: {
      // labeled = ident ":" statement; otherwise an expression statement.
      Symbol* name = symbols.current;
      if (statements.in_on_exit && name->name == "restore_vars")
        report_error("restore_vars is not allowed in on_exit statement");
      next_token();
      if (lexer.current_token == tok::colon) {
        if (statements.in_on_exit)
          report_error("label is not allowed in on_exit statement");
        define_label(name);
        next_token();
        compile_statement();
        return;
      }
      push_back_token(tok::identifier, name);
      emit_debug_record(false);
      compile_expression_statement();
      return;
    }
    default:
      compile_expression_statement();
  }
}

// block = "{" local_declaration* statement* "}"
void compile_block() {
  FunctionCode& function = code.function;
  const std::size_t keep = declarations.locals.size();
  const int saved_frame = function.frame_words;
  const OpenBlock block;
  statements.block_files[block.depth].assign(reader.file_name);
  const int start_line = reader.line_number;
  expect_token(tok::lbrace);
  parse_local_declarations(compile_initializer);
  while (lexer.current_token != tok::rbrace) {
    if (lexer.current_token == tok::end_of_input)
      report_error_at(statements.block_files[block.depth], start_line,
                      "unterminated block");
    compile_statement();
  }
  next_token();
  close_scope(keep, false);
  function.max_frame_words =
      std::max(function.max_frame_words, function.frame_words);
  function.frame_words = saved_frame;
}

void compile_function_body(Type* result) {
  statements.reset();
  statements.return_type = result;
  compile_block();
}

}  // namespace qxl
