// The run of one compile, from the option words to the exit status.
#pragma once

#include <string>
#include <vector>

namespace qxl {

// Macros every compile defines, each with the body "(1)", before the -d
// definitions.
inline constexpr const char* predefined_macro_names[] = {"_QXL_", "UNICODE",
                                                      "BUNICODE"};

// Thrown by exit_with_status and caught only by run_qxl: the one way a
// compile ends.
struct CompileExit {
  int status;
};

// Runs one compile.  `args` are the program's arguments with the program
// name first.  Returns the exit status (0 or 1).  Every module's state is
// reset first, so several compiles may run in one process.
int run_qxl(const std::vector<std::string>& args);

// Resets the state of every module, as at the start of a compile.
void reset_compiler_state();

[[noreturn]] void exit_with_status(int status);

// When set (by the command-line program, which leaves without taking its
// tables apart anyway), exit_with_status ends the process itself, after
// flushing its output, instead of unwinding to run_qxl.  A compile run in
// a process that goes on (a test, the language server) leaves it unset.
void set_leave_process_at_exit(bool leave);

// Completes (or, after an error, abandons) the output and ends the run.
[[noreturn]] void finish_compile();

}  // namespace qxl
