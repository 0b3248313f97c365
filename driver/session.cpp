#include "driver/session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "source/preprocessor.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/types.h"

namespace qxl {

CompileSession* compile_session = nullptr;

std::string normal_path(std::string_view path) {
  std::string full;
  if (path.empty() || path.front() != '/') {
    char here[4096];
    if (::getcwd(here, sizeof here) != nullptr) full = here;
    full += '/';
  }
  full += path;
  std::vector<std::string> steps;
  std::size_t at = 0;
  while (at <= full.size()) {
    std::size_t end = full.find('/', at);
    if (end == std::string::npos) end = full.size();
    const std::string_view step(full.data() + at, end - at);
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
    } else if (!step.empty() && step != ".") {
      steps.emplace_back(step);
    }
    at = end + 1;
  }
  std::string result;
  for (const std::string& step : steps) result += "/" + step;
  return result.empty() ? "/" : result;
}

int session_open_text(std::string_view path) {
  std::string normal = normal_path(path);
  const auto held = compile_session->texts.find(normal);
  compile_session->opened.insert(std::move(normal));
  if (held == compile_session->texts.end()) return -1;
  // An anonymous file in memory, read through its descriptor as any source.
  const int fd = ::memfd_create("qxl-source", MFD_CLOEXEC);
  if (fd < 0) return -1;
  const std::string& text = held->second;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

void session_begin_message(std::string_view file, int line) {
  MessageRecord record;
  record.file = std::string(file);
  record.line = line;
  record.token = std::string(token_text());
  // The main source was put aside after its #include line had been read
  // whole, newline and all.
  if (!preprocessor.include_stack.empty())
    record.main_line = preprocessor.include_stack.front().line_number - 1;
  // Called when the location prefix has been written: the text follows.
  record.text_start = compile_session->console.size();
  compile_session->messages.push_back(std::move(record));
}

void session_mark_warning() {
  if (!compile_session->messages.empty())
    compile_session->messages.back().kind = MessageKind::warning;
}

void session_mark_error() {
  if (!compile_session->messages.empty())
    compile_session->messages.back().kind = MessageKind::error;
}

namespace {

// The index of the reader's current file in the session's file list.
int current_file() {
  std::vector<std::string>& files = compile_session->files;
  if (!files.empty() && files.back() == reader.file_name)
    return static_cast<int>(files.size() - 1);
  for (std::size_t i = 0; i < files.size(); ++i)
    if (files[i] == reader.file_name) return static_cast<int>(i);
  files.push_back(reader.file_name);
  return static_cast<int>(files.size() - 1);
}

int file_index(std::string_view name) {
  std::vector<std::string>& files = compile_session->files;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (files[i] == name) return static_cast<int>(i);
  files.emplace_back(name);
  return static_cast<int>(files.size() - 1);
}

// The line of the token just read: a newline read after it and put back
// has already been counted.
int token_line() {
  return reader.pushed_char == '\n' ? reader.line_number - 1
                                     : reader.line_number;
}

// Copies what a record says now into its name's entry.
void refresh(const Declaration* record, NameRecord& entry) {
  entry.kind = static_cast<int>(record->kind);
  entry.type_name = record->kind == DeclKind::type_name;
  entry.storage = static_cast<int>(record->storage);
  entry.frame_offset = record->frame_offset;
  entry.key_table = record->key_table;
  entry.type = record->type != nullptr ? type_text(record->type) : "";
  if (record->has_signature) entry.signature = record->signature;
}

}  // namespace

void session_note_declaration(const Declaration* record) {
  if (record->kind == DeclKind::builtin_function ||
      record->kind == DeclKind::builtin_variable || record->symbol == nullptr)
    return;
  NameRecord entry;
  entry.name = record->symbol->name;
  entry.command = declarations.storage_keyword == tok::kw_command;
  entry.sites.push_back({file_index(record->file), record->line});
  refresh(record, entry);
  compile_session->live[record] = compile_session->names.size();
  compile_session->names.push_back(std::move(entry));
}

void session_note_redeclaration(const Declaration* record) {
  const auto found = compile_session->live.find(record);
  if (found == compile_session->live.end()) return;
  compile_session->names[found->second].sites.push_back(
      {current_file(), token_line()});
}

void session_close_declaration(const Declaration* record) {
  const auto found = compile_session->live.find(record);
  if (found == compile_session->live.end()) return;
  NameRecord& entry = compile_session->names[found->second];
  refresh(record, entry);
  entry.scope_end = {current_file(), reader.line_number};
  compile_session->live.erase(found);
}

void session_note_use(const Symbol* name) {
  const auto found = compile_session->live.find(name->declaration);
  if (found == compile_session->live.end()) return;
  compile_session->uses.push_back(
      {found->second, {current_file(), token_line()}});
}

void run_session(CompileSession& session,
                 const std::vector<std::string>& options,
                 const std::string& source_path) {
  session.console.clear();
  session.messages.clear();
  session.output.clear();
  session.names.clear();
  session.uses.clear();
  session.files.clear();
  session.opened.clear();
  session.live.clear();
  std::vector<std::string> args{"qxl"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(source_path);

  CompileSession* const outer_session = compile_session;
  std::string* const outer_capture = diagnostics.capture;
  compile_session = &session;
  diagnostics.capture = &session.console;
  session.status = run_qxl(args);
  // The records of the names still in scope are complete now.
  for (const auto& [record, index] : session.live)
    refresh(record, session.names[index]);
  session.live.clear();
  diagnostics.capture = outer_capture;
  compile_session = outer_session;

  for (MessageRecord& record : session.messages) {
    const std::size_t start = std::min(record.text_start, session.console.size());
    std::size_t end = session.console.find('\n', start);
    if (end == std::string::npos) end = session.console.size();
    record.text = session.console.substr(start, end - start);
  }
}

}  // namespace qxl
