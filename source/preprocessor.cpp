#include "source/preprocessor.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "driver/search_paths.h"
#include "source/lexer.h"
#include "source/symbols.h"

namespace qxl {

PreprocessorState preprocessor;

void PreprocessorState::reset() {
  include_stack.clear();
  included_files.clear();
}

namespace {

constexpr unsigned char byte_order_mark[] = {0xEF, 0xBB, 0xBF};

// Reads until at least `count` bytes wait in the buffer or the file ends.
void fill_at_least(std::size_t count) {
  if (reader.buffer.size() < input_block_size)
    reader.buffer.resize(input_block_size);
  if (reader.position > 0 && reader.left > 0)
    std::copy_n(reader.buffer.begin() + static_cast<long>(reader.position),
                reader.left, reader.buffer.begin());
  reader.position = 0;
  while (reader.left < count) {
    ssize_t n = ::read(reader.fd, reader.buffer.data() + reader.left,
                       input_block_size - reader.left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    reader.left += static_cast<std::size_t>(n);
  }
}

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\v';
}

}  // namespace

void open_main_source(std::string_view name) {
  reader.buffer.assign(input_block_size, 0);
  reader.position = 0;
  reader.left = 0;
  if (settings.filter_mode != 0) {
    reader.fd = STDIN_FILENO;
    reader.source_is_utf8 = false;
    start_source(name, -1);
    return;
  }

  std::string path(name);
  if (path.find('.', file_name_part(path, true)) == std::string::npos)
    path += ".q";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  // A directory opens but cannot be read as a source.
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) {
    console_print("%s: can't open %s\n", path.c_str(), "file");
    exit_with_status(1);
  }
  reader.fd = fd;
  reader.source_is_utf8 = false;
  start_source(path, 1);
}

void start_source(std::string_view name, int mode) {
  reader.file_name = mode <= 0 ? "Buffer " + std::string(name)
                               : std::string(name);
  reader.line_number = 1;
  fill_at_least(sizeof byte_order_mark);
  if (reader.left >= sizeof byte_order_mark &&
      std::equal(std::begin(byte_order_mark), std::end(byte_order_mark),
                 reader.buffer.begin() + static_cast<long>(reader.position))) {
    reader.position += sizeof byte_order_mark;
    reader.left -= sizeof byte_order_mark;
    reader.source_is_utf8 = true;
  }
}

// Collects the directive line in the token text, with continuation lines
// joined and comments removed, then looks up its name.  Only the name is
// acted on for now: known directives are accepted and have no effect yet,
// an unknown one is noted at its own line.
void process_directive() {
  const std::string saved_token(token_text());
  const std::string directive_file = reader.file_name;
  const int directive_line = reader.line_number;

  reader.in_directive_line = true;
  set_token_text("#");
  char quote = 0;
  std::size_t line_comment = std::string::npos;
  std::size_t block_comment = std::string::npos;
  for (;;) {
    int c = read_char();
    if (c == end_of_input || c == '\n') {
      --reader.token_length;  // the line's end is not part of its text
      break;
    }
    if (line_comment != std::string::npos) continue;
    if (c == '\\') {
      int next = read_char();
      if (next == '\n') {
        reader.token_length -= 2;  // continuation: drop backslash, newline
        continue;
      }
      if (next == end_of_input) {
        --reader.token_length;
        break;
      }
      continue;  // the escaped character is taken unexamined
    }
    const std::size_t at = reader.token_length - 1;
    if (block_comment != std::string::npos) {
      if (c == '/' && at > block_comment + 2 &&
          reader.token_text[at - 1] == '*') {
        reader.token_length = block_comment;  // remove the whole comment
        block_comment = std::string::npos;
      }
      continue;
    }
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = static_cast<char>(c);
    } else if (c == '/' && at > 0 && reader.token_text[at - 1] == '/') {
      line_comment = at - 1;
    } else if (c == '*' && at > 0 && reader.token_text[at - 1] == '/') {
      block_comment = at - 1;
    }
  }
  if (line_comment != std::string::npos) reader.token_length = line_comment;
  while (reader.token_length > 0 &&
         is_white(reader.token_text[reader.token_length - 1]))
    --reader.token_length;
  reencode_token_text();
  reader.in_directive_line = false;

  const std::string line(token_text());
  std::size_t name_end = 0;
  while (name_end < line.size() && !is_white(line[name_end])) ++name_end;
  const std::string name = line.substr(0, name_end);
  const TokenCode code = lookup_symbol(name, directive::unknown);
  if ((code == directive::unknown || code > directive::tryinclude) &&
      name.size() > 1)
    report_at(directive_file, directive_line, "unknown preprocessor directive");

  set_token_text(saved_token);
}

bool in_main_source() { return preprocessor.include_stack.empty(); }

void pop_include_frame() {
  if (reader.fd >= 0) ::close(reader.fd);
  restore_current_file(std::move(preprocessor.include_stack.back()));
  preprocessor.include_stack.pop_back();
}

void drain_input() {
  for (;;) {
    if (reader.fd >= 0) {
      std::vector<unsigned char> scratch(input_block_size);
      for (;;) {
        ssize_t n = ::read(reader.fd, scratch.data(), scratch.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
      }
      // Standard input is left open: the process does not own it.
      if (reader.fd != STDIN_FILENO) ::close(reader.fd);
      reader.fd = -1;
    }
    reader.left = 0;
    if (preprocessor.include_stack.empty()) return;
    pop_include_frame();
  }
}

}  // namespace qxl
