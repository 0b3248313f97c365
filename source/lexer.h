// The scanner and the token stream the parser pulls from.
#pragma once

#include <cstdint>
#include <string_view>

#include "source/symbols.h"
#include "source/tokens.h"

namespace qxl {

struct LexerState {
  TokenCode current_token = tok::end_of_input;
  // For '=': 0 for a plain assignment, else the operator of a compound
  // assignment ("<<=" is '=' with assign_op "<<").
  TokenCode assign_op = 0;
  // One token put aside by push_back_token; end_of_input means empty.
  TokenCode held_token = tok::end_of_input;
  Symbol* held_symbol = nullptr;
  // Progress through "defined ( NAME" while a condition is parsed, so that
  // NAME is read without being expanded.
  enum class DefinedTest { none, after_defined, name_next };
  DefinedTest defined_test = DefinedTest::none;
  // Characters that start no token, skipped with a message each.
  int illegal_characters = 0;

  void reset();
};

extern LexerState lexer;

// Past this many illegal characters the input is not a program (a binary
// file, a device that never ends) and the compile stops.
inline constexpr int max_illegal_characters = 1000;

// Longest constant or directive line after conversion to UTF-8.
inline constexpr std::size_t converted_text_limit = 1998;

TokenCode scan_token();
void next_token();
void push_back_token(TokenCode code, Symbol* symbol);
void expect_token(TokenCode code);

// Converts the token text from Latin-1 to UTF-8, unless the source is
// already UTF-8 or a macro's text is being read.
void reencode_token_text();

// Value of an integer constant's text in 32-bit wrapping arithmetic.
std::uint32_t integer_constant_value(std::string_view text);

}  // namespace qxl
