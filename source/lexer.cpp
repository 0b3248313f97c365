#include "source/lexer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "driver/diagnostics.h"
#include "driver/options.h"
#include "driver/search_paths.h"
#include "source/macros.h"
#include "source/preprocessor.h"
#include "source/reader.h"

namespace qxl {

LexerState lexer;

void LexerState::reset() { *this = LexerState{}; }

namespace {

bool echo_on() { return settings.listing != 0; }

void echo_char(int c) {
  const char ch = static_cast<char>(c);
  console_write(std::string_view(&ch, 1));
}

constexpr bool is_word_char(int c) {
  return is_ascii_letter(c) || is_ascii_digit(c) || c == '_';
}

// is_word_char for every byte value.
constexpr std::array<bool, 256> word_chars = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = is_word_char(c);
  return table;
}();

// The characters that begin a word.
constexpr std::array<bool, 256> word_start_chars = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 256; ++c)
    table[c] = is_ascii_letter(c) || c == '_';
  return table;
}();

// Whether the reader is taking plain bytes from the current file's buffer,
// where the fast loops below may read it directly.
bool reading_file_buffer() {
  return reader.pushed_char == no_pushed_char && !reader.reading_string &&
         reader.left != 0;
}

constexpr int not_taken = -3;

// The next character when `accept` takes it, else not_taken with the
// character left to be read again.  The same as reading it and pushing it
// back, but an ordinary byte of the file buffer is only looked at, so the
// push-back slot stays free and the scanning of the next token can stay in
// the buffer.
template <typename Accept>
int take_if(Accept accept) {
  if (const int next = next_plain_byte(); next >= 0)
    return accept(next) ? read_char() : not_taken;
  const int c = read_char();
  if (accept(c)) return c;
  unread_char(c);
  return not_taken;
}

// Takes the next character when it is `expected`.
bool take_char(int expected) {
  return take_if([expected](int c) { return c == expected; }) != not_taken;
}

// Reads the rest of a block comment that began at start_line of
// start_file; `previous` is the character read before (0 right after the
// "/*").
[[gnu::noinline]] void finish_block_comment(const std::string& start_file, int start_line,
                          int previous) {
  reader.in_comment = true;
  for (;;) {
    reset_token_text();
    int c = read_char();
    if (c == end_of_input) {
      console_print("%s %d: unterminated comment\n", start_file.c_str(),
                    start_line);
      break;
    }
    if (echo_on()) echo_char(c);
    if (c == '/' && previous == '*') break;
    previous = c;
  }
  reader.in_comment = false;
}

// Scans a block comment; "/*" has been read.
[[gnu::noinline]] void skip_block_comment() {
  if (echo_on()) console_write("/*");
  finish_block_comment(reader.file_name, reader.line_number, 0);
}

// Reads the rest of a line comment, its line end included.
[[gnu::noinline]] void finish_line_comment() {
  reader.in_comment = true;
  for (;;) {
    reset_token_text();
    int c = read_char();
    if (c == end_of_input) break;
    if (echo_on()) echo_char(c);
    if (c == '\n') break;
  }
  reader.in_comment = false;
}

// Scans a line comment; "//" has been read.
void skip_line_comment() {
  if (echo_on()) console_write("//");
  finish_line_comment();
}

// Reads a quoted constant up to its closing quote; the opening quote has
// been read.  A backslash takes the next character along; in a string a
// backslash before a newline joins the lines.
void scan_quoted(int quote, const char* unterminated) {
  for (;;) {
    int c = read_char();
    if (c == quote) return;
    if (c == '\n' || c == end_of_input) report_error("%s", unterminated);
    if (c != '\\') continue;
    int next = read_char();
    if (next == end_of_input) report_error("%s", unterminated);
    if (next == '\n' && quote == '"') reader.token_length -= 2;
  }
}

[[gnu::noinline]] TokenCode scan_string() {
  scan_quoted('"', "unterminated string constant");
  reencode_token_text();
  return lookup_symbol(token_text(), tok::string_const);
}

[[gnu::noinline]] TokenCode scan_char_constant() {
  if (peek_char() == '\'') report_error("invalid character constant");
  scan_quoted('\'', "unterminated character constant");
  reencode_token_text();
  return lookup_symbol(token_text(), tok::char_const);
}

// What a number's text makes: the length it keeps (a single 'L' at its end
// is dropped) and whether it is a valid number.  The text is the number's
// first digit and every word character after it: digits of its notation
// (decimal, or hexadecimal, binary or octal after "0x", "0b", "0o"), '_'
// anywhere.
struct NumberText {
  std::size_t length = 0;
  bool valid = false;
};

NumberText check_number_text(std::string_view text) {
  int digits = 1;
  int bad = 0;
  int suffixes = 0;
  char notation = 'D';  // D, X, B or O
  bool last_was_suffix = false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const int c = static_cast<unsigned char>(text[i]);
    last_was_suffix = false;
    if (c == '_') continue;
    const int u = upper_ascii(c);
    if ((u == 'X' || u == 'B' || u == 'O') && i == 1 && text[0] == '0' &&
        notation == 'D') {
      notation = static_cast<char>(u);
      digits = 0;
    } else if (u == 'L') {
      ++suffixes;
      last_was_suffix = true;
    } else if (is_ascii_digit(c) ? (notation != 'B' || c <= '1')
                                 : (notation == 'X' && u >= 'A' && u <= 'F')) {
      ++digits;
    } else {
      ++bad;
    }
  }
  NumberText result{text.size(), true};
  if (suffixes == 1 && last_was_suffix) {
    --result.length;
    suffixes = 0;
  }
  result.valid = bad == 0 && suffixes == 0 && digits != 0;
  return result;
}

[[gnu::noinline]] TokenCode scan_number() {
  while (take_if(is_word_char) != not_taken) {
  }
  const NumberText number = check_number_text(token_text());
  reader.token_length = number.length;
  if (!number.valid) report_error("bad numeric constant");
  return lookup_symbol(token_text(), tok::int_const);
}

TokenCode scan_word() {
  // The rest of the word straight from the file buffer while it lasts;
  // word characters never need the reader's special handling.
  if (reading_file_buffer()) {
    const unsigned char* const start = reader.buffer.data() + reader.position;
    char* const text = reader.token_text.data() + reader.token_length;
    const std::size_t room = token_text_capacity - reader.token_length;
    const std::size_t limit = std::min(reader.left, room);
    std::size_t n = 0;
    for (; n < limit && word_chars[start[n]]; ++n)
      text[n] = static_cast<char>(start[n]);
    if (n != 0) {
      reader.token_length += n;
      reader.position += n;
      reader.left -= n;
      reader.last_char = start[n - 1];
    }
    // Stopped by a byte that is no word character: the word is complete.
    if (n < limit) return lookup_symbol(token_text(), tok::identifier);
  }
  // The word goes on past the buffer (or past the token text, which the
  // reader reports).  A carriage return ends it here, although the reader
  // drops it: the raw byte is looked at.
  while (is_word_char(peek_char())) read_char();
  return lookup_symbol(token_text(), tok::identifier);
}

// Operators that may be followed by '=' to form a compound assignment.
TokenCode compound(TokenCode op) {
  if (take_char('=')) {
    lexer.assign_op = op;
    return tok::assign;
  }
  return op;
}

// The token after `first` when the next character is `second`, else `alone`.
TokenCode either(int second, TokenCode pair, TokenCode alone) {
  return take_char(second) ? pair : alone;
}

// `++`, `&&` and `||` when the character repeats, else the compound-capable
// single operator.
TokenCode doubled_or_compound(int c, TokenCode doubled, TokenCode single) {
  if (take_char(c)) return doubled;
  return compound(single);
}

// Scans an operator whose first character has been read, or returns
// tok::none when the character starts no token.
TokenCode scan_operator(int c) {
  switch (c) {
    case '(': return tok::lparen;
    case ')': return tok::rparen;
    case ';': return tok::semicolon;
    case ':': return tok::colon;
    case ',': return tok::comma;
    case '.': return tok::dot;
    case '?': return tok::question;
    case '[': return tok::lbracket;
    case ']': return tok::rbracket;
    case '{': return tok::lbrace;
    case '}': return tok::rbrace;
    case '~': return tok::tilde;
    case '!': return either('=', tok::not_equal, tok::bang);
    case '=': {
      lexer.assign_op = 0;
      return either('=', tok::equal_equal, tok::assign);
    }
    case '+': return doubled_or_compound('+', tok::plus_plus, tok::plus);
    case '-': {
      if (take_char('-')) return tok::minus_minus;
      if (take_char('>')) return tok::arrow;
      return compound(tok::minus);
    }
    case '&': return doubled_or_compound('&', tok::amp_amp, tok::amp);
    case '|': return doubled_or_compound('|', tok::bar_bar, tok::bar);
    case '<': {
      if (take_char('<')) return compound(tok::shift_left);
      if (take_char('=')) return tok::less_equal;
      return tok::less;
    }
    case '>': {
      if (take_char('>')) return compound(tok::shift_right);
      if (take_char('=')) return tok::greater_equal;
      return tok::greater;
    }
    case '*': return compound(tok::star);
    case '/': return compound(tok::slash);
    case '%': return compound(tok::percent);
    case '^': return compound(tok::caret);
    default: return tok::none;
  }
}

[[gnu::noinline]] void echo_token(TokenCode code) {
  if (code == tok::assign) {
    // A compound assignment echoes its operator before the '='.
    if (const char* op = lexer.assign_op != 0 ? token_name(lexer.assign_op)
                                              : nullptr)
      console_write(op);
    console_write("=");
  } else if (code >= tok::identifier && code <= tok::kw_save_spot) {
    console_write(token_text());
  } else if (const char* name = token_name(code)) {
    console_write(name);
  }
}

// Tokens of one character that never begin a longer one, by character.
constexpr std::array<TokenCode, 256> single_char_tokens = [] {
  std::array<TokenCode, 256> table{};
  table['('] = tok::lparen;
  table[')'] = tok::rparen;
  table[';'] = tok::semicolon;
  table[':'] = tok::colon;
  table[','] = tok::comma;
  table['.'] = tok::dot;
  table['?'] = tok::question;
  table['['] = tok::lbracket;
  table[']'] = tok::rbracket;
  table['{'] = tok::lbrace;
  table['}'] = tok::rbrace;
  table['~'] = tok::tilde;
  return table;
}();

// What the reader skips between tokens when it meets them in the buffer.
enum class Gap : std::uint8_t { none, blank, line_end, slash };

constexpr std::array<Gap, 256> gap_chars = [] {
  std::array<Gap, 256> table{};
  table[' '] = Gap::blank;
  table['\t'] = Gap::blank;
  table['\f'] = Gap::blank;
  table['\r'] = Gap::blank;  // dropped by the reader wherever it stands
  table['\n'] = Gap::line_end;
  table['/'] = Gap::slash;
  return table;
}();

// The bytes that interrupt the skipping of a block comment's text.
constexpr std::array<bool, 256> comment_stops = [] {
  std::array<bool, 256> table{};
  table['*'] = true;
  table['\n'] = true;
  table['\r'] = true;
  table[buffer_sentinel] = true;
  return table;
}();

// The bytes that interrupt the skipping of a line comment's text.
constexpr std::array<bool, 256> line_comment_stops = [] {
  std::array<bool, 256> table{};
  table['\n'] = true;
  table[buffer_sentinel] = true;
  return table;
}();

constexpr std::uint64_t eight_blanks = 0x2020202020202020ull;

std::uint64_t load_word(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// Whether the scanner may run over the bytes of the current file's buffer
// or of a macro's text itself: no pushed-back character comes first, and
// neither a directive line (whose line end its reader must see) nor the
// listing (which prints what is skipped) needs the reader's
// character-by-character way.
bool bytes_scan_allowed() {
  return reader.pushed_char == no_pushed_char && !reader.in_directive_line &&
         !echo_on();
}

// Moves the reader to `p` in its buffer, past `lines` line ends, with the
// last character it delivered set as read_char would have: the last byte
// before `p` that is no carriage return, which the reader drops unseen.
void move_reader_to(const unsigned char* p, int lines) {
  const unsigned char* const start = reader.buffer.data() + reader.position;
  const auto n = static_cast<std::size_t>(p - start);
  reader.position += n;
  reader.left -= n;
  reader.line_number += lines;
  for (const unsigned char* q = p; q != start;) {
    if (*--q != '\r') {
      reader.last_char = *q;
      break;
    }
  }
}

// The last byte before `p`, back to `start`, that is no carriage return;
// 0 when there is none.
int last_seen_before(const unsigned char* p, const unsigned char* start) {
  while (p != start)
    if (*--p != '\r') return *p;
  return 0;
}

// Where the scanner reads bytes straight from memory: the current file's
// buffer (ended by the sentinel), or the text of a macro being expanded or
// of a condition (the tail of a string, ended by the string's NUL).
enum class From : bool { file, text };

// Makes the n bytes at p the token text and moves the reader past them,
// past `lines` line ends before them.  Copied a word at a time: the buffer
// and the token text both have room for the bytes beyond the token this may
// take along.
void take_buffer_token(const unsigned char* p, std::size_t n,
                       const unsigned char* end, int lines) {
  for (std::size_t i = 0; i < n; i += sizeof(std::uint64_t)) {
    const std::uint64_t bytes = load_word(p + i);
    std::memcpy(reader.token_text.data() + i, &bytes, sizeof bytes);
  }
  reader.token_length = n;
  const unsigned char* const after = p + n;
  reader.position = static_cast<std::size_t>(after - reader.buffer.data());
  reader.left = static_cast<std::size_t>(end - after);
  reader.line_number += lines;
  reader.last_char = after[-1];
}

// Makes the n bytes at p the token text and moves the reader past them.
template <From from>
void take_bytes(const unsigned char* p, std::size_t n,
                const unsigned char* end, int lines) {
  if constexpr (from == From::file) {
    take_buffer_token(p, n, end, lines);
  } else {
    // A text has no room for a word-at-a-time copy beyond its end.
    std::memcpy(reader.token_text.data(), p, n);
    reader.token_length = n;
    const unsigned char* const after = p + n;
    reader.string_source = {reinterpret_cast<const char*>(after),
                            static_cast<std::size_t>(end - after)};
    reader.last_char = after[-1];
  }
}

// Leaves the reader at p, its next character, as if it had read
// everything before.
template <From from>
void leave_bytes(const unsigned char* p, const unsigned char* end,
                 int lines) {
  if constexpr (from == From::file) {
    move_reader_to(p, lines);
  } else {
    const auto* start =
        reinterpret_cast<const unsigned char*>(reader.string_source.data());
    if (p != start) reader.last_char = p[-1];
    reader.string_source = {reinterpret_cast<const char*>(p),
                            static_cast<std::size_t>(end - p)};
  }
}

// The blanks the scanner skips in a macro's text: the reader delivers a
// carriage return there, which is an illegal character.
constexpr std::array<bool, 256> text_blanks = [] {
  std::array<bool, 256> table{};
  table[' '] = true;
  table['\t'] = true;
  table['\f'] = true;
  table['\n'] = true;
  return table;
}();

// The bytes a quoted constant's scan in the buffer stops at: its quotes, a
// backslash, and those that end its line or the buffer's bytes.
inline constexpr std::uint8_t quoted_stop_line = 2;
constexpr std::array<std::uint8_t, 256> quoted_stops = [] {
  std::array<std::uint8_t, 256> table{};
  table['"'] = 1;
  table['\''] = 1;
  table['\\'] = 1;
  table['\n'] = quoted_stop_line;
  table['\r'] = quoted_stop_line;
  table[buffer_sentinel] = quoted_stop_line;
  return table;
}();

// Whether a byte the scanner looks at past the end of a token may stay
// unread, as the reader leaves it: not the end of the bytes at hand (the
// reader looks on in the next block or in the text around a macro's), and
// in a file not a carriage return (which the reader drops to look at the
// next byte) or a line end (which it counts when it reads it to look).
template <From from>
bool lookahead_plain(int c) {
  if constexpr (from == From::file)
    return c != '\r' && c != '\n' && c != buffer_sentinel;
  else
    return c != 0;
}

// The operator at p, whose bytes are in the buffer: its length, with its
// code set (and the compound assignment's operator), or 0 when its reading
// is the reader's: a byte after it that may belong to it is not
// lookahead_plain, or p starts no operator.
template <From from>
int buffer_operator(const unsigned char* p, TokenCode& code) {
  const int c = p[0];
  const int d = p[1];
  if (!lookahead_plain<from>(d)) return 0;
  // One byte, or two when the second is `second`.
  const auto one_or_two = [&](int second, TokenCode pair, TokenCode alone) {
    code = d == second ? pair : alone;
    return d == second ? 2 : 1;
  };
  // The operator alone, or its compound assignment with '='.
  const auto compound_at = [&](TokenCode op, int length) {
    if (p[length] == '=') {
      lexer.assign_op = op;
      code = tok::assign;
      return length + 1;
    }
    code = op;
    return length;
  };
  switch (c) {
    case '!': return one_or_two('=', tok::not_equal, tok::bang);
    case '=':
      lexer.assign_op = 0;
      return one_or_two('=', tok::equal_equal, tok::assign);
    case '+':
      if (d == '+') return code = tok::plus_plus, 2;
      return compound_at(tok::plus, 1);
    case '-':
      if (d == '-') return code = tok::minus_minus, 2;
      if (d == '>') return code = tok::arrow, 2;
      return compound_at(tok::minus, 1);
    case '&':
      if (d == '&') return code = tok::amp_amp, 2;
      return compound_at(tok::amp, 1);
    case '|':
      if (d == '|') return code = tok::bar_bar, 2;
      return compound_at(tok::bar, 1);
    case '<':
    case '>': {
      const bool left = c == '<';
      if (d == c) {
        if (!lookahead_plain<from>(p[2])) return 0;
        return compound_at(left ? tok::shift_left : tok::shift_right, 2);
      }
      if (d == '=') return code = left ? tok::less_equal : tok::greater_equal, 2;
      return code = left ? tok::less : tok::greater, 1;
    }
    case '*': return compound_at(tok::star, 1);
    case '/': return compound_at(tok::slash, 1);
    case '%': return compound_at(tok::percent, 1);
    case '^': return compound_at(tok::caret, 1);
    default: return 0;
  }
}

enum class Scanned {
  token,  // a token was scanned: its code is set
  again,  // a comment or a macro's name was taken: scan on
  slow,   // the reader takes the next character its own way
};

// Skips blanks, line ends and comments and scans the commonest tokens
// (words and single-character operators) straight from the current file's
// buffer, with a local pointer that the sentinel after the buffer's bytes
// stops.  Whatever needs more (the end of the buffer, a '#', a constant,
// an operator that may be longer) is left to the reader at its first
// character, with the reader's position, line and last character as if it
// had read everything before.
// Scans the token that starts at p, p before `end` and past `lines` line
// ends: words, constants and operators whose bytes are all at hand, with
// the reader moved past them.  Anything else is left to the reader at p.
template <From from>
Scanned scan_token_at(const unsigned char* p, const unsigned char* end,
                      int lines, TokenCode& code) {
  const int c = *p;
  if (word_start_chars[c]) {
    const unsigned char* q = p + 1;
    while (word_chars[*q]) ++q;
    const auto n = static_cast<std::size_t>(q - p);
    // A word that may go on in the next block, or one too long for the
    // token text (which the reader reports), is the reader's.  (A word of
    // a macro's text ends with the text.)
    if ((from == From::file && q == end) || n > token_text_capacity) {
      leave_bytes<from>(p, end, lines);
      return Scanned::slow;
    }
    take_bytes<from>(p, n, end, lines);
    const std::string_view word(reader.token_text.data(), n);
    code = lookup_symbol_hashed(word, text_hash(word), tok::identifier);
    // A macro's name is replaced by its text and scanning goes on there.
    if (symbols.current->macro != nullptr && expand_macro(symbols.current))
      return Scanned::again;
    return Scanned::token;
  }
  if (const TokenCode single = single_char_tokens[c]; single != tok::none) {
    take_bytes<from>(p, 1, end, lines);
    code = single;
    return Scanned::token;
  }
  if (is_ascii_digit(c)) {
    const unsigned char* q = p + 1;
    while (word_chars[*q]) ++q;
    const auto n = static_cast<std::size_t>(q - p);
    // The reader drops a carriage return inside a number, and reports a
    // bad one with its own line count: both are left to it, as is a number
    // that may go on past the bytes at hand or ends its line.
    if (lookahead_plain<from>(*q) && n <= token_text_capacity) {
      const NumberText number = check_number_text(
          std::string_view(reinterpret_cast<const char*>(p), n));
      if (number.valid) {
        take_bytes<from>(p, n, end, lines);
        reader.token_length = number.length;
        code = lookup_symbol(token_text(), tok::int_const);
        return Scanned::token;
      }
    }
  } else if (c == '"' || (c == '\'' && p[1] != '\'')) {
    // A constant on one line without carriage returns: anything else (an
    // escaped line end, the end of the line or of the bytes before the
    // closing quote, a constant too long) is the reader's.
    const unsigned char* q = p + 1;
    for (;;) {
      while (quoted_stops[*q] == 0) ++q;
      if (*q == c) break;
      if (quoted_stops[*q] == quoted_stop_line ||
          (*q == '\\' && quoted_stops[q[1]] == quoted_stop_line)) {
        q = nullptr;
        break;
      }
      q += *q == '\\' ? 2 : 1;  // an escape, or the other quote
    }
    if (q != nullptr) {
      const auto n = static_cast<std::size_t>(q + 1 - p);
      if (n <= token_text_capacity) {
        take_bytes<from>(p, n, end, lines);
        reencode_token_text();
        code = lookup_symbol(token_text(),
                             c == '"' ? tok::string_const : tok::char_const);
        return Scanned::token;
      }
    }
  } else if (const int n = buffer_operator<from>(p, code); n != 0) {
    take_bytes<from>(p, static_cast<std::size_t>(n), end, lines);
    return Scanned::token;
  }
  leave_bytes<from>(p, end, lines);
  return Scanned::slow;
}


Scanned scan_from_buffer(TokenCode& code) {
  const unsigned char* p = reader.buffer.data() + reader.position;
  const unsigned char* const end = p + reader.left;
  int lines = 0;
  for (;;) {
    const Gap gap = gap_chars[*p];
    if (gap == Gap::blank) {
      ++p;
    } else if (gap == Gap::line_end) {
      ++lines;
      ++p;
      // Indentation comes in long runs of blanks: eight at a time.
      while (end - p >= 8 && load_word(p) == eight_blanks) p += 8;
    } else if (gap == Gap::slash && p[1] == '*') {
      const int start_line = reader.line_number + lines;
      const unsigned char* const text = p + 2;
      const unsigned char* q = text;
      for (;;) {
        while (!comment_stops[*q]) ++q;
        const int c = *q;
        if (c == '*') {
          ++q;
          while (*q == '\r') ++q;
          if (*q == '/') break;
        } else if (c == '\n') {
          ++lines;
          ++q;
        } else if (c == '\r' || q != end) {
          ++q;  // a carriage return, or a NUL in the comment
        } else {
          // The comment goes on past the buffer: the reader follows it.
          const int previous = last_seen_before(q, text);
          move_reader_to(q, lines);
          finish_block_comment(reader.file_name, start_line, previous);
          return Scanned::again;
        }
      }
      p = q + 1;
    } else if (gap == Gap::slash && p[1] == '/') {
      const unsigned char* q = p + 2;
      for (;;) {
        while (!line_comment_stops[*q]) ++q;
        if (*q == '\n' || q == end) break;
        ++q;  // a NUL in the comment
      }
      if (q == end) {
        move_reader_to(q, lines);
        finish_line_comment();
        return Scanned::again;
      }
      ++lines;
      p = q + 1;
    } else {
      break;
    }
  }

  return scan_token_at<From::file>(p, end, lines, code);
}

// The same over the text of a macro being expanded (or of a condition):
// blanks and line ends are skipped (the reader counts no lines in such a
// text), the rest, comments included, is scanned as in a file, and the
// end of the text is the reader's, which goes on in the text around it.
Scanned scan_from_text(TokenCode& code) {
  const auto* p = reinterpret_cast<const unsigned char*>(
      reader.string_source.data());
  const unsigned char* const end = p + reader.string_source.size();
  while (text_blanks[*p]) ++p;
  if (p == end || *p == '/') {
    leave_bytes<From::text>(p, end, 0);
    return Scanned::slow;
  }
  return scan_token_at<From::text>(p, end, 0, code);
}

// Scans from the reader's next character: a token (true, its code set),
// or something skipped (false).  Kept out of line so that the scanner's
// loop over the buffer saves no more registers than it uses.
[[gnu::noinline]] bool scan_by_reader(TokenCode& token) {
    reset_token_text();
    const int c = read_char();
    TokenCode code = tok::none;
    switch (c) {
      case '\t': case '\n': case '\f': case ' ':
        if (echo_on()) echo_char(c);
        return false;
      case 26:
        return false;
      case end_of_input:
        token = tok::end_of_input;
        return true;
      case '/': {
        if (take_char('*')) {
          skip_block_comment();
          return false;
        }
        if (take_char('/')) {
          skip_line_comment();
          return false;
        }
        code = compound(tok::slash);
        break;
      }
      case '"': code = scan_string(); break;
      case '\'': code = scan_char_constant(); break;
      default:
        if (is_ascii_letter(c) || c == '_') {
          code = scan_word();
          // A macro's name is replaced by its text and scanning goes on
          // there.
          if (symbols.current->macro != nullptr && expand_macro(symbols.current))
            return false;
        } else if (is_ascii_digit(c)) {
          code = scan_number();
        } else {
          code = scan_operator(c);
          if (code == tok::none) {
            if (++lexer.illegal_characters > max_illegal_characters)
              report_fatal("more than %d illegal characters, is this a source file?",
                           max_illegal_characters);
            console_print("%s %d: illegal character %d ('%c')\n",
                          reader.file_name.c_str(), reader.line_number, c, c);
            return false;
          }
        }
    }
    if (echo_on()) echo_token(code);
    token = code;
    return true;
}

// Scans the next token of the input.
TokenCode scan_next() {
  TokenCode code = tok::none;
  for (;;) {
    Scanned scanned = Scanned::slow;
    if (bytes_scan_allowed()) {
      if (!reader.reading_string) {
        if (reader.left != 0) scanned = scan_from_buffer(code);
      } else if (!reader.string_source.empty()) {
        scanned = scan_from_text(code);
      }
    }
    if (scanned == Scanned::token) return code;
    if (scanned == Scanned::again) continue;
    if (scan_by_reader(code)) return code;
  }
}

// Follows "defined" "(" while a condition is parsed: the name after them
// is the macro to test, not something to expand.
void track_defined_test(TokenCode code) {
  using Test = LexerState::DefinedTest;
  if (!preprocessor.parsing_condition) {
    lexer.defined_test = Test::none;
  } else if (code == tok::identifier && token_text() == "defined") {
    lexer.defined_test = Test::after_defined;
  } else if (code == tok::lparen &&
             lexer.defined_test == Test::after_defined) {
    lexer.defined_test = Test::name_next;
  } else {
    lexer.defined_test = Test::none;
  }
}

}  // namespace

TokenCode scan_token() {
  if (lexer.defined_test == LexerState::DefinedTest::name_next) {
    lexer.defined_test = LexerState::DefinedTest::none;
    return static_cast<TokenCode>(read_defined_name());
  }
  const TokenCode code = scan_next();
  track_defined_test(code);
  return code;
}

void next_token() {
  if (lexer.held_token != tok::end_of_input) {
    lexer.current_token = lexer.held_token;
    symbols.current = lexer.held_symbol;
    lexer.held_token = tok::end_of_input;
    lexer.held_symbol = nullptr;
    return;
  }
  lexer.current_token = scan_token();
}

void push_back_token(TokenCode code, Symbol* symbol) {
  lexer.held_token = lexer.current_token;
  lexer.held_symbol = symbols.current;
  lexer.current_token = code;
  symbols.current = symbol;
}

void expect_token(TokenCode code) {
  if (lexer.current_token != code) {
    const char* name = token_name(code);
    report_expected("expected %s", name != nullptr ? name : "");
  }
  next_token();
}

void reencode_token_text() {
  if (reader.source_is_utf8 || reader.reading_string) return;
  const std::string_view text = token_text();
  // Pure ASCII, the usual case, reads the same in both encodings.
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return;
  std::string converted;
  converted.reserve(text.size() * 2);
  for (char ch : text) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      converted += ch;
    } else {
      converted += static_cast<char>(0xC0 | (b >> 6));
      converted += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  if (converted.size() > converted_text_limit)
    report_error("constant too long");
  set_token_text(converted);
}

std::uint32_t integer_constant_value(std::string_view text) {
  std::uint32_t value = 0;
  std::uint32_t base = 10;
  if (text.size() >= 2 && text[0] == '0') {
    const int prefix = upper_ascii(text[1]);
    if (prefix == 'X') base = 16;
    else if (prefix == 'B') base = 2;
    else if (prefix == 'O') base = 8;
    if (base != 10) text.remove_prefix(2);
    else {
      base = 8;
      text.remove_prefix(1);
    }
  }
  for (char ch : text) {
    if (ch == '_') continue;
    const auto c = static_cast<std::uint32_t>(static_cast<unsigned char>(ch));
    std::uint32_t digit;
    if (base != 16 || c <= '9') digit = c - 48;
    else if (c <= 'F') digit = c - 55;
    else digit = c - 87;
    value = value * base + digit;
  }
  return value;
}

}  // namespace qxl
