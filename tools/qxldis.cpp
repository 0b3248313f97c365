// qxldis: prints a readable listing of a bytecode file written by qxl.
//
//   qxldis [options] file.b
//
// Exit status: 0 with the listing on standard output; 1 when the file
// cannot be read or is malformed (one line on standard error, nothing on
// standard output); 2 for a wrong command line.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/search_paths.h"
#include "tools/command_line.h"
#include "tools/disassembler.h"
#include "types/builtins.h"

namespace {

constexpr std::string_view usage_text =
    "usage: qxldis [options] file.b\n"
    "\n"
    "Prints a listing of a bytecode file written by qxl on standard output.\n"
    "\n"
    "--help       Show this text\n"
    "--version    Show the version\n"
    "--           End of options: the next word is the file\n"
    "\n"
    "The listing has one line per item, all offsets in decimal.  Each record\n"
    "starts with '@' and its offset in the file, then its kind and name; its\n"
    "fields follow indented by two.  A function's code follows with one\n"
    "instruction per line: its code offset, its name and its operands, jump\n"
    "targets as code offsets (-> N), name references with their names,\n"
    "string and debug file offsets with their text.  Then come the string\n"
    "pool and the debug file names, each entry with its offset.  Bytes and\n"
    "characters outside printable ASCII are written \\xNN or \\uNNNN.\n"
    "\n"
    "A file that cannot be decoded gives one line on standard error,\n"
    "qxldis: FILE: offset N: PROBLEM, and exit status 1.\n";

int usage_error(const std::string& message) {
  return qxl::usage_error("qxldis", message, usage_text, 2);
}

int print(std::string_view text) {
  return qxl::write_standard_output("qxldis", text);
}

// Names primitives from the compiler's own table, so that the listing and
// the compiler always agree on which primitives take a call byte.
std::optional<qxl::PrimitiveInfo> primitive_from_table(int number) {
  const qxl::PrimitiveRow* row = qxl::find_primitive_by_number(number);
  if (row == nullptr) return std::nullopt;
  return qxl::PrimitiveInfo{row->name, row->max_words == -1};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-') {
      files.emplace_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--help") {
      return print(usage_text);
    } else if (arg == "--version") {
      return print("qxldis " + std::string(qxl::version_text) + "\n");
    } else if (arg == "-") {
      return usage_error("reading standard input ('-') is not supported");
    } else {
      return usage_error("unknown option '" + std::string(arg) + "'");
    }
  }
  if (files.empty()) return usage_error("no file given");
  if (files.size() > 1) return usage_error("more than one file given");

  const std::string& path = files.front();
  std::vector<std::uint8_t> bytes;
  std::string error;
  if (!qxl::read_file(path, bytes, error)) {
    std::fprintf(stderr, "qxldis: %s: cannot read: %s\n", path.c_str(),
                 error.c_str());
    return 1;
  }
  const qxl::Disassembly result =
      qxl::disassemble(bytes, {primitive_from_table});
  if (result.error) {
    std::fprintf(stderr, "qxldis: %s: offset %zu: %s\n", path.c_str(),
                 result.error->offset, result.error->message.c_str());
    return 1;
  }
  return print(result.listing);
}
