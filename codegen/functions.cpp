#include "codegen/functions.h"

#include "source/lexer.h"

namespace qxl {

// Declarations are not compiled yet: the loop takes the token stream to its
// end, so that every rule of the lexer runs on a whole source file.
void compile_unit() {
  while (lexer.current_token != tok::end_of_input) next_token();
}

}  // namespace qxl
