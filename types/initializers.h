// Initial values of global variables: the image of bytes that follows the
// variable record's header.
#pragma once

#include "bytecode/format.h"

namespace qxl {

struct Type;

// Reads one initializer for a value of type `t` from the current token on
// and appends its image.  `top` is true for a declared variable's own
// initializer.  An array declared without a size gets its count here.
void initialize(ByteBuffer& image, Type* t, bool top);

// A scalar initializer, wrapped in any number of braces.
void initialize_scalar(ByteBuffer& image, Type* t);

}  // namespace qxl
