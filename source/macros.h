// Macros: #define and #undef, and their expansion as the lexer meets their
// names.
#pragma once

#include <string_view>

namespace qxl {

struct Symbol;

struct MacroState {
  int expansion_depth = 0;
  void reset();
};

extern MacroState macros;

// Whether the name has a macro definition visible at the current depth.
bool macro_is_defined(const Symbol* name);

// Called by the lexer for a word whose symbol has a macro definition: when
// the definition is visible, switches the reader to its replacement text
// and returns true.
bool expand_macro(Symbol* name);

// Called by the reader at the end of a macro's text: reading goes on where
// the expansion began.
void end_macro_expansion();

// A definition without parameters, as the driver's predefinitions and -d
// options make them.
void define_macro_text(std::string_view name, std::string_view body);

}  // namespace qxl
