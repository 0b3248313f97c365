// Macros: #define and #undef, and their expansion as the lexer meets their
// names.
//
// Expansion works on characters: the reader is switched to the macro's
// replacement text and the scanner simply goes on, so the replacement is
// rescanned and may expand further macros.  Arguments are not pasted into
// the text.  Each parameter name is bound, for the duration of the
// expansion, to its argument text as a definition of its own, tagged with
// the expansion depth it was made at; a binding is visible only at that
// depth, and reading it steps one level back out, to the level of the code
// that wrote the argument.  So arguments are bound lazily and every name
// sees the binding of the right call, however the calls nest.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qxl {

struct Symbol;

struct MacroDef {
  // The parameter-list text as written between the parentheses ("a, b");
  // none for a macro defined without parentheses, "" for one defined with
  // "()".  Checked only when the macro is used.
  std::optional<std::string> params;
  // The replacement text; for an argument binding, the argument text.
  std::string body;
  // 0 for a #define or a predefinition; for an argument binding, the
  // expansion depth at which it was bound.
  int depth = 0;
  // The definition this one hides on the same name (an older binding, or
  // the #define under a binding).
  MacroDef* hidden = nullptr;
};

// One active expansion: what the reader was doing when it began.
struct ExpansionFrame {
  int saved_pushed_char = 0;
  bool saved_reading_string = false;
  int saved_depth = 0;
  std::string_view saved_string_source;
  bool saved_end_is_eof = false;
  // The text being read.  A copy, so that a #define or #undef met while
  // the arguments were collected cannot pull it away.
  std::string body;
  // The argument bindings this expansion made, removed when it ends.
  std::vector<std::pair<Symbol*, MacroDef*>> bindings;
};

// Nested expansions allowed at once; a macro that uses itself, directly or
// through others, reaches it quickly.
inline constexpr std::size_t max_expansion_nesting = 1000;
// Expansions allowed for one use of a macro in the source, counting the
// macros its text uses in turn; stops macros whose text doubles at every
// level long before they would run for hours.
inline constexpr long default_expansion_budget = 100'000;
// Expansions allowed in the whole compile: a base plus a share for every
// byte of source read, far above what real programs use, so that many uses
// of such macros cannot add up to hours either.
inline constexpr long default_total_budget = 1'000'000;
inline constexpr long default_expansions_per_byte = 4;

struct MacroState {
  int expansion_depth = 0;
  // Active expansions, innermost last.  A deque, so that the texts of the
  // outer frames, which the reader keeps views into, never move.
  std::deque<ExpansionFrame> frames;
  long expansions = 0;  // for the current outermost use
  std::string outermost;  // the macro of that use
  long expansion_budget = default_expansion_budget;
  long total_expansions = 0;
  long total_budget = default_total_budget;
  long expansions_per_byte = default_expansions_per_byte;
  // Every definition record; released ones wait in free_records for reuse.
  std::vector<std::unique_ptr<MacroDef>> records;
  std::vector<MacroDef*> free_records;

  void reset();
};

extern MacroState macros;

// The definition of the name that is visible at the current expansion
// depth: a #define everywhere, a binding only at the depth it was made at.
MacroDef* find_visible_macro(const Symbol* name);

// Whether the name has a macro definition visible at the current depth
// (the defined(NAME) test of a condition).
bool macro_is_defined(const Symbol* name);

// Whether the name has any macro definition at all (the #ifdef test).
bool macro_has_definition(const Symbol* name);

// True while a macro's text is being read.
bool expansion_active();

// Called by the lexer for a word whose symbol has a macro definition: when
// a definition is visible, reads its arguments, switches the reader to its
// replacement text and returns true.
bool expand_macro(Symbol* name);

// Called by the reader at the end of a macro's text: reading goes on where
// the expansion began.
void end_macro_expansion();

// Enters a definition, replacing an older one on the name (with a warning
// when the two differ).
void define_macro(std::string_view name,
                  const std::optional<std::string>& params,
                  std::string_view body);

// A definition without parameters, as the driver's predefinitions and -d
// options make them.
void define_macro_text(std::string_view name, std::string_view body);

// The #define and #undef directives, given the text after the directive
// name.
void define_directive(std::string_view argument);
void undef_directive(std::string_view argument);

// Releases a definition and every definition it hides.
void release_macro_chain(MacroDef* definition);

// Takes the next parameter name from a parameter-list text and advances the
// cursor past it and its comma.  "bad argument name" errors on anything
// else.
std::string next_param_name(std::string_view& cursor);

// Reads the name of a defined(NAME) test, "(" already read, straight from
// the reader without expanding it, and looks it up.  Returns the name's
// token code, or -1 at the end of the input.
int read_defined_name();

// The defined(NAME) test with "(" already read: 1 when the name has a
// visible definition, 0 when not, -1 at the end of the input.
int read_defined_operand();

}  // namespace qxl
