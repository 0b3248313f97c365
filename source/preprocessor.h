// Source files, the include stack and directive lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "source/reader.h"

namespace qxl {

struct PreprocessorState {
  // Saved states of the including files, innermost last.
  std::vector<SourceFile> include_stack;
  // Path texts of every file an #include has entered.
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

bool in_main_source();

// Leaves the innermost included file and goes back to the including one.
void pop_include_frame();

// Reads every open input to its end and closes it, innermost first.
void drain_input();

}  // namespace qxl
