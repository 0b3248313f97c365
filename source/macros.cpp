#include "source/macros.h"

#include "driver/diagnostics.h"
#include "driver/search_paths.h"
#include "driver/session.h"
#include "source/lexer.h"
#include "source/reader.h"
#include "source/symbols.h"

namespace qxl {

MacroState macros;

void MacroState::reset() { *this = MacroState{}; }

namespace {

// The version of the editor's header files this compiler goes with.
constexpr const char* header_version = "130";

bool is_word_char(int c) {
  return is_ascii_letter(c) || is_ascii_digit(c) || c == '_';
}

bool is_blank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

MacroDef* new_record() {
  if (!macros.free_records.empty()) {
    MacroDef* record = macros.free_records.back();
    macros.free_records.pop_back();
    return record;
  }
  macros.records.push_back(std::make_unique<MacroDef>());
  return macros.records.back().get();
}

void release_record(MacroDef* record) {
  record->params.reset();
  record->body = std::string();
  record->depth = 0;
  record->hidden = nullptr;
  macros.free_records.push_back(record);
}

// Takes one binding record out of its name's chain and releases it.  The
// record is always the newest on its name; it is searched for all the
// same, so that a chain changed behind the expansion's back is never
// released twice.
void remove_binding(Symbol* name, MacroDef* binding) {
  MacroDef** link = &name->macro;
  while (*link != nullptr && *link != binding) link = &(*link)->hidden;
  if (*link == nullptr) return;
  *link = binding->hidden;
  release_record(binding);
}

// quoted_run = quote ("\\" character | character)* quote
// Reads a quoted run inside an argument list, the opening quote read.
void skip_quoted_argument(int quote) {
  for (;;) {
    int c = read_char();
    if (c == end_of_input) report_error("unterminated macro argument list");
    if (c == quote) return;
    if (c == '\\' && read_char() == end_of_input)
      report_error("unterminated macro argument list");
  }
}

// macro_argument = (quoted_run | "(" nested_text ")" | character)*
// nested_text = (quoted_run | "(" nested_text ")" | character | ",")*
// Reads one argument into the token text up to the ',' or ')' that ends
// it; returns that character, which stays the text's last.
int read_argument() {
  reset_token_text();
  int nesting = 0;
  for (;;) {
    int c = read_char();
    switch (c) {
      case end_of_input:
        report_error("unterminated macro argument list");
      case '"':
      case '\'':
        skip_quoted_argument(c);
        break;
      case '(':
        ++nesting;
        break;
      case ')':
        if (nesting <= 0) return c;
        --nesting;
        break;
      case ',':
        if (nesting <= 0) return c;
        break;
      default:
        break;
    }
  }
}

using Arguments = std::vector<std::pair<std::string, std::string>>;

// macro_arguments = blank* "(" (macro_argument ("," macro_argument)*)? ")"
// Reads the argument list of a function-like macro whose name has just
// been scanned, pairing each argument text with its parameter name.
Arguments read_arguments(std::string_view params) {
  int c;
  do c = read_char();
  while (is_blank(c));
  if (c != '(') report_error("expected macro arguments");

  Arguments arguments;
  std::string_view cursor = params;
  c = read_char();
  if (c == ')') {
    if (!params.empty()) report_error("not enough arguments to macro");
    return arguments;
  }
  unread_char(c);
  if (params.empty()) report_error("too many arguments to macro");

  for (;;) {
    const int end = read_argument();
    reencode_token_text();
    std::string_view text = token_text();
    text.remove_suffix(1);  // the ',' or ')'
    std::string value(text);
    arguments.emplace_back(next_param_name(cursor), std::move(value));
    if (end == ')') {
      if (!cursor.empty()) report_error("not enough arguments to macro");
      return arguments;
    }
    if (cursor.empty()) report_error("too many arguments to macro");
  }
}

}  // namespace

MacroDef* find_visible_macro(const Symbol* name) {
  for (MacroDef* d = name->macro; d != nullptr; d = d->hidden)
    if (d->depth == 0 || d->depth == macros.expansion_depth) return d;
  return nullptr;
}

bool macro_is_defined(const Symbol* name) {
  return find_visible_macro(name) != nullptr;
}

bool macro_has_definition(const Symbol* name) {
  return name->macro != nullptr;
}

bool expansion_active() { return !macros.frames.empty(); }

// macro_use = macro_name macro_arguments?, the arguments when the macro
// was defined with a parameter list.
bool expand_macro(Symbol* name) {
  const MacroDef* definition = find_visible_macro(name);
  if (definition == nullptr) return false;
  // A use written in the source: not a binding, and read at the source's
  // own level (in the text of an argument, not of a macro).
  if (compile_session != nullptr && definition->depth == 0 &&
      macros.expansion_depth == 0)
    session_note_macro_use(name);
  if (macros.frames.size() >= max_expansion_nesting)
    report_error("macro %s nested more than %zu deep, does it use itself?",
                 name->name.c_str(), max_expansion_nesting);
  // The work is counted per use in the source text: a macro used at the
  // outermost level starts a new count, so a long program may expand any
  // number of macros while one use that never ends is stopped.
  if (macros.frames.empty()) {
    macros.expansions = 0;
    macros.outermost = name->name;
  }
  if (++macros.expansions > macros.expansion_budget)
    report_error("macro %s expands into more than %ld macros, does one use "
                 "itself?",
                 macros.outermost.c_str(), macros.expansion_budget);
  if (++macros.total_expansions >
      macros.total_budget +
          macros.expansions_per_byte * static_cast<long>(reader.bytes_read))
    report_error("more than %ld macro expansions in %llu bytes of source, "
                 "does a macro use itself?",
                 macros.total_expansions - 1,
                 static_cast<unsigned long long>(reader.bytes_read));

  // Copies: a directive met while the arguments are read from the file may
  // redefine or remove the macro.
  const bool is_binding = definition->depth != 0;
  const std::optional<std::string> params = definition->params;
  std::string body = definition->body;
  Symbol* const saved_current = symbols.current;

  Arguments arguments;
  if (params) arguments = read_arguments(*params);

  // The depth is taken only now: reading the arguments may have run past
  // the end of enclosing macro texts and ended their expansions.  A real
  // macro's text is read one level deeper, a binding's text at the level
  // of the code that wrote the argument.
  const int outer_depth = macros.expansion_depth;
  const int depth = is_binding ? outer_depth - 1 : outer_depth + 1;

  ExpansionFrame& frame = macros.frames.emplace_back();
  frame.saved_pushed_char = reader.pushed_char;
  frame.saved_reading_string = reader.reading_string;
  frame.saved_depth = outer_depth;
  frame.saved_string_source = reader.string_source;
  frame.saved_end_is_eof = reader.source_end_is_eof;
  frame.body = std::move(body);
  for (auto& [param, text] : arguments) {
    lookup_symbol(param, tok::identifier);
    Symbol* bound = symbols.current;
    MacroDef* binding = new_record();
    binding->body = std::move(text);
    binding->depth = depth;
    binding->hidden = bound->macro;
    bound->macro = binding;
    frame.bindings.emplace_back(bound, binding);
  }
  symbols.current = saved_current;

  macros.expansion_depth = depth;
  reader.pushed_char = no_pushed_char;
  reader.string_source = frame.body;
  reader.reading_string = true;
  reader.source_end_is_eof = false;
  return true;
}

void end_macro_expansion() {
  if (macros.frames.empty()) {
    // Not reachable by the reader's own rules; stop reading the string
    // rather than loop.
    reader.reading_string = false;
    return;
  }
  ExpansionFrame& frame = macros.frames.back();
  reader.pushed_char = frame.saved_pushed_char;
  reader.reading_string = frame.saved_reading_string;
  reader.string_source = frame.saved_string_source;
  reader.source_end_is_eof = frame.saved_end_is_eof;
  macros.expansion_depth = frame.saved_depth;
  for (auto it = frame.bindings.rbegin(); it != frame.bindings.rend(); ++it)
    remove_binding(it->first, it->second);
  macros.frames.pop_back();
}

void release_macro_chain(MacroDef* definition) {
  while (definition != nullptr) {
    MacroDef* hidden = definition->hidden;
    release_record(definition);
    definition = hidden;
  }
}

void define_macro(std::string_view name,
                  const std::optional<std::string>& params,
                  std::string_view body) {
  lookup_symbol(name, tok::identifier);
  Symbol* symbol = symbols.current;
  MacroDef* record = new_record();
  record->params = params;
  record->body = std::string(body);
  if (MacroDef* old = symbol->macro) {
    if (old->body != body || old->params != params)
      report_warning("redefinition of macro %s does not match previous "
                     "definition",
                     symbol->name.c_str());
    release_macro_chain(old);
  }
  symbol->macro = record;
}

void define_macro_text(std::string_view name, std::string_view body) {
  // A -d option such as -d=1 names no macro.
  if (name.empty()) report_error("bad preprocessor macro definition");
  define_macro(name, std::nullopt, body);
  if (compile_session != nullptr) session_note_predefined_macro(symbols.current);
}

// define_directive = "#define" macro_name ("(" parameters ")")? blank* body
// macro_name = (letter | digit | "_")+, with the "(" right after it; the
// parameters run to the first ")" and are checked when the macro is used.
void define_directive(std::string_view argument) {
  std::size_t at = 0;
  while (at < argument.size() && is_word_char(argument[at])) ++at;
  const std::string_view name = argument.substr(0, at);

  std::optional<std::string> params;
  if (at < argument.size() && argument[at] == '(') {
    const std::size_t open = at;
    if (open + 1 >= argument.size())
      report_error("bad preprocessor macro definition");
    const char first = argument[open + 1];
    if (first != ')' && !is_word_char(first))
      report_error("illegal macro argument");
    // The list must close on the directive's own line.
    const std::size_t close = argument.find(')', open + 1);
    if (close == std::string_view::npos)
      report_error("bad preprocessor macro definition");
    params = std::string(argument.substr(open + 1, close - open - 1));
    at = close + 1;
  }
  while (at < argument.size() && is_blank(argument[at])) ++at;
  const std::string_view body = argument.substr(at);

  if (name == "QXLVERSION" && body != header_version)
    report_error("QXLVERSION %s doesn't match %s, old .h file included?",
                 std::string(body).c_str(), header_version);
  if (name.empty()) report_error("bad preprocessor macro definition");
  define_macro(name, params, body);
}

// undef_directive = "#undef" name, the whole argument being the name
// An empty name is looked up like any other, and the table notes it.
void undef_directive(std::string_view argument) {
  lookup_symbol(argument, tok::identifier);
  Symbol* symbol = symbols.current;
  release_macro_chain(symbol->macro);
  symbol->macro = nullptr;
}

// parameters = parameter_name ("," parameter_name)*
// parameter_name = blank* (letter | "_") (letter | digit | "_")* blank*
std::string next_param_name(std::string_view& cursor) {
  while (!cursor.empty() && is_blank(cursor.front())) cursor.remove_prefix(1);
  if (cursor.empty() ||
      !(is_ascii_letter(cursor.front()) || cursor.front() == '_'))
    report_error("bad argument name");
  std::size_t length = 0;
  while (length < cursor.size() && is_word_char(cursor[length])) ++length;
  std::string name(cursor.substr(0, length));
  cursor.remove_prefix(length);
  while (!cursor.empty() && is_blank(cursor.front())) cursor.remove_prefix(1);
  if (cursor.empty()) return name;
  if (cursor.front() != ',')
    report_error("bad argument name at %s", std::string(cursor).c_str());
  cursor.remove_prefix(1);
  return name;
}

// defined_name = blank* (letter | "_") (letter | digit | "_")*
int read_defined_name() {
  int c;
  do {
    reset_token_text();
    c = read_char();
  } while (c == '\t' || c == '\n' || c == '\f' || c == ' ' || c == 26);
  if (c == end_of_input) return end_of_input;
  if (!is_ascii_letter(c) && c != '_') report_error("bad defined() syntax");
  // The name is read character by character, so it is never expanded.
  while (is_word_char(peek_char())) read_char();
  return lookup_symbol(token_text(), tok::identifier);
}

int read_defined_operand() {
  if (read_defined_name() == end_of_input) return end_of_input;
  return macro_is_defined(symbols.current) ? 1 : 0;
}

}  // namespace qxl
