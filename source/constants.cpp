#include "source/constants.h"

#include "bytecode/writer.h"
#include "driver/diagnostics.h"
#include "source/lexer.h"
#include "source/symbols.h"
#include "types/nodes.h"

namespace qxl {

namespace {

// Continuation byte of a UTF-8 sequence at position i, or -1.
int continuation(std::string_view text, std::size_t i) {
  if (i >= text.size()) return -1;
  const auto b = static_cast<unsigned char>(text[i]);
  return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
}

// The text between a constant's quotes.
std::string_view body_of(std::string_view token_text) {
  if (token_text.size() < 2) return {};
  return token_text.substr(1, token_text.size() - 2);
}

void append_literal(std::u16string& out, std::string_view token_text) {
  const std::string_view body = body_of(token_text);
  for (std::size_t i = 0; i < body.size();)
    out += static_cast<char16_t>(decode_char(body, i));
}

}  // namespace

std::int32_t decode_char(std::string_view text, std::size_t& i) {
  const auto c = static_cast<unsigned char>(text[i++]);
  if (c >= 0xC0 && c < 0xE0 && continuation(text, i) >= 0)
    return ((c & 0x1F) << 6) | continuation(text, i++);
  if (c >= 0xE0 && c < 0xF0 && continuation(text, i) >= 0 &&
      continuation(text, i + 1) >= 0) {
    const int value = ((c & 0x0F) << 12) | (continuation(text, i) << 6) |
                      continuation(text, i + 1);
    i += 2;
    return value;
  }
  if (c != '\\' || i >= text.size()) return c;
  const auto e = static_cast<unsigned char>(text[i++]);
  switch (e) {
    case 'n': return '\n';
    case 't': return '\t';
    case 'r': return '\r';
    case 'b': return '\b';
    case 'f': return '\f';
    default: break;
  }
  if (e >= '0' && e <= '9') {
    int value = e - '0';
    for (int n = 1; n < 3 && i < text.size() && text[i] >= '0' && text[i] <= '9'; ++n)
      value = value * 8 + (text[i++] - '0');
    return value;
  }
  return e;
}

std::u16string decode_string_expression(const Node* n) {
  std::u16string out;
  if (n->op == node_op::string_concat) out = decode_string_expression(n->right);
  append_literal(out, n->symbol->name);
  return out;
}

std::int32_t char_constant_value(std::string_view token_text) {
  const std::string_view body = body_of(token_text);
  if (body.empty()) return 0;
  std::size_t i = 0;
  return decode_char(body, i);
}

std::int32_t emit_char_array_string(ByteBuffer& record,
                                    std::int32_t declared_count) {
  std::u16string units;
  do {
    append_literal(units, symbols.current->name);
    next_token();
  } while (lexer.current_token == tok::string_const);
  auto count = static_cast<std::int32_t>(units.size());
  for (char16_t unit : units) put_u16(record, unit);
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
  std::u16string units;
  do {
    append_literal(units, symbols.current->name);
    next_token();
  } while (lexer.current_token == tok::string_const);
  for (char16_t unit : units) record.push_back(static_cast<std::uint8_t>(unit));
  record.push_back(0);
  write_color_record(record);
}

}  // namespace qxl
