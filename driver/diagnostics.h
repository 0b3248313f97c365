// Console output, warnings and errors.
//
// Everything the compiler prints goes through these routines: they choose
// the stream (standard error when the bytecode itself goes to standard
// output), prefix messages with the current file and line, count errors and
// end the compile.  There is no error recovery: an error runs the finish
// sequence and unwinds to the entry point.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#if defined(__GNUC__)
#define QXL_PRINTF(fmt_index, first_arg) \
  __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QXL_PRINTF(fmt_index, first_arg)
#endif

namespace qxl {

// Sizes of the text buffers the message routines format into, terminating
// zero included.  Longer texts are cut to fit.
inline constexpr std::size_t console_buffer_size = 1024;
inline constexpr std::size_t warning_buffer_size = 256;
inline constexpr std::size_t error_buffer_size = 1024;
inline constexpr std::size_t expected_buffer_size = 256;
inline constexpr std::size_t fatal_buffer_size = 256;

struct DiagnosticsState {
  int error_count = 0;
  // Non-zero while a line of -v progress marks is not yet ended.
  int pending_progress = 0;
  // File name of the last progress mark printed by the top-level loop.
  std::string progress_file;
  // When set, console text is appended here instead of being written to a
  // stream; lets tests run a compile in-process and read what it printed.
  // Not touched by reset().
  std::string* capture = nullptr;

  void reset();
};

extern DiagnosticsState diagnostics;

// Write text to the console stream as it is (no formatting, no cut).
void console_write(std::string_view text);
void console_print(const char* format, ...) QXL_PRINTF(1, 2);
void console_flush();

// Print "\n" when -v progress marks have left the console line open.
void end_pending_progress();

void print_location();
void report_warning(const char* format, ...) QXL_PRINTF(1, 2);
void report_at(std::string_view file_name, int line, std::string_view text);
[[noreturn]] void report_error(const char* format, ...) QXL_PRINTF(1, 2);

// One level of a recursive parse, counted in `depth`: past `limit` levels
// the compile stops with `message`, long before the recursion could
// exhaust the stack.  The count goes down again when the level ends, also
// when an error unwinds it.
struct NestingGuard {
  NestingGuard(int& counter, int limit, const char* message)
      : depth(counter) {
    if (depth >= limit) report_error("%s", message);
    ++depth;
  }
  ~NestingGuard() { --depth; }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
  int& depth;
};
[[noreturn]] void report_fatal(const char* format, ...) QXL_PRINTF(1, 2);
[[noreturn]] void report_error_at(std::string_view file_name, int line,
                                  std::string_view text);
// A syntax error naming the current token: "expected ;, not ...".
[[noreturn]] void report_expected(const char* format, ...) QXL_PRINTF(1, 2);

// Working memory of the given size, zero-filled.  A failed allocation is the
// fatal "out of memory"; callers never see a failure.
std::vector<unsigned char> allocate(std::size_t byte_count);

}  // namespace qxl
