#include "source/constants.h"

#include <unicode/uchar.h>

#include <string>
#include <vector>

#include "bytecode/writer.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "source/lexer.h"
#include "source/preprocessor.h"
#include "source/symbols.h"
#include "types/nodes.h"

namespace qxl {

namespace {

// The byte at position i of a constant's text; 0 past its end, as if the
// text had a terminating zero.  Every read of the text goes through here.
unsigned byte_at(std::string_view text, std::size_t i) {
  return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
}

// The byte at the cursor, moving the cursor past it.  The cursor never
// moves beyond the end of the text, so a caller looping until the end
// always finishes.
unsigned take_byte(std::string_view text, std::size_t& cursor) {
  const unsigned b = byte_at(text, cursor);
  if (cursor < text.size()) ++cursor;
  return b;
}

bool is_continuation(unsigned b) { return (b & 0xC0u) == 0x80u; }

// Value of a hexadecimal digit, or -1.
int hex_digit_value(unsigned c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  return -1;
}

// A character written in UTF-8; `lead` (0x80 or above) is already taken.
std::int32_t decode_utf8(unsigned lead, std::string_view text,
                         std::size_t& cursor) {
  const unsigned b1 = take_byte(text, cursor);
  if (lead >= 0xC0 && lead <= 0xDF) {
    if (!is_continuation(b1))
      report_error("bad UTF-8 character in constant (1, %x %x)", lead, b1);
    return static_cast<std::int32_t>(((lead & 0x1Fu) << 6) | (b1 & 0x3Fu));
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned b2 = take_byte(text, cursor);
    if (!is_continuation(b1) || !is_continuation(b2))
      report_error("bad UTF-8 character in constant (2)");
    return static_cast<std::int32_t>(((lead & 0x0Fu) << 12) |
                                     ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu));
  }
  report_error("bad UTF-8 character in constant (3)");
}

// \x or \u followed by plain hexadecimal digits: at most `max_digits` of
// them; no digits at all is 0.
std::int32_t hex_digits(std::string_view text, std::size_t& cursor,
                        int max_digits) {
  std::int32_t value = 0;
  for (int n = 0; n < max_digits; ++n) {
    const int d = hex_digit_value(byte_at(text, cursor));
    if (d < 0) break;
    value = value * 16 + d;
    take_byte(text, cursor);
  }
  return value;
}

// \x{...} or \u{...}; the cursor is just past the '{'.
std::int32_t braced_hex(std::string_view text, std::size_t& cursor) {
  std::int32_t value = hex_digits(text, cursor, 4);
  if (byte_at(text, cursor) != '}') report_error("bad hex escape sequence");
  take_byte(text, cursor);
  return value;
}

// \x[NAME] or \u[NAME]; the cursor is just past the '['.
std::int32_t named_character(std::string_view text, std::size_t& cursor) {
  const std::size_t start = cursor;
  std::size_t end = start;
  // A zero byte ends the text for this purpose too: the name is handed on
  // as a C string, which would stop there.
  while (end < text.size() && text[end] != ']' && text[end] != '\n' &&
         text[end] != '\0')
    ++end;
  if (end >= text.size() || text[end] != ']')
    report_error("bad Unicode escape sequence");
  cursor = end + 1;
  const std::string name(text.substr(start, end - start));
  if (name.size() > max_character_name_length)
    report_error("character name too long (more than %zu characters)",
                 max_character_name_length);
  if (!settings.unicode_names)
    report_error("character names not supported: Unicode data file not found");
  UErrorCode status = U_ZERO_ERROR;
  const UChar32 c = u_charFromName(U_UNICODE_CHAR_NAME, name.c_str(), &status);
  if (U_FAILURE(status) || c < 0)
    report_error("bad character name %s", name.c_str());
  return static_cast<std::int32_t>(c);
}

// What follows \x or \u: braces, a name in brackets, or plain digits.
std::int32_t hex_escape(std::string_view text, std::size_t& cursor,
                        int max_digits) {
  switch (byte_at(text, cursor)) {
    case '{':
      take_byte(text, cursor);
      return braced_hex(text, cursor);
    case '[':
      take_byte(text, cursor);
      return named_character(text, cursor);
    default:
      return hex_digits(text, cursor, max_digits);
  }
}

// \ and a digit: up to three digits in all, in base 8, though 8 and 9 are
// taken as digits as well.
std::int32_t octal_escape(unsigned first, std::string_view text,
                          std::size_t& cursor) {
  std::int32_t value = static_cast<std::int32_t>(first - '0');
  for (int n = 1; n < 3; ++n) {
    const unsigned c = byte_at(text, cursor);
    if (c < '0' || c > '9') break;
    value = value * 8 + static_cast<std::int32_t>(c - '0');
    take_byte(text, cursor);
  }
  return value;
}

// The literal's characters in order, each handed to `store`: from just
// after the opening quote up to (not including) the last character, the
// closing quote.
template <typename Store>
void decode_literal(std::string_view token_text, Store&& store) {
  if (token_text.size() < 2) return;
  const std::size_t end = token_text.size() - 1;
  std::size_t cursor = 1;
  while (cursor < end) {
    // A plain ASCII character, most of any text, stands for itself.
    const auto b = static_cast<unsigned char>(token_text[cursor]);
    if (b < 0x80 && b != '\\') {
      store(static_cast<std::int32_t>(b));
      ++cursor;
      continue;
    }
    store(decode_char(token_text, cursor));
  }
}

// The current string constant token and those right after it, each
// character handed to `store`; leaves the first other token current.
template <typename Store>
void decode_adjacent_literals(Store&& store) {
  do {
    decode_literal(symbols.current != nullptr ? symbols.current->name
                                              : std::string_view(),
                   store);
    next_token();
  } while (lexer.current_token == tok::string_const);
}

}  // namespace

std::int32_t decode_char(std::string_view text, std::size_t& cursor) {
  if (cursor >= text.size()) return 0;
  const unsigned b = take_byte(text, cursor);
  if (b >= 0x80) return decode_utf8(b, text, cursor);
  if (b != '\\') return static_cast<std::int32_t>(b);
  const unsigned e = take_byte(text, cursor);
  switch (e) {
    case 'b': return 8;
    case 'f': return 12;
    case 'n': return 10;
    case 'r': return 13;
    case 't': return 9;
    case 'x': return hex_escape(text, cursor, 2);
    case 'u': return hex_escape(text, cursor, 4);
    default: break;
  }
  if (e >= '0' && e <= '9') return octal_escape(e, text, cursor);
  // Any other escaped character stands for itself; a backslash at the
  // very end stands for nothing.
  if (e < 0x80) return static_cast<std::int32_t>(e);
  return decode_utf8(e, text, cursor);
}

void decode_string_expression(const Node* n, std::u16string& out) {
  out.clear();
  const auto append = [&out](std::int32_t c) {
    out += static_cast<char16_t>(c & 0xFFFF);
  };
  // A single literal, the common case.
  if (n->op != NodeOp::string_concat) {
    if (n->symbol != nullptr) decode_literal(n->symbol->name, append);
    return;
  }
  // The chain runs from the last literal back to the first; walk it without
  // recursion, then decode in source order.
  std::vector<const Symbol*> literals;
  for (const Node* p = n; p != nullptr;
       p = p->op == NodeOp::string_concat ? p->right : nullptr)
    literals.push_back(p->symbol);
  for (auto it = literals.rbegin(); it != literals.rend(); ++it)
    if (*it != nullptr) decode_literal((*it)->name, append);
}

std::u16string decode_string_expression(const Node* n) {
  std::u16string out;
  decode_string_expression(n, out);
  return out;
}

std::int32_t char_constant_value(std::string_view token_text) {
  // Nothing between the quotes (the scanner never lets that through): 0.
  if (token_text.size() < 3) return 0;
  std::size_t cursor = 1;
  return decode_char(token_text, cursor);
}

std::int32_t emit_char_array_string(ByteBuffer& record,
                                    std::int32_t declared_count) {
  std::int32_t count = 0;
  decode_adjacent_literals([&](std::int32_t c) {
    put_u16(record, static_cast<std::uint16_t>(c));
    ++count;
  });
  if (count == declared_count) {
    report_warning("string will not be null terminated");
  } else {
    put_u16(record, 0);
    ++count;
  }
  if (declared_count != -1 && count > declared_count)
    report_error("initialization too long");
  return count;
}

void emit_scheme_name() {
  ByteBuffer record{record::color_scheme};
  decode_adjacent_literals([&record](std::int32_t c) {
    record.push_back(static_cast<std::uint8_t>(c));
  });
  record.push_back(0);
  write_color_record(record, in_main_source());
}

}  // namespace qxl
