#include "source/macros.h"

#include "source/reader.h"
#include "source/symbols.h"

namespace qxl {

MacroState macros;

void MacroState::reset() { *this = MacroState{}; }

bool macro_is_defined(const Symbol* name) { return name->macro != nullptr; }

bool expand_macro(Symbol*) { return false; }

void end_macro_expansion() { reader.reading_string = false; }

void define_macro_text(std::string_view, std::string_view) {}

}  // namespace qxl
