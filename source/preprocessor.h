// Source files, the include stack and directive lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "source/reader.h"

namespace qxl {

// Included files open at once (each level holds its file open); a header
// that includes itself under ever new path texts stops here.
inline constexpr std::size_t max_include_nesting = 200;

struct PreprocessorState {
  // Saved states of the including files, innermost last.
  std::vector<SourceFile> include_stack;
  // Path texts of every file an #include or #tryinclude has entered; a
  // path text in it is not entered again.
  std::vector<std::string> included_files;
  // Set while a #if or #elif condition is parsed: `defined(NAME)` is then
  // the macro test.
  bool parsing_condition = false;

  void reset();
};

extern PreprocessorState preprocessor;

// Opens the main source (standard input in filter mode) and starts it.
// Prints "%s: can't open %s" and ends the run with status 1 on failure.
void open_main_source(std::string_view name);

// Makes the opened file the current file: name, line 1, byte-order mark.
// A mode of 0 or less means standard input.
void start_source(std::string_view name, int mode);

// Reads the rest of a directive line (the '#' in column 1 has been read)
// and executes it.
void process_directive();

// The #include (try false) and #tryinclude (try true) directives, given
// the text after the directive name: "name" or <name>.
void include_file(std::string_view argument, bool try_only);

// The path an #include tries for `name` in `directory`: a leading double
// quote of either is skipped, and a '/' goes between them when the
// directory is not empty and does not end in one.
std::string join_include_path(std::string_view directory,
                              std::string_view name);

// Skips raw lines of the current file after a false condition, up to the
// matching #endif or (with allow_else) #else or true #elif.
void skip_conditional(bool allow_else);

// The value of a #if or #elif condition.
int evaluate_condition(std::string_view text);

// The #line directive, given the text after the directive name.
void line_directive(std::string_view argument);

bool in_main_source();

// Leaves the innermost included file and goes back to the including one.
void pop_include_frame();

// Reads every open input to its end and closes it, innermost first.
void drain_input();

}  // namespace qxl
