// qxl-lsp: the language server for QXL sources.  It speaks the Language
// Server Protocol on standard input and output and runs the compiler
// in-process on the editor's unsaved text.
//
//   qxl-lsp [--help | --version]
//
// Exit status: 0 after a shutdown request and the exit notification; 1 when
// the input ends or exit comes without shutdown; 2 for a wrong command line.
#include <unistd.h>

#include <string>
#include <string_view>

#include "driver/search_paths.h"
#include "tools/command_line.h"
#include "tools/lsp/server.h"

namespace {

constexpr std::string_view program_name = "qxl-lsp";
constexpr int wrong_command_line = 2;

constexpr std::string_view usage_text =
    "usage: qxl-lsp [--help | --version]\n"
    "\n"
    "The language server for QXL sources: an editor starts it and talks to\n"
    "it on standard input and output.  Every analysis is a compile by the\n"
    "compiler itself of the editor's current text.\n"
    "\n"
    "--help       Show this text\n"
    "--version    Show the version\n";

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") return qxl::write_standard_output(program_name, usage_text);
    if (arg == "--version")
      return qxl::write_standard_output(
          program_name, "qxl-lsp " + std::string(qxl::version_text) + "\n");
    return qxl::usage_error(program_name,
                            "unknown argument '" + std::string(arg) + "'",
                            usage_text, wrong_command_line);
  }
  return qxl::lsp::serve(STDIN_FILENO, STDOUT_FILENO);
}
