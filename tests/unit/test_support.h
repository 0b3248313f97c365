// Helpers for running the compiler in-process from unit tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "source/lexer.h"
#include "source/reader.h"
#include "source/symbols.h"

namespace qxl::test {

// A fresh directory that the test works in; removed at the end.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qxl-unit-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  void write(const std::string& name, std::string_view bytes) const {
    std::ofstream(path_ + "/" + name, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  bool exists(const std::string& name) const {
    return std::filesystem::exists(path_ + "/" + name);
  }

 private:
  std::string path_;
  std::filesystem::path previous_;
};

struct RunResult {
  int status;
  std::string console;
};

// Runs a whole compile with the given arguments (program name added) and
// returns its exit status and everything it printed.
inline RunResult run_compiler(std::vector<std::string> args) {
  std::string console;
  args.insert(args.begin(), "qxl");
  diagnostics.capture = &console;
  const int status = run_qxl(args);
  diagnostics.capture = nullptr;
  return {status, console};
}

// Runs `body` as a piece of a compile: state reset, symbol table set up,
// `text` as the input (read as macro text is, so without directives or
// line counting).  Returns the exit status when the body ends the compile
// (0 when it returns normally) and what was printed.
template <typename Body>
RunResult run_on_text(std::string_view text, Body&& body) {
  std::string console;
  reset_compiler_state();
  diagnostics.capture = &console;
  init_symbol_table();
  reader.file_name = "test.q";
  reader.string_source = text;
  reader.reading_string = true;
  reader.source_end_is_eof = true;
  int status = 0;
  try {
    body();
  } catch (const CompileExit& exit) {
    status = exit.status;
  }
  diagnostics.capture = nullptr;
  return {status, console};
}

// The tokens of `text`: code and text of each, to the end of the input.
inline std::vector<std::pair<TokenCode, std::string>> scan_all(
    std::string_view text, int* status = nullptr) {
  std::vector<std::pair<TokenCode, std::string>> tokens;
  RunResult result = run_on_text(text, [&] {
    for (;;) {
      TokenCode code = scan_token();
      if (code == tok::end_of_input) break;
      tokens.emplace_back(code, std::string(token_text()));
      if (code == tok::assign && lexer.assign_op != 0)
        tokens.back().second = std::string(token_name(lexer.assign_op)) + "=";
    }
  });
  if (status != nullptr) *status = result.status;
  return tokens;
}

}  // namespace qxl::test
