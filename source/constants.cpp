#include "source/constants.h"

namespace qxl {

namespace {

// Decodes one character at `i` of `text` (past the opening quote) and moves
// `i` past it.  Plain bytes stand for themselves; the common escapes are
// translated and any other escaped character stands for itself.
// Continuation byte of a UTF-8 sequence at position i, or -1.
int continuation(std::string_view text, std::size_t i) {
  if (i >= text.size()) return -1;
  const auto b = static_cast<unsigned char>(text[i]);
  return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
}

char16_t decode_one(std::string_view text, std::size_t& i) {
  const auto c = static_cast<unsigned char>(text[i++]);
  // Constant texts are UTF-8 (Latin-1 sources were converted on reading).
  if (c >= 0xC0 && c < 0xE0 && continuation(text, i) >= 0)
    return static_cast<char16_t>(((c & 0x1F) << 6) | continuation(text, i++));
  if (c >= 0xE0 && c < 0xF0 && continuation(text, i) >= 0 &&
      continuation(text, i + 1) >= 0) {
    const int value = ((c & 0x0F) << 12) | (continuation(text, i) << 6) |
                      continuation(text, i + 1);
    i += 2;
    return static_cast<char16_t>(value);
  }
  if (c != '\\' || i >= text.size()) return c;
  const auto e = static_cast<unsigned char>(text[i++]);
  switch (e) {
    case 'n': return u'\n';
    case 't': return u'\t';
    case 'r': return u'\r';
    case 'b': return u'\b';
    case 'f': return u'\f';
    case 'a': return u'\a';
    case 'e': return 27;
    default: break;
  }
  if (e >= '0' && e <= '9') {
    unsigned value = e - '0';
    for (int n = 1; n < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9'; ++n)
      value = value * 8 + static_cast<unsigned>(text[i++] - '0');
    return static_cast<char16_t>(value);
  }
  return e;
}

}  // namespace

std::u16string decode_string_literal(std::string_view token_text) {
  std::u16string out;
  if (token_text.size() < 2) return out;
  const std::string_view body = token_text.substr(1, token_text.size() - 2);
  for (std::size_t i = 0; i < body.size();) out += decode_one(body, i);
  return out;
}

std::int32_t char_constant_value(std::string_view token_text) {
  if (token_text.size() < 3) return 0;
  const std::string_view body = token_text.substr(1, token_text.size() - 2);
  std::size_t i = 0;
  return decode_one(body, i);
}

}  // namespace qxl
