#include "source/reader.h"

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/diagnostics.h"
#include "driver/options.h"
#include "source/macros.h"
#include "source/preprocessor.h"

namespace qxl {

ReaderState reader;

void ReaderState::reset() { *this = ReaderState{}; }

namespace {

// Reads the next block of the current file; false at end of file or on a
// read error, which ends the file the same way.
bool refill() {
  if (reader.fd < 0) return false;
  if (reader.buffer.size() < input_buffer_size)
    reader.buffer.resize(input_buffer_size);
  for (;;) {
    ssize_t n = ::read(reader.fd, reader.buffer.data(), input_block_size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    reader.position = 0;
    reader.left = static_cast<std::size_t>(n);
    reader.bytes_read += static_cast<std::uint64_t>(n);
    seal_buffer();
    return true;
  }
}

constexpr int restart = -3;

// One character of the current file, or `restart` when the reader must look
// again from the top (a directive was run, an included file was left).
int read_file_char() {
  for (;;) {
    if (reader.left == 0 && !refill()) {
      // While a directive line is read, the end of the file ends the line
      // but the file is not left.
      if (reader.in_directive_line) return end_of_input;
      if (reader.fd >= 0) {
        // Standard input is left open: the process does not own it.
        if (reader.fd != STDIN_FILENO) ::close(reader.fd);
        reader.fd = -1;
      }
      if (in_main_source()) return end_of_input;
      // Every file ends its last line before the including file goes on.
      if (reader.last_char != '\n') return '\n';
      pop_include_frame();
      if (settings.listing != 0)
        console_print("#line %d \"%s\"\n", reader.line_number,
                      reader.file_name.c_str());
      return restart;
    }
    int c = reader.buffer[reader.position++];
    --reader.left;
    if (c == '\r') continue;
    if (c == '\n') {
      ++reader.line_number;
    } else if (c == '#' && reader.last_char == '\n' && !reader.in_comment &&
               !reader.in_directive_line) {
      // A '#' on a continuation line of a directive is part of that line.
      process_directive();
      reader.last_char = '\n';
      return restart;
    }
    return c;
  }
}

}  // namespace

int read_char_slow() {
  int c;
  for (;;) {
    if (reader.pushed_char != no_pushed_char) {
      c = reader.pushed_char;
      reader.pushed_char = no_pushed_char;
      break;
    }
    if (reader.reading_string) {
      if (!reader.string_source.empty()) {
        c = static_cast<unsigned char>(reader.string_source.front());
        reader.string_source.remove_prefix(1);
        break;
      }
      if (reader.source_end_is_eof) {
        c = end_of_input;
        break;
      }
      // The end of a macro's text: reading goes on where it started.
      end_macro_expansion();
      continue;
    }
    c = read_file_char();
    if (c != restart) break;
  }

  if (reader.token_length >= token_text_capacity)
    report_error("token buffer overflow");
  reader.token_text[reader.token_length++] =
      static_cast<char>(c == end_of_input ? 0xFF : c);
  reader.last_char = c;
  return c;
}

void unread_char(int c) {
  reader.pushed_char = c;
  if (reader.token_length > 0) --reader.token_length;
}

int peek_char() {
  if (reader.pushed_char != no_pushed_char) return reader.pushed_char;
  if (reader.reading_string)
    return reader.string_source.empty()
               ? 0
               : static_cast<unsigned char>(reader.string_source.front());
  if (reader.left == 0 && !refill()) return end_of_input;
  return reader.buffer[reader.position];
}

int read_raw_byte() {
  if (reader.left == 0 && !refill()) return end_of_input;
  --reader.left;
  return reader.buffer[reader.position++];
}

void set_token_text(std::string_view text) {
  std::size_t n = std::min(text.size(), token_text_capacity);
  std::memmove(reader.token_text.data(), text.data(), n);
  reader.token_length = n;
}

void seal_buffer() {
  // The buffer has its full size since it was read into.
  unsigned char* const end = reader.buffer.data() + reader.position + reader.left;
  *end = buffer_sentinel;
  // The bytes a word load can reach past the sentinel are given a value,
  // so that no run depends on what the buffer held before.
  std::memset(end + 1, 0, word_load_slack);
}

void open_input_buffer() {
  reader.buffer.resize(input_buffer_size);
  reader.position = 0;
  reader.left = 0;
}

SourceFile take_current_file() {
  SourceFile file;
  file.fd = reader.fd;
  file.buffer = std::move(reader.buffer);
  file.position = reader.position;
  file.left = reader.left;
  file.file_name = std::move(reader.file_name);
  file.line_number = reader.line_number;
  file.source_is_utf8 = reader.source_is_utf8;
  reader.fd = -1;
  reader.buffer.clear();
  reader.position = 0;
  reader.left = 0;
  reader.file_name.clear();
  return file;
}

void restore_current_file(SourceFile&& file) {
  reader.fd = file.fd;
  reader.buffer = std::move(file.buffer);
  reader.position = file.position;
  reader.left = file.left;
  reader.file_name = std::move(file.file_name);
  reader.line_number = file.line_number;
  reader.source_is_utf8 = file.source_is_utf8;
}

}  // namespace qxl
