// The message layer of the language server.  It knows nothing of QXL:
// framing, JSON-RPC envelopes, and open documents as byte strings whose
// positions the editor gives in UTF-16 units.
#include "tools/lsp/protocol.h"

#include <algorithm>
#include <array>
#include <climits>
#include <filesystem>
#include <limits>

namespace qxl::lsp {
namespace {

constexpr std::string_view content_length_name = "content-length";
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";
// How much of a bad header line an error message quotes.
constexpr std::size_t quoted_header_bytes = 40;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// The characters a header name may hold (an HTTP token).
bool is_token_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (is_blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A header line for a log message: printable ASCII kept, the rest escaped.
std::string quote(std::string_view line) {
  constexpr std::string_view hex = "0123456789abcdef";
  std::string out = "'";
  for (char ch : line.substr(0, quoted_header_bytes)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= ' ' && c < 0x7F && c != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  if (line.size() > quoted_header_bytes) out += "...";
  return out + "'";
}

// ---------------------------------------------------------------- framing

// What a look at the header section found.
struct HeaderScan {
  enum class Status { need_more, bad, complete } status = Status::need_more;
  std::size_t size = 0;                // complete: bytes up to the body
  std::optional<std::size_t> length;   // complete: the Content-Length
  bool too_long = false;               // complete: a length past size_t
  std::string error;                   // bad: what is wrong
  std::size_t resume = 0;              // bad: where to look for a header
};

// The value of a Content-Length header: digits, nothing else.  A number
// that does not fit is reported through `too_long`.
std::optional<std::size_t> parse_length(std::string_view value, bool& too_long) {
  value = trim(value);
  if (value.empty()) return std::nullopt;
  std::size_t n = 0;
  too_long = false;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (n > (std::numeric_limits<std::size_t>::max() - digit) / 10) too_long = true;
    if (!too_long) n = n * 10 + digit;
  }
  return n;
}

HeaderScan bad_header(std::string error, std::size_t resume) {
  HeaderScan scan;
  scan.status = HeaderScan::Status::bad;
  scan.error = std::move(error);
  scan.resume = resume;
  return scan;
}

// Checks a header line that has no line end yet, so that a body sent
// straight after the headers is refused now instead of waited on.
std::optional<std::string> check_partial_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const std::size_t colon = line.find(':');
  const std::string_view name = line.substr(0, colon);
  for (char c : name)
    if (!is_token_char(c)) return "header line " + quote(line) + " is not 'Name: value'";
  if (colon == std::string_view::npos || !equal_ignoring_case(name, content_length_name))
    return std::nullopt;
  for (char c : line.substr(colon + 1))
    if (!is_blank(c) && c != '\r' && (c < '0' || c > '9'))
      return "bad Content-Length " + quote(trim(line.substr(colon + 1)));
  return std::nullopt;
}

// Reads the header lines at the start of `in` up to their blank line.
// Lines end with "\r\n" (a bare "\n" is taken too).
HeaderScan scan_headers(std::string_view in) {
  HeaderScan scan;
  std::size_t pos = 0;
  while (true) {
    const std::size_t end = in.find('\n', pos);
    if (end == std::string_view::npos) {
      const std::string_view partial = in.substr(pos);
      if (auto error = check_partial_line(partial)) return bad_header(*error, pos + 1);
      if (in.size() > max_header_size)
        return bad_header("header section longer than " +
                              std::to_string(max_header_size) + " bytes",
                          in.size());
      return scan;
    }
    std::string_view line = in.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t next = end + 1;
    if (line.empty()) {
      scan.status = HeaderScan::Status::complete;
      scan.size = next;
      return scan;
    }
    if (next > max_header_size)
      return bad_header("header section longer than " +
                            std::to_string(max_header_size) + " bytes",
                        next);
    const std::size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos || name.empty() ||
        !std::all_of(name.begin(), name.end(), is_token_char))
      return bad_header("header line " + quote(line) + " is not 'Name: value'", pos + 1);
    if (equal_ignoring_case(name, content_length_name)) {
      bool too_long = false;
      const std::string_view value = line.substr(colon + 1);
      const auto length = parse_length(value, too_long);
      if (!length) return bad_header("bad Content-Length " + quote(trim(value)), pos + 1);
      if (scan.length && (*scan.length != *length || scan.too_long != too_long))
        return bad_header("two different Content-Length headers", pos + 1);
      scan.length = length;
      scan.too_long = too_long;
    }
    // Content-Type and any other header are accepted and not used: the
    // body is always taken as UTF-8 JSON.
    pos = next;
  }
}

// Where the text "content-length" (in any case) occurs in `in` from `from`
// on; else the start of the longest tail that could begin it (the end of
// `in` when there is none).
std::size_t find_header_start(std::string_view in, std::size_t from) {
  for (std::size_t i = from; i < in.size(); ++i) {
    const std::size_t n = std::min(content_length_name.size(), in.size() - i);
    if (equal_ignoring_case(in.substr(i, n), content_length_name.substr(0, n))) return i;
  }
  return in.size();
}

// ------------------------------------------------------------------ UTF-8

struct Utf8Char {
  std::size_t bytes = 1;   // length of the sequence (1 for an invalid byte)
  std::uint32_t code = 0;  // the character, or the invalid byte itself
  bool valid = true;
};

// Decodes the character at `i`.  Overlong forms, surrogates, values past
// U+10FFFF and cut sequences are invalid: their first byte stands alone.
Utf8Char decode_utf8(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return {1, c, true};
  const Utf8Char invalid{1, c, false};
  std::size_t follow = 0;
  std::uint32_t code = 0;
  std::uint32_t least = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    follow = 1, code = c & 0x1F, least = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    follow = 2, code = c & 0x0F, least = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    follow = 3, code = c & 0x07, least = 0x10000;
  } else {
    return invalid;
  }
  if (s.size() - i <= follow) return invalid;
  for (std::size_t k = 1; k <= follow; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return invalid;
    code = (code << 6) | (b & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return invalid;
  return {follow + 1, code, true};
}

constexpr std::uint32_t first_astral = 0x10000;

int utf16_units(const Utf8Char& ch) { return ch.valid && ch.code >= first_astral ? 2 : 1; }

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | (code >> 6));
    out += char(0x80 | (code & 0x3F));
  } else if (code < first_astral) {
    out += char(0xE0 | (code >> 12));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | (code >> 18));
    out += char(0x80 | ((code >> 12) & 0x3F));
    out += char(0x80 | ((code >> 6) & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

constexpr std::uint32_t last_latin1 = 0xFF;

// Document bytes to wire text, the bytes read as UTF-8 or as Latin-1.
std::string wire_text(std::string_view source_text, bool utf8) {
  std::string out;
  out.reserve(source_text.size() + source_text.size() / 8);
  for (std::size_t i = 0; i < source_text.size();) {
    const auto c = static_cast<unsigned char>(source_text[i]);
    if (c < 0x80) {
      out += char(c);
      ++i;
      continue;
    }
    if (utf8) {
      const Utf8Char ch = decode_utf8(source_text, i);
      if (ch.valid) {
        out.append(source_text.substr(i, ch.bytes));
        i += ch.bytes;
        continue;
      }
    }
    append_utf8(out, c);
    ++i;
  }
  return out;
}


// Wire text to Latin-1 bytes: one '?' for each UTF-16 unit of a character
// that Latin-1 lacks, so that positions stay where the editor has them.
std::string latin1_from_wire(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    // Runs of ASCII, the bulk of any source, are the same bytes in both.
    std::size_t ascii = i;
    while (ascii < utf8.size() && static_cast<unsigned char>(utf8[ascii]) < 0x80) ++ascii;
    if (ascii > i) {
      out.append(utf8.substr(i, ascii - i));
      i = ascii;
      continue;
    }
    const Utf8Char ch = decode_utf8(utf8, i);
    i += ch.bytes;
    if (ch.valid && ch.code <= last_latin1)
      out += char(ch.code);
    else
      out.append(std::size_t(utf16_units(ch)), '?');
  }
  return out;
}

// ---------------------------------------------------------------- JSON-RPC

// Nesting depth of the arrays and objects of a JSON text, counted without
// parsing it (brackets inside strings do not count).
bool nests_too_deep(std::string_view body) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (in_string) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > max_json_depth) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

Incoming invalid(int code, std::string message, Json id = nullptr) {
  Incoming m;
  m.kind = Incoming::Kind::invalid;
  m.error = code;
  m.message = std::move(message);
  m.id = std::move(id);
  return m;
}

// ---------------------------------------------------------------- documents

// Whether `p` begins a line of `t`: it follows "\n", or a "\r" that no
// "\n" follows.
bool is_line_start(std::string_view t, std::size_t p) {
  if (p == 0) return true;
  const char before = t[p - 1];
  return before == '\n' || (before == '\r' && (p == t.size() || t[p] != '\n'));
}

std::size_t count_lone_crs(std::string_view t, std::size_t from, std::size_t to) {
  std::size_t n = 0;
  for (std::size_t i = from; i < to; ++i)
    if (t[i] == '\r' && (i + 1 == t.size() || t[i + 1] != '\n')) ++n;
  return n;
}

// A position read from JSON: non-negative integers, clamped to int.
std::optional<Position> read_position(const Json& j) {
  if (!j.is_object()) return std::nullopt;
  const auto line = j.find("line");
  const auto character = j.find("character");
  if (line == j.end() || character == j.end()) return std::nullopt;
  std::array<int, 2> values{};
  const std::array<const Json*, 2> fields{&*line, &*character};
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const Json& f = *fields[k];
    if (f.is_number_unsigned()) {
      values[k] = int(std::min<std::uint64_t>(f.get<std::uint64_t>(), INT_MAX));
    } else if (f.is_number_integer()) {
      const auto v = f.get<std::int64_t>();
      if (v < 0) return std::nullopt;
      values[k] = int(std::min<std::int64_t>(v, INT_MAX));
    } else {
      return std::nullopt;
    }
  }
  return Position{values[0], values[1]};
}

bool before(Position a, Position b) {
  return a.line < b.line || (a.line == b.line && a.character < b.character);
}

}  // namespace

// ---------------------------------------------------------------- framing

void FrameReader::feed(std::string_view bytes) {
  if (skip > 0) {
    const std::size_t dropped = std::min(skip, bytes.size());
    skip -= dropped;
    bytes.remove_prefix(dropped);
  }
  if (start > 0) {
    pending.erase(0, start);
    start = 0;
  }
  pending.append(bytes);
}

std::optional<std::string> FrameReader::next(std::string& error) {
  error.clear();
  if (skip > 0) {
    const std::size_t dropped = std::min(skip, pending.size() - start);
    skip -= dropped;
    start += dropped;
    if (skip > 0) return std::nullopt;
  }
  if (hunting) {
    const std::string_view in = std::string_view(pending).substr(start);
    const std::size_t found = find_header_start(in, 0);
    start += found;
    if (in.size() - found < content_length_name.size()) return std::nullopt;
    hunting = false;
  }
  // Line ends between messages are tolerated.
  while (start < pending.size() && (pending[start] == '\r' || pending[start] == '\n'))
    ++start;
  const std::string_view in = std::string_view(pending).substr(start);
  if (in.empty()) return std::nullopt;
  const HeaderScan scan = scan_headers(in);
  switch (scan.status) {
    case HeaderScan::Status::need_more:
      return std::nullopt;
    case HeaderScan::Status::bad:
      error = scan.error;
      start += std::min(scan.resume, in.size());
      hunting = true;
      return std::nullopt;
    case HeaderScan::Status::complete:
      break;
  }
  if (!scan.length) {
    error = "message without a Content-Length header";
    start += scan.size;
    hunting = true;
    return std::nullopt;
  }
  if (scan.too_long || *scan.length > max_message_size) {
    error = "message of " + (scan.too_long ? std::string("too many") : std::to_string(*scan.length)) +
            " bytes refused (at most " + std::to_string(max_message_size) + ")";
    start += scan.size;
    skip = scan.too_long ? std::numeric_limits<std::size_t>::max() : *scan.length;
    const std::size_t dropped = std::min(skip, pending.size() - start);
    skip -= dropped;
    start += dropped;
    return std::nullopt;
  }
  if (in.size() - scan.size < *scan.length) return std::nullopt;
  std::string body(in.substr(scan.size, *scan.length));
  start += scan.size + *scan.length;
  return body;
}

std::string FrameReader::at_end() const {
  if (skip > 0) return "end of input inside a refused message";
  std::size_t left = pending.size() - start;
  const std::string_view rest = std::string_view(pending).substr(start);
  if (rest.find_first_not_of("\r\n") == std::string_view::npos) left = 0;
  if (left == 0) return "";
  return "end of input in the middle of a message (" + std::to_string(left) +
         " bytes unread)";
}

std::string frame(std::string_view body) {
  std::string out = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  out += body;
  return out;
}

std::string serialize(const Json& message) {
  return message.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// ---------------------------------------------------------------- JSON-RPC

Incoming parse_message(std::string_view body) {
  if (nests_too_deep(body))
    return invalid(error_code::parse_error,
                   "JSON nested deeper than " + std::to_string(max_json_depth) + " levels");
  Json j = Json::parse(body, nullptr, false);
  if (j.is_discarded()) return invalid(error_code::parse_error, "invalid JSON");
  if (j.is_array()) return invalid(error_code::invalid_request, "batches are not supported");
  if (!j.is_object()) return invalid(error_code::invalid_request, "a message must be an object");

  // The id first, so that the error reply of a request can carry it.
  Json id = nullptr;
  const auto id_field = j.find("id");
  const bool has_id = id_field != j.end();
  if (has_id) {
    if (!id_field->is_string() && !id_field->is_number_integer() && !id_field->is_null())
      return invalid(error_code::invalid_request, "id must be an integer or a string");
    id = std::move(*id_field);
  }
  const auto version = j.find("jsonrpc");
  if (version == j.end() || !version->is_string() || *version != "2.0")
    return invalid(error_code::invalid_request, "jsonrpc must be \"2.0\"", std::move(id));

  Incoming m;
  const auto method = j.find("method");
  if (method != j.end()) {
    if (!method->is_string())
      return invalid(error_code::invalid_request, "method must be a string", std::move(id));
    // A request's id may not be null; only a response's may.
    if (has_id && id.is_null())
      return invalid(error_code::invalid_request, "a request's id may not be null");
    const auto params = j.find("params");
    if (params != j.end()) {
      if (!params->is_object() && !params->is_array() && !params->is_null())
        return invalid(error_code::invalid_request, "params must be an object or an array",
                       std::move(id));
      m.params = std::move(*params);
    }
    m.kind = has_id ? Incoming::Kind::request : Incoming::Kind::notification;
    m.method = method->get<std::string>();
    m.id = std::move(id);
    return m;
  }
  const bool has_result = j.contains("result");
  const bool has_error = j.contains("error");
  if (!has_id || has_result == has_error)
    return invalid(error_code::invalid_request,
                   "neither a request, a notification nor a response", std::move(id));
  m.kind = Incoming::Kind::response;
  m.id = std::move(id);
  const char* const field = has_result ? "result" : "error";
  m.params = Json::object();
  m.params[field] = std::move(j[field]);
  return m;
}

Json make_response(const Json& id, Json result) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

Json make_error(const Json& id, int code, std::string_view message) {
  return Json{{"jsonrpc", "2.0"},
              {"id", id},
              {"error", {{"code", code}, {"message", std::string(message)}}}};
}

Json make_notification(std::string_view method, Json params) {
  Json n{{"jsonrpc", "2.0"}, {"method", std::string(method)}};
  if (!params.is_null()) n["params"] = std::move(params);
  return n;
}

// ---------------------------------------------------------------- documents

bool Document::is_utf8() const { return text.starts_with(byte_order_mark); }

void Document::set_text(std::string new_text) {
  text = std::move(new_text);
  line_starts.assign(1, 0);
  lone_crs = 0;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c == '\n') {
      line_starts.push_back(i + 1);
    } else if (c == '\r' && (i + 1 == n || text[i + 1] != '\n')) {
      line_starts.push_back(i + 1);
      ++lone_crs;
    }
  }
}

namespace {

// End of a line's text, before its line end.
std::size_t line_text_end(const Document& d, std::size_t line) {
  if (line + 1 >= d.line_starts.size()) return d.text.size();
  std::size_t end = d.line_starts[line + 1] - 1;
  if (d.text[end] == '\n' && end > d.line_starts[line] && d.text[end - 1] == '\r') --end;
  return end;
}

// The byte offset `units` UTF-16 units into [from, to), or `to` when the
// range is shorter.  A position inside a surrogate pair falls back to the
// character's start.
std::size_t advance_units(const Document& d, std::size_t from, std::size_t to,
                          std::size_t units) {
  if (!d.is_utf8()) return from + std::min(units, to - from);
  const std::string_view t = std::string_view(d.text).substr(0, to);
  std::size_t pos = from;
  while (pos < to && units > 0) {
    const Utf8Char ch = decode_utf8(t, pos);
    const auto n = std::size_t(utf16_units(ch));
    if (n > units) break;
    units -= n;
    pos += ch.bytes;
  }
  return pos;
}

// UTF-16 units of the characters that begin in [from, to) and end by `to`.
int count_units(const Document& d, std::size_t from, std::size_t to) {
  if (!d.is_utf8()) return int(std::min<std::size_t>(to - from, INT_MAX));
  std::size_t units = 0;
  for (std::size_t pos = from; pos < to;) {
    const Utf8Char ch = decode_utf8(d.text, pos);
    if (pos + ch.bytes > to) break;
    units += std::size_t(utf16_units(ch));
    pos += ch.bytes;
  }
  return int(std::min<std::size_t>(units, INT_MAX));
}

}  // namespace

std::size_t Document::offset_of(Position p) const {
  if (line_starts.empty()) return 0;
  if (p.line < 0) return 0;
  const auto line = std::size_t(p.line);
  if (line >= line_starts.size()) return text.size();
  if (p.character <= 0) return line_starts[line];
  return advance_units(*this, line_starts[line], line_text_end(*this, line),
                       std::size_t(p.character));
}

Position Document::position_of(std::size_t offset) const {
  if (line_starts.empty()) return {};
  offset = std::min(offset, text.size());
  const auto after = std::upper_bound(line_starts.begin(), line_starts.end(), offset);
  const auto line = std::size_t(after - line_starts.begin() - 1);
  offset = std::min(offset, line_text_end(*this, line));
  return {int(std::min<std::size_t>(line, INT_MAX)), count_units(*this, line_starts[line], offset)};
}

Position Document::position_at(int line, int byte_column) const {
  if (line_starts.empty()) return {};
  const auto wanted = std::size_t(std::max(line, 1) - 1);
  std::size_t start = 0;
  if (lone_crs == 0) {
    // Editor and compiler agree on the lines.
    if (wanted >= line_starts.size()) return position_of(text.size());
    start = line_starts[wanted];
  } else {
    for (std::size_t k = 0; k < wanted; ++k) {
      const std::size_t nl = text.find('\n', start);
      if (nl == std::string::npos) return position_of(text.size());
      start = nl + 1;
    }
  }
  std::size_t end = std::min(text.find('\n', start), text.size());
  if (end > start && end < text.size() && text[end - 1] == '\r') --end;
  const auto column = std::size_t(std::max(byte_column, 0));
  return position_of(start + std::min(column, end - start));
}

bool Document::apply_change(const Json& change) {
  if (!change.is_object()) return false;
  const auto new_text = change.find("text");
  if (new_text == change.end() || !new_text->is_string()) return false;
  const std::string& wire = new_text->get_ref<const std::string&>();
  const auto range = change.find("range");
  if (range == change.end() || range->is_null()) {
    set_text(from_wire(wire));
    return true;
  }
  if (!range->is_object() || !range->contains("start") || !range->contains("end"))
    return false;
  const auto from = read_position((*range)["start"]);
  const auto to = read_position((*range)["end"]);
  if (!from || !to || before(*to, *from)) return false;
  if (line_starts.empty()) set_text(std::move(text));
  const std::size_t a = offset_of(*from);
  const std::size_t b = std::max(a, offset_of(*to));

  // An edit at the very start may add or remove the byte-order mark, and
  // so change how every byte of the document reads: convert it all anew.
  const bool utf8 = is_utf8();
  if (a == 0) {
    const bool stays_utf8 = wire.empty() ? utf8 && text.compare(b, byte_order_mark.size(), byte_order_mark) == 0
                                         : wire.starts_with(byte_order_mark);
    if (stays_utf8 != utf8) {
      set_text(from_wire(wire + wire_text(std::string_view(text).substr(b), utf8)));
      return true;
    }
  }
  const std::string piece = utf8 ? wire : latin1_from_wire(wire);
  const std::size_t m = piece.size();
  const std::size_t window = a > 0 ? a - 1 : 0;
  const std::size_t old_lone = count_lone_crs(text, window, b);
  text.replace(a, b - a, piece);
  lone_crs = lone_crs - old_lone + count_lone_crs(text, window, a + m);

  // Line starts before `a` and after the old `b` keep their meaning (the
  // latter shifted); those in between are found again in the new text.
  const auto first = std::lower_bound(line_starts.begin(), line_starts.end(), a);
  const auto last = std::upper_bound(first, line_starts.end(), b);
  std::vector<std::size_t> middle;
  for (std::size_t p = a; p <= a + m; ++p)
    if (is_line_start(text, p)) middle.push_back(p);
  const auto tail = std::size_t(last - line_starts.begin());
  const auto head = std::size_t(first - line_starts.begin());
  for (std::size_t k = tail; k < line_starts.size(); ++k) line_starts[k] = line_starts[k] - b + a + m;
  line_starts.erase(line_starts.begin() + std::ptrdiff_t(head), line_starts.begin() + std::ptrdiff_t(tail));
  line_starts.insert(line_starts.begin() + std::ptrdiff_t(head), middle.begin(), middle.end());
  return true;
}

// ---------------------------------------------------------------- encodings

// JSON text is UTF-8.  A document that begins with U+FEFF is kept as those
// UTF-8 bytes, byte-order mark included, as the compiler reads such a
// file.  Any other document is stored as Latin-1, the compiler's reading
// of a file without the mark: each character becomes its byte, and a
// character above U+00FF, which a Latin-1 file cannot hold, becomes '?'
// (two of them for a character outside the Basic Multilingual Plane, one
// per UTF-16 unit, so that the positions the editor sends still fall on
// the same characters).  The compile then sees what saving the document
// as Latin-1 would give.  A text whose first characters are U+00EF
// U+00BB U+00BF is the one that cannot be kept: as bytes they read as
// the mark, exactly as they would from the saved file.
std::string from_wire(std::string_view utf8) {
  if (utf8.starts_with(byte_order_mark)) return std::string(utf8);
  return latin1_from_wire(utf8);
}

// The inverse: Latin-1 bytes to their characters, UTF-8 kept.  A byte that
// is not part of valid UTF-8 in a document with the mark stands for its
// Latin-1 character, so the result is always valid UTF-8 and each such
// byte is one UTF-16 unit, as the positions count it.
std::string to_wire(std::string_view source_text) {
  return wire_text(source_text, source_text.starts_with(byte_order_mark));
}


// ---------------------------------------------------------------- URIs

namespace {

constexpr std::string_view file_scheme = "file:";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

}  // namespace

// A file: URI's path, percent escapes decoded (a malformed escape is kept
// as written).  Any other URI, or one whose path would hold a NUL byte,
// is returned unchanged.
std::string uri_to_path(std::string_view uri) {
  if (uri.size() < file_scheme.size() ||
      !equal_ignoring_case(uri.substr(0, file_scheme.size()), file_scheme))
    return std::string(uri);
  std::string_view rest = uri.substr(file_scheme.size());
  rest = rest.substr(0, rest.find_first_of("?#"));
  std::string prefix;
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t slash = std::min(rest.find('/'), rest.size());
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !equal_ignoring_case(host, "localhost")) prefix = "//" + std::string(host);
    rest.remove_prefix(slash);
  }
  std::string path = prefix;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
        hex_value(rest[i + 2]) >= 0) {
      const char c = char(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2]));
      if (c == '\0') return std::string(uri);
      path += c;
      i += 2;
    } else {
      path += rest[i];
    }
  }
  return path.empty() ? "/" : path;
}

// A file: URI for a path (made absolute first), each byte other than
// letters, digits, "-._~" and "/" percent-encoded.
std::string path_to_uri(std::string_view path) {
  constexpr std::string_view hex = "0123456789ABCDEF";
  std::string absolute(path);
  if (!path.starts_with('/')) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(std::filesystem::path(absolute), ec);
    if (!ec) absolute = full.string();
  }
  std::string uri = "file://";
  for (char ch : absolute) {
    if (is_unreserved(ch) || ch == '/') {
      uri += ch;
    } else {
      const auto c = static_cast<unsigned char>(ch);
      uri += '%';
      uri += hex[c >> 4];
      uri += hex[c & 0xF];
    }
  }
  return uri;
}

// ---------------------------------------------------------------- parameters

const Json& member(const Json& object, const char* name) {
  if (!object.is_object() || !object.contains(name))
    throw BadParams{std::string("missing ") + name};
  return object[name];
}

std::string string_member(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_string()) throw BadParams{std::string(name) + " is not a string"};
  return value.get<std::string>();
}

std::int64_t integer_member(const Json& object, const char* name) {
  const Json& value = member(object, name);
  if (!value.is_number_integer())
    throw BadParams{std::string(name) + " is not an integer"};
  return value.get<std::int64_t>();
}

Position position_param(const Json& params) {
  const Json& at = member(params, "position");
  const std::int64_t line = integer_member(at, "line");
  const std::int64_t character = integer_member(at, "character");
  if (line < 0 || character < 0) throw BadParams{"negative position"};
  constexpr std::int64_t largest = 1 << 30;
  return {static_cast<int>(std::min(line, largest)),
          static_cast<int>(std::min(character, largest))};
}

}  // namespace qxl::lsp
