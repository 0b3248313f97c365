// A compile run for the language server: the sources it reads from memory,
// the bytecode it leaves in memory and the messages it reports as records.
//
// The compiler's modules consult `compile_session` at a few points (opening
// a source, opening and closing the output, writing a message).  It is null
// for the command-line compiler, so each of those points costs one test of
// a pointer and nothing else.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "bytecode/format.h"

namespace qxl {

struct Declaration;
struct Symbol;

enum class MessageKind { error, warning, note };

// One message as the compiler printed it: "FILE LINE: TEXT".
struct MessageRecord {
  MessageKind kind = MessageKind::note;
  std::string file;
  int line = 0;
  std::string text;          // what follows "FILE LINE: ", newline excluded
  std::string token;         // text of the token being read at the time
  // Line of the main source being read when the message came from an
  // included file (the #include line), else 0.
  int main_line = 0;
  std::size_t text_start = 0;  // where TEXT starts in `console`
};

// Where a name is declared or used: an index into CompileSession::files
// and a 1-based line.  The line is the reader's at the time, which can be
// the line after the name when the name ended its line.
struct SourcePlace {
  int file = 0;
  int line = 0;
};

// A user name declared during the compile, as it was when its scope
// closed or the compile ended.
struct NameRecord {
  std::string name;
  int kind = 0;           // DeclKind
  bool command = false;   // a function declared with "command"
  bool type_name = false;
  int storage = 0;        // Storage
  std::int32_t frame_offset = 0;
  std::int32_t key_table = 0;
  std::string type;       // as the compiler prints types
  std::string signature;  // functions: the parameter signature when known
  // The declaration first; a prototype's definition and other
  // redeclarations follow.
  std::vector<SourcePlace> sites;
  // Locals and parameters: the line where their scope closed.
  SourcePlace scope_end;
};

struct NameUse {
  std::size_t name = 0;  // index into CompileSession::names
  SourcePlace place;
};

struct CompileSession {
  // Texts that stand in for files of these absolute paths.
  std::map<std::string, std::string> texts;
  // Every path the compile tried to open as a source (normalised), found
  // or not: a change of any of them can change the compile's result.
  std::set<std::string> opened;
  // Everything the compile printed, and its messages picked out of it.
  std::string console;
  std::vector<MessageRecord> messages;
  ByteBuffer output;  // the bytecode file, complete when the compile succeeded
  int status = 0;

  // The names of the compile, the uses of each and the files they are in.
  std::vector<NameRecord> names;
  std::vector<NameUse> uses;
  std::vector<std::string> files;
  // The live declaration records of the compile and their names' indexes.
  std::unordered_map<const Declaration*, std::size_t> live;
};

// The session of the compile in progress; null outside the server.
extern CompileSession* compile_session;

// Hooks called by the compiler's modules while compile_session is set.
// A descriptor reading the held text for `path`, or -1 when no text is held.
int session_open_text(std::string_view path);
// Called when "FILE LINE: " has been written.
void session_begin_message(std::string_view file, int line);
void session_mark_warning();
void session_mark_error();
void session_note_declaration(const Declaration* record);
void session_note_redeclaration(const Declaration* record);
void session_close_declaration(const Declaration* record);
void session_note_use(const Symbol* name);

// An absolute, lexically normalised form of a path ("." and ".." steps and
// repeated separators removed), relative paths taken from the working
// directory.
std::string normal_path(std::string_view path);

// Runs one compile of `source_path` under `session`: QXL's words and then
// `options` as run_qxl takes them, output to memory.  Fills the session's
// console, messages, output and status.
void run_session(CompileSession& session, const std::vector<std::string>& options,
                 const std::string& source_path);

}  // namespace qxl
