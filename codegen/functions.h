// The top-level loop: reads the declarations of the source file.
#pragma once

namespace qxl {

// Compiles top-level declarations until the end of the input.
void compile_unit();

}  // namespace qxl
