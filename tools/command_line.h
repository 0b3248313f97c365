// What the programs beside the compiler share on their command line: the
// whole of an output written to standard output with its errors checked,
// and the report of a wrong command line.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace qxl {

// Writes `text` to standard output.  A failed write is reported as
// "PROGRAM: cannot write to standard output: REASON" and makes the exit
// status 1; else it is 0.
inline int write_standard_output(std::string_view program,
                                 std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
      std::fflush(stdout) == 0)
    return 0;
  std::fprintf(stderr, "%.*s: cannot write to standard output: %s\n",
               static_cast<int>(program.size()), program.data(),
               std::strerror(errno));
  return 1;
}

// Reports a wrong command line, "PROGRAM: MESSAGE" and then the usage text,
// on standard error, and returns the exit status for it.
inline int usage_error(std::string_view program, std::string_view message,
                       std::string_view usage, int status) {
  std::fprintf(stderr, "%.*s: %.*s\n%.*s", static_cast<int>(program.size()),
               program.data(), static_cast<int>(message.size()),
               message.data(), static_cast<int>(usage.size()), usage.data());
  return status;
}

}  // namespace qxl
