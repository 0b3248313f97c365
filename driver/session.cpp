#include "driver/session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "source/preprocessor.h"
#include "source/reader.h"

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
  const auto held = compile_session->texts.find(normal_path(path));
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

void run_session(CompileSession& session,
                 const std::vector<std::string>& options,
                 const std::string& source_path) {
  session.console.clear();
  session.messages.clear();
  session.output.clear();
  std::vector<std::string> args{"qxl"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(source_path);

  CompileSession* const outer_session = compile_session;
  std::string* const outer_capture = diagnostics.capture;
  compile_session = &session;
  diagnostics.capture = &session.console;
  session.status = run_qxl(args);
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
