// The bytecode view of the language server: what the compile of a document
// made of each function (its code size, its key bindings, its listing).
//
// Everything here reads the bytecode file that a successful analysis left
// in memory (analysis.session.output); an analysis whose compile failed
// has no bytecode, and then there are no lenses and no listing.
//
// Key bindings.  A key binding record follows its function record and
// names a key table by number (the key-table records of the file, counted
// from 1) and a key code.  The text of a binding is the key's notation
// (tools/key_notation.h) after the key that leads to its table: nothing
// for the first table, the root one; "C-x" for a table named ctlx_keys,
// "Alt-x" for one named altx_keys; any other table's name and a colon
// ("mode_keys: a").  A command's bindings join with " · " in the order of
// the file ("Alt-h · C-x h").
//
// Listing.  The listing of a function is its record's block as qxldis
// prints it, key binding records included, with the source line of each
// OP_DEBUG_LINE instruction right below it: indented to the instruction's
// name, a semicolon, the line number, a colon and the line's text
//
//        5  OP_DEBUG_LINE 94
//           ; 94: {
//
// (nothing is added for a line of a file the analysis did not read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lsp/analysis.h"
#include "tools/lsp/protocol.h"

namespace qxl::lsp {

// The command of the listing, for code lenses and workspace/executeCommand.
inline constexpr std::string_view disassemble_command = "qxl.disassemble";

struct KeyBinding {
  std::uint32_t table = 0;  // 1 for the first key table of the file
  std::uint32_t key = 0;
};

// A function or command record of a bytecode file.
struct FunctionEntry {
  std::string name;           // as the source writes it ('_', not '-')
  bool command = false;
  std::uint32_t code_bytes = 0;
  std::size_t record_at = 0;  // file offset of the record
  std::size_t end_at = 0;     // file offset after its key binding records
  std::vector<KeyBinding> bindings;
};

// The records of a bytecode file that the view needs.
struct BytecodeIndex {
  std::vector<std::string> key_tables;  // names as the source writes them
  std::vector<FunctionEntry> functions;  // in the order of the file
  // The debug data's file names by their offset in it.
  std::map<std::uint32_t, std::string> debug_names;
};

// Reads the records of a bytecode file; nothing when the file is cut short
// or holds a record it does not know.
std::optional<BytecodeIndex> index_bytecode(std::span<const std::uint8_t> file);

// The text of one binding, and the texts of a command's bindings (none
// for a name that is no command of the file).
std::string binding_text(const BytecodeIndex& index, const KeyBinding& binding);
std::vector<std::string> binding_texts(const BytecodeIndex& index,
                                       std::string_view command);
// The texts joined for a lens: "no key bindings" when there are none.
std::string bindings_line(const std::vector<std::string>& texts);

// The binding texts of a command of the analysis's compile; none when the
// compile failed.
std::vector<std::string> command_bindings(const Analysis& analysis,
                                          std::string_view command);

// textDocument/codeLens: on the definition of each function of the
// document, its code size; on each command also its key bindings.
Json code_lenses(const Analysis& analysis, const Document& document);

// qxl/disassemble: {"name", "listing"} of the function whose name is at
// the position, else of the function whose body holds it; null when there
// is none or no bytecode.
Json disassembly(const Analysis& analysis, const Document& document, Position at);

// The qxl/disassemble parameters ({"textDocument": {"uri"}, "position"})
// that workspace/executeCommand parameters of the listing command stand
// for: its arguments are the URI and the position.  Nothing for another
// command or arguments of another shape.
std::optional<Json> disassemble_command_params(const Json& params);

}  // namespace qxl::lsp
