// Statements: parsed and compiled one at a time into the code buffer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qxl {

struct Type;

namespace return_state {
inline constexpr int none_yet = 0;
inline constexpr int without_value = 1;
inline constexpr int with_value = 2;
}  // namespace return_state

// The statements of the function being compiled: all of it lives for one
// function and is made anew when its body starts.
struct StatementState {
  bool in_on_exit = false;
  int nesting = 0;  // statements being compiled inside each other
  int returned = return_state::none_yet;
  Type* return_type = nullptr;
  // The file each open block began in, by depth, for "unterminated
  // block"; the strings keep their storage from block to block and from
  // function to function.
  std::vector<std::string> block_files;
  std::size_t open_blocks = 0;
  void reset();
};

extern StatementState statements;

void compile_statement();
// "{", its declarations and statements, "}"; the block's locals go out of
// scope at its end.
void compile_block();
// The body of a function whose result has type `result` (nullptr for
// none), with a new StatementState.
void compile_function_body(Type* result);

}  // namespace qxl
