// Loading bytecode files for qxlrun the way the editor's loader does.
//
// Every file is first checked completely by the disassembler; only a file
// that decodes without a problem is taken apart here into its functions,
// global variables, string pool and debug file names.  The functions and
// globals of all files share one name space: a name defined twice is an
// error naming both files.  Once every file is in, link() resolves the
// name references of every function and checks that each is used the way
// its definition allows (a call or a function pointer needs a function; a
// load, store or address needs a variable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qxl::run {

// A name reference of a function's code, resolved by link().
struct NameReference {
  std::uint16_t code_offset = 0;
  std::string name;  // as the file stores it: '_' written as '-'
};

struct Function {
  std::string name;  // as stored
  bool command = false;
  std::size_t file = 0;  // index into Program::files
  std::vector<std::uint8_t> code;
  int argument_words = 0;
  int frame_words = 0;
  std::vector<NameReference> references;
  // Filled by link(): for the code offset of each name reference, the index
  // of the function or global it names; -1 at every other offset.
  std::vector<std::int32_t> target_at;
};

struct Global {
  std::string name;  // as stored
  std::size_t file = 0;
  std::uint8_t kind = 0;  // record kind 19 to 22, or 24 for a key table
  std::uint8_t attributes = 0;
  std::string type;  // type signature
  std::uint32_t size = 0;
  std::vector<std::uint8_t> data;  // initial image; may be shorter than size
};

struct SourceFile {
  std::string path;
  std::vector<std::uint8_t> pool;         // string pool
  std::vector<std::uint8_t> debug_names;  // debug file-name data
};

// A key table: the functions bound to its keys.  A table declared in
// several files is one table; a later binding of a key replaces an
// earlier one, as loading the files one after another in the editor does.
struct KeyTable {
  std::string name;  // as stored
  std::map<std::uint32_t, std::size_t> bindings;  // key code -> function
};

struct Program {
  std::vector<SourceFile> files;
  std::vector<Function> functions;
  std::vector<Global> globals;
  std::vector<std::string> color_classes;  // in order of first appearance
  std::vector<KeyTable> key_tables;        // in order of first declaration
  // A source compiled from a copy (a script whose first line was emptied)
  // names the copy in its debug records: the copy's name -> the original's.
  std::map<std::string, std::string> shown_names;
  // Every function and global by its stored name.
  struct Definition {
    bool is_function = false;
    std::size_t index = 0;
  };
  std::map<std::string, Definition> names;
};

// The name as the source wrote it ('-' shown as '_'), for messages.
std::string source_name(const std::string& stored);
// The name as the file stores it ('_' written as '-').
std::string stored_name(const std::string& source);

// Checks and adds one file; on failure returns the message (without the
// program name) and leaves the program as it was.
std::optional<std::string> load_file(Program& program, const std::string& path,
                                     std::span<const std::uint8_t> bytes);

// The key table of this name (as the source writes it), or nothing.
std::optional<std::size_t> find_key_table(const Program& program,
                                          const std::string& name);

// Resolves every name reference; returns the first problem.
std::optional<std::string> link(Program& program);

// The text of the debug file-name entry at `offset`, or "" when none.
std::string debug_file_name(const SourceFile& file, std::uint32_t offset);
// The same for messages: the original's name for a compiled copy.
std::string shown_file_name(const Program& program, std::size_t file,
                            std::uint32_t offset);

// Walks checked code instruction by instruction and calls visit(opcode,
// operand offset) for every name reference operand; it stops at the first
// byte it cannot decode.
using NameOperandVisit = std::function<void(std::uint8_t, std::size_t)>;
void for_each_name_operand(const std::vector<std::uint8_t>& code,
                           const NameOperandVisit& visit);

}  // namespace qxl::run
