// Statements: parsed and compiled one at a time into the code buffer.
#pragma once

namespace qxl {

struct Type;

namespace return_state {
inline constexpr int none_yet = 0;
inline constexpr int without_value = 1;
inline constexpr int with_value = 2;
}  // namespace return_state

struct StatementState {
  bool in_on_exit = false;
  int nesting = 0;  // statements being compiled inside each other
  int returned = return_state::none_yet;
  Type* return_type = nullptr;
  void reset();
};

extern StatementState statements;

void compile_statement();
// "{", its declarations and statements, "}"; the block's locals go out of
// scope at its end.
void compile_block();

}  // namespace qxl
