// A compile run for the language server: the sources it reads from memory,
// the bytecode it leaves in memory and the messages it reports as records.
//
// The compiler's modules consult `compile_session` at a few points (opening
// a source, opening and closing the output, writing a message).  It is null
// for the command-line compiler, so each of those points costs one test of
// a pointer and nothing else.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/format.h"

namespace qxl {

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

struct CompileSession {
  // Texts that stand in for files of these absolute paths.
  std::map<std::string, std::string> texts;
  // Everything the compile printed, and its messages picked out of it.
  std::string console;
  std::vector<MessageRecord> messages;
  ByteBuffer output;  // the bytecode file, complete when the compile succeeded
  int status = 0;
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
