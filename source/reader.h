// The character reader: delivers the source one character at a time.
//
// Characters come, in order of precedence, from a one-character push-back
// slot, a string source (the text of a macro being expanded or of a #if
// expression) and the current source file.  The reader counts lines, drops
// carriage returns, runs a directive when a '#' begins a file line, leaves
// included files at their end, and appends every character it delivers to
// the token text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace qxl {

inline constexpr std::size_t token_text_capacity = 2000;
// Source files are read in blocks of this size: large enough that a file of
// a few megabytes takes few system calls.
inline constexpr std::size_t input_block_size = 65536;
// The byte kept just after the unread bytes of the current file's buffer
// (the buffer has room for it): the scanner's loops stop on it without a
// test for the end of the buffer.  A NUL of the file stops them as well;
// the scanner tells the two apart by their place.
inline constexpr unsigned char buffer_sentinel = 0;
// Beyond the sentinel, room for the scanner to load a whole word at the end
// of a word.
inline constexpr std::size_t word_load_slack = 8;
inline constexpr std::size_t input_buffer_size =
    input_block_size + 1 + word_load_slack;
inline constexpr int end_of_input = -1;
// Marks the push-back slot empty; any real character (NUL included) or the
// end of input can be pushed back.
inline constexpr int no_pushed_char = -2;

// An allocator whose growing of a vector leaves the new bytes as they are.
// Every byte of an input buffer that the scanner looks at was put there by
// read() or by seal_buffer(), so zeroing the block first would only touch
// (and fault in) pages that a short file never fills.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <typename U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using InputBuffer = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

// The state of one source file; saved whole by the include stack.
struct SourceFile {
  int fd = -1;
  InputBuffer buffer;
  std::size_t position = 0;  // next unread byte in buffer
  std::size_t left = 0;      // bytes of buffer not yet read
  std::string file_name;
  int line_number = 1;
  bool source_is_utf8 = false;
};

struct ReaderState {
  int pushed_char = no_pushed_char;
  int last_char = '\n';
  bool in_comment = false;
  bool in_directive_line = false;

  // String source: macro text or #if text.
  std::string_view string_source;
  bool reading_string = false;
  bool source_end_is_eof = false;

  // The current file.  file_name and line_number are the position every
  // message prints.
  int fd = -1;
  InputBuffer buffer;
  std::size_t position = 0;
  std::size_t left = 0;
  std::uint64_t bytes_read = 0;  // from every file of the compile
  std::string file_name;
  int line_number = 1;
  bool source_is_utf8 = false;

  // The characters of the token being scanned; also the line buffer of
  // directives.  -1 is stored as the byte 255.
  // The words past the capacity take the scanner's word-at-a-time copy of
  // the longest word.
  std::array<char, token_text_capacity + 1 + word_load_slack> token_text{};
  std::size_t token_length = 0;

  void reset();
};

extern ReaderState reader;

int read_char_slow();

// The next byte when it is the common case that read_char takes straight
// from the current file's buffer (an ordinary byte, with room in the token
// text), else -1: everything else goes through read_char_slow.
inline int next_plain_byte() {
  if (reader.pushed_char == no_pushed_char && !reader.reading_string &&
      reader.left != 0 && reader.token_length < token_text_capacity) {
    const int c = reader.buffer[reader.position];
    if (c != '\r' && c != '\n' && c != '#') return c;
  }
  return -1;
}

// The next character.
inline int read_char() {
  const int c = next_plain_byte();
  if (c < 0) return read_char_slow();
  ++reader.position;
  --reader.left;
  reader.token_text[reader.token_length++] = static_cast<char>(c);
  reader.last_char = c;
  return c;
}
void unread_char(int c);
int peek_char();

// The token text collected so far.
inline std::string_view token_text() {
  return {reader.token_text.data(), reader.token_length};
}
inline void reset_token_text() { reader.token_length = 0; }

// The next byte of the current file straight from its buffer (refilled as
// needed), with no push-back, directive or line processing; -1 at the end
// of the file, which is not left.  Used to skip the lines of a false
// condition.
int read_raw_byte();

// Replaces the token text (used after re-encoding); the caller guarantees
// the text fits.
void set_token_text(std::string_view text);

// Stores buffer_sentinel after the unread bytes of the current file's
// buffer, growing it to input_buffer_size first; called whenever bytes are
// read into it.
void seal_buffer();
// Gives the current file an empty buffer of its full size.
void open_input_buffer();

// Moves the current file's state out of the reader / back into it.
SourceFile take_current_file();
void restore_current_file(SourceFile&& file);

}  // namespace qxl
