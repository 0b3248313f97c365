// The language server's message layer: framing, JSON-RPC checks, document
// positions in UTF-16 units, edits, encodings and URIs.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tools/lsp/protocol.h"

namespace qxl::lsp {
namespace {

using namespace std::string_literals;

// ------------------------------------------------------------------ framing

// Everything a reader yields for the input fed in one piece: bodies, and
// errors as "!error".
std::vector<std::string> drain(FrameReader& r) {
  std::vector<std::string> out;
  std::string error;
  while (true) {
    auto body = r.next(error);
    if (body) {
      out.push_back(*body);
    } else if (!error.empty()) {
      out.push_back("!" + error);
    } else {
      return out;
    }
  }
}

std::vector<std::string> read_all(std::string_view input) {
  FrameReader r;
  r.feed(input);
  return drain(r);
}

std::vector<std::string> bodies(const std::vector<std::string>& items) {
  std::vector<std::string> out;
  for (const auto& s : items)
    if (s.empty() || s[0] != '!') out.push_back(s);
  return out;
}

std::size_t errors(const std::vector<std::string>& items) {
  return items.size() - bodies(items).size();
}

TEST(LspFraming, WholePiecesAndSingleBytes) {
  const std::string input = frame(R"({"a":1})") + frame("") + frame("{\"b\":\"\xc3\xa9\"}");
  EXPECT_EQ(frame("xyz"), "Content-Length: 3\r\n\r\nxyz");
  const std::vector<std::string> expected{R"({"a":1})", "", "{\"b\":\"\xc3\xa9\"}"};
  EXPECT_EQ(read_all(input), expected);

  for (std::size_t piece : {1, 2, 5, 13, 64}) {
    FrameReader r;
    std::vector<std::string> got;
    for (std::size_t i = 0; i < input.size(); i += piece) {
      r.feed(std::string_view(input).substr(i, piece));
      for (auto& s : drain(r)) got.push_back(s);
    }
    EXPECT_EQ(got, expected) << "pieces of " << piece;
    EXPECT_EQ(r.at_end(), "");
  }
}

TEST(LspFraming, HeaderVariantsAreAccepted) {
  // Names in any case, a Content-Type, other headers, bare newlines,
  // blanks around the value and line ends between messages.
  const std::string input =
      "content-length: 2\r\n\r\n{}"
      "CONTENT-LENGTH:3\r\nContent-Type: application/vscode-jsonrpc; charset=utf-8\r\n\r\n[1]"
      "\r\n"
      "X-Other: x\nContent-Length: \t 4 \n\nnull"
      "Content-Length: 1\r\nContent-Length: 1\r\n\r\n7";
  EXPECT_EQ(read_all(input), (std::vector<std::string>{"{}", "[1]", "null", "7"}));
}

TEST(LspFraming, MalformedHeadersAreReportedAndSkipped) {
  const std::string good = frame(R"({"ok":1})");
  const std::vector<std::string> cases{
      "Content-Type: text/plain\r\n\r\n{\"x\":1}",   // no Content-Length
      "Content-Length: abc\r\n\r\n{}",               // not a number
      "Content-Length: -5\r\n\r\n{}",
      "Content-Length: 5x\r\n\r\n{}",
      "Content-Length:\r\n\r\n{}",                   // empty value
      "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}",  // two lengths
      "Content-Length: 7\r\n{\"a\":1}",              // no blank line
      "Content-Length: 7\r\n{\"a\":1}\r\n",
      "Content-Length 7\r\n\r\n{\"a\":1}",           // no colon
      "{\"jsonrpc\":\"2.0\"}",                       // no header at all
      ": 5\r\n\r\nabcde",                            // no name
  };
  for (const auto& bad : cases) {
    const auto items = read_all(bad + good);
    EXPECT_GE(errors(items), 1u) << bad;
    EXPECT_EQ(bodies(items), std::vector<std::string>{R"({"ok":1})"}) << bad;
    // The same, byte by byte: a reader never waits for a body that a bad
    // header already ruled out.
    FrameReader r;
    std::vector<std::string> got;
    for (char c : bad + good) {
      r.feed(std::string_view(&c, 1));
      for (auto& s : drain(r)) got.push_back(s);
    }
    EXPECT_EQ(bodies(got), std::vector<std::string>{R"({"ok":1})"}) << bad;
  }
  // A body straight after the header is refused before more input comes.
  FrameReader r;
  r.feed("Content-Length: 7\r\n{");
  EXPECT_GE(errors(drain(r)), 1u);
  r.feed("Content-Length: 99{");
  EXPECT_GE(errors(drain(r)), 1u);
}

TEST(LspFraming, EndlessHeaderIsCutOff) {
  FrameReader r;
  const std::string chunk(4096, 'a');
  std::size_t reported = 0;
  for (int i = 0; i < 64; ++i) {
    r.feed(chunk);
    reported += errors(drain(r));
    EXPECT_LE(r.pending.size() - r.start, max_header_size + chunk.size());
  }
  EXPECT_GE(reported, 1u);
  r.feed(frame("{}"));
  EXPECT_EQ(bodies(drain(r)), std::vector<std::string>{"{}"});
}

TEST(LspFraming, OversizedBodyIsSkippedWithoutBuffering) {
  FrameReader r;
  const std::size_t size = max_message_size + 1;
  r.feed("Content-Length: " + std::to_string(size) + "\r\n\r\n");
  EXPECT_EQ(errors(drain(r)), 1u);
  const std::string chunk(std::size_t{1} << 20, 'x');
  std::size_t sent = 0;
  while (sent + chunk.size() <= size) {
    r.feed(chunk);
    sent += chunk.size();
    EXPECT_TRUE(drain(r).empty());
    ASSERT_LT(r.pending.size(), chunk.size());
  }
  EXPECT_NE(r.at_end(), "");
  r.feed(std::string(size - sent, 'x') + frame("{}"));
  EXPECT_EQ(drain(r), std::vector<std::string>{"{}"});

  // A length past any size is refused too.
  FrameReader huge;
  huge.feed("Content-Length: 99999999999999999999999999\r\n\r\n{}");
  EXPECT_EQ(errors(drain(huge)), 1u);
  EXPECT_NE(huge.at_end(), "");
}

TEST(LspFraming, EndOfInputInTheMiddle) {
  for (std::string cut : {"Content-Len", "Content-Length: 10\r\n", "Content-Length: 10\r\n\r\n{\"a\""}) {
    FrameReader r;
    r.feed(frame("{}") + cut);
    EXPECT_EQ(drain(r), std::vector<std::string>{"{}"});
    EXPECT_NE(r.at_end(), "") << cut;
  }
  FrameReader r;
  r.feed(frame("{}") + "\r\n");
  drain(r);
  EXPECT_EQ(r.at_end(), "");
}

// ------------------------------------------------------------------ JSON-RPC

TEST(LspMessages, KindsOfMessage) {
  Incoming m = parse_message(R"({"jsonrpc":"2.0","id":7,"method":"initialize","params":{"a":1}})");
  EXPECT_EQ(m.kind, Incoming::Kind::request);
  EXPECT_EQ(m.id, 7);
  EXPECT_EQ(m.method, "initialize");
  EXPECT_EQ(m.params, Json({{"a", 1}}));

  m = parse_message(R"({"jsonrpc":"2.0","id":"x-1","method":"shutdown"})");
  EXPECT_EQ(m.kind, Incoming::Kind::request);
  EXPECT_EQ(m.id, "x-1");
  EXPECT_TRUE(m.params.is_null());

  m = parse_message(R"({"jsonrpc":"2.0","method":"exit","params":[1]})");
  EXPECT_EQ(m.kind, Incoming::Kind::notification);
  EXPECT_TRUE(m.id.is_null());
  EXPECT_EQ(m.params, Json::array({1}));

  m = parse_message(R"({"jsonrpc":"2.0","id":3,"result":null})");
  EXPECT_EQ(m.kind, Incoming::Kind::response);
  EXPECT_EQ(m.params, Json({{"result", nullptr}}));
  m = parse_message(R"({"jsonrpc":"2.0","id":null,"error":{"code":-1,"message":"m"}})");
  EXPECT_EQ(m.kind, Incoming::Kind::response);
  EXPECT_EQ(m.params["error"]["code"], -1);
}

TEST(LspMessages, ErrorClasses) {
  struct Case {
    std::string body;
    int code;
    Json id;
  };
  const std::vector<Case> cases{
      {"", error_code::parse_error, nullptr},
      {"{", error_code::parse_error, nullptr},
      {R"({"jsonrpc":"2.0","id":1,"method":"x"} trailing)", error_code::parse_error, nullptr},
      {"{\"jsonrpc\":\"2.0\",\"method\":\"\xff\"}", error_code::parse_error, nullptr},
      {std::string(100000, '[') + std::string(100000, ']'), error_code::parse_error, nullptr},
      {"[]", error_code::invalid_request, nullptr},
      {R"([{"jsonrpc":"2.0","method":"x"}])", error_code::invalid_request, nullptr},
      {"42", error_code::invalid_request, nullptr},
      {R"("text")", error_code::invalid_request, nullptr},
      {R"({"id":1,"method":"x"})", error_code::invalid_request, 1},
      {R"({"jsonrpc":"1.0","id":1,"method":"x"})", error_code::invalid_request, 1},
      {R"({"jsonrpc":2.0,"id":"a","method":"x"})", error_code::invalid_request, "a"},
      {R"({"jsonrpc":"2.0","id":1.5,"method":"x"})", error_code::invalid_request, nullptr},
      {R"({"jsonrpc":"2.0","id":[1],"method":"x"})", error_code::invalid_request, nullptr},
      {R"({"jsonrpc":"2.0","id":true,"method":"x"})", error_code::invalid_request, nullptr},
      {R"({"jsonrpc":"2.0","id":null,"method":"x"})", error_code::invalid_request, nullptr},
      {R"({"jsonrpc":"2.0","id":2,"method":5})", error_code::invalid_request, 2},
      {R"({"jsonrpc":"2.0","method":null})", error_code::invalid_request, nullptr},
      {R"({"jsonrpc":"2.0","id":2,"method":"x","params":"p"})", error_code::invalid_request, 2},
      {R"({"jsonrpc":"2.0"})", error_code::invalid_request, nullptr},
      {R"({"jsonrpc":"2.0","id":4})", error_code::invalid_request, 4},
      {R"({"jsonrpc":"2.0","id":4,"result":1,"error":{}})", error_code::invalid_request, 4},
  };
  for (const auto& c : cases) {
    const Incoming m = parse_message(c.body);
    EXPECT_EQ(m.kind, Incoming::Kind::invalid) << c.body.substr(0, 80);
    EXPECT_EQ(m.error, c.code) << c.body.substr(0, 80);
    EXPECT_EQ(m.id, c.id) << c.body.substr(0, 80);
    EXPECT_FALSE(m.message.empty());
  }
  // Nesting within the limit is fine.
  const std::string deep = std::string(100, '[') + std::string(100, ']');
  const std::string ok = R"({"jsonrpc":"2.0","method":"x","params":{"v":)" + deep + "}}";
  EXPECT_EQ(parse_message(ok).kind, Incoming::Kind::notification);
}

TEST(LspMessages, RepliesAndSerialization) {
  EXPECT_EQ(make_response(5, nullptr), Json::parse(R"({"jsonrpc":"2.0","id":5,"result":null})"));
  EXPECT_EQ(make_response("a", {{"x", 1}}),
            Json::parse(R"({"jsonrpc":"2.0","id":"a","result":{"x":1}})"));
  EXPECT_EQ(make_error(nullptr, error_code::parse_error, "bad"),
            Json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"bad"}})"));
  EXPECT_EQ(make_notification("window/logMessage", {{"type", 3}}),
            Json::parse(R"({"jsonrpc":"2.0","method":"window/logMessage","params":{"type":3}})"));
  EXPECT_EQ(make_notification("exit", nullptr), Json::parse(R"({"jsonrpc":"2.0","method":"exit"})"));
  // A message carrying non-UTF-8 bytes (a Latin-1 file name, say) still
  // goes out, as valid UTF-8.
  const std::string text = serialize(make_error(1, error_code::internal_error, "caf\xe9\0x"s));
  EXPECT_EQ(Json::parse(text)["error"]["message"], "caf\xef\xbf\xbd\0x"s);
  EXPECT_EQ(serialize(Json{{"a", 1}}), R"({"a":1})");
}

// ------------------------------------------------------------------ documents

Document doc(std::string text) {
  Document d;
  d.set_text(std::move(text));
  return d;
}

Position pos(int line, int character) { return {line, character}; }

void expect_position(Position p, int line, int character) {
  EXPECT_EQ(p.line, line);
  EXPECT_EQ(p.character, character);
}

TEST(LspDocument, LineStarts) {
  EXPECT_EQ(doc("").line_starts, std::vector<std::size_t>{0});
  EXPECT_EQ(doc("a\nb\r\nc\rd\r").line_starts, (std::vector<std::size_t>{0, 2, 5, 7, 9}));
  EXPECT_EQ(doc("a\nb\r\nc\rd\r").lone_crs, 2u);
  EXPECT_EQ(doc("x\n").line_starts, (std::vector<std::size_t>{0, 2}));
}

TEST(LspDocument, Latin1BytesAreOneUnitEach) {
  const Document d = doc("caf\xe9 = 1;\n\xff\0b\n"s);
  EXPECT_FALSE(d.is_utf8());
  EXPECT_EQ(d.offset_of(pos(0, 4)), 4u);
  expect_position(d.position_of(5), 0, 5);
  EXPECT_EQ(d.offset_of(pos(1, 2)), 12u);  // past the NUL byte
  expect_position(d.position_of(12), 1, 2);
  EXPECT_EQ(to_wire(d.text), "caf\xc3\xa9 = 1;\n\xc3\xbf\0b\n"s);
}

TEST(LspDocument, Utf8AfterByteOrderMark) {
  // The mark is one unit; é two bytes, 中 three, 😀 four bytes and two units.
  const Document d = doc("\xef\xbb\xbf" "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z\nq");
  EXPECT_TRUE(d.is_utf8());
  const std::vector<std::pair<int, std::size_t>> units_to_bytes{
      {0, 0}, {1, 3}, {2, 4}, {3, 6}, {4, 9}, {6, 13}, {7, 14}, {99, 14}};
  for (auto [units, bytes] : units_to_bytes) {
    EXPECT_EQ(d.offset_of(pos(0, units)), bytes) << units;
    if (units <= 7) expect_position(d.position_of(bytes), 0, units);
  }
  // Inside the surrogate pair the position falls back to the character.
  EXPECT_EQ(d.offset_of(pos(0, 5)), 9u);
  // A byte offset inside a character is that character's position.
  expect_position(d.position_of(10), 0, 4);
  expect_position(d.position_of(5), 0, 2);
  EXPECT_EQ(d.offset_of(pos(1, 1)), 16u);
}

TEST(LspDocument, InvalidUtf8CountsOneUnitPerByte) {
  // A stray continuation byte, a cut sequence, an overlong NUL, an encoded
  // surrogate, a byte that never starts one, and a NUL.
  const Document d = doc("\xef\xbb\xbf\x80" "\xe4\xb8" "\xc0\x80" "\xed\xa0\x80" "\xff" "\0" "x"s);
  const std::size_t n = d.text.size();
  expect_position(d.position_of(n - 1), 0, int(n - 1 - 3 + 1));
  EXPECT_EQ(d.offset_of(pos(0, int(n - 3))), n - 1);
  const std::string wire = to_wire(d.text);
  EXPECT_NO_THROW((void)Json(wire).dump());
  EXPECT_EQ(wire, "\xef\xbb\xbf\xc2\x80\xc3\xa4\xc2\xb8\xc3\x80\xc2\x80\xc3\xad\xc2\xa0\xc2\x80\xc3\xbf"s +
                      "\0x"s);
}

TEST(LspDocument, PositionsOutsideAreClamped) {
  const Document d = doc("ab\r\ncd\n");
  EXPECT_EQ(d.offset_of(pos(0, 10)), 2u);   // the end of the line, before "\r\n"
  EXPECT_EQ(d.offset_of(pos(1, 2)), 6u);
  EXPECT_EQ(d.offset_of(pos(2, 0)), 7u);    // the empty last line
  EXPECT_EQ(d.offset_of(pos(3, 0)), 7u);    // past the last line
  EXPECT_EQ(d.offset_of(pos(1000000, 5)), 7u);
  EXPECT_EQ(d.offset_of(pos(-1, 3)), 0u);
  EXPECT_EQ(d.offset_of(pos(1, -4)), 4u);
  expect_position(d.position_of(3), 0, 2);  // between "\r" and "\n"
  expect_position(d.position_of(999), 2, 0);
  Document empty;
  EXPECT_EQ(empty.offset_of(pos(3, 3)), 0u);
  expect_position(empty.position_of(5), 0, 0);
  expect_position(empty.position_at(2, 2), 0, 0);
}

TEST(LspDocument, CompilerPositions) {
  const Document d = doc("\xef\xbb\xbfx\xc3\xa9y\r\nint z;\n");
  expect_position(d.position_at(1, 3), 0, 1);  // x, after the mark
  expect_position(d.position_at(1, 6), 0, 3);  // y, after the two bytes of é
  expect_position(d.position_at(1, 99), 0, 4); // clamped before "\r\n"
  expect_position(d.position_at(2, 4), 1, 4);
  expect_position(d.position_at(3, 0), 2, 0);
  expect_position(d.position_at(9, 3), 2, 0);
  expect_position(d.position_at(0, -2), 0, 0);
  // A lone carriage return ends a line for the editor only.
  const Document cr = doc("ab\rcd\nef");
  EXPECT_EQ(cr.line_starts.size(), 3u);
  expect_position(cr.position_at(1, 4), 1, 1);  // "d" is on the compiler's line 1
  expect_position(cr.position_at(2, 1), 2, 1);
  expect_position(cr.position_at(3, 0), 2, 2);
}

// The reference for edits: the editor's own view, UTF-16 units with lines
// ended by "\n", "\r\n" or "\r".  A Latin-1 document keeps '?' for what
// Latin-1 lacks, as the server does.
struct Model {
  std::u16string text;

  bool utf8() const { return !text.empty() && text[0] == 0xFEFF; }

  void settle() {
    if (utf8()) return;
    for (auto& u : text)
      if (u > 0xFF) u = u'?';
  }

  std::size_t index_of(Position p) const {
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 == text.size() || text[i + 1] != u'\n')))
        starts.push_back(i + 1);
    if (p.line < 0) return 0;
    if (std::size_t(p.line) >= starts.size()) return text.size();
    const auto line = std::size_t(p.line);
    const std::size_t start = starts[line];
    std::size_t end = text.size();
    if (line + 1 < starts.size()) {
      end = starts[line + 1] - 1;
      if (text[end] == u'\n' && end > start && text[end - 1] == u'\r') --end;
    }
    std::size_t i = start + std::min<std::size_t>(std::size_t(std::max(p.character, 0)), end - start);
    if (utf8() && i > start && i < end && text[i] >= 0xDC00 && text[i] <= 0xDFFF) --i;
    return i;
  }

  std::string bytes() const {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      std::uint32_t c = text[i];
      if (!utf8()) {
        out += char(c);
        continue;
      }
      if (c >= 0xD800 && c <= 0xDBFF) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
      if (c < 0x80) {
        out += char(c);
      } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6)), out += char(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12)), out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
      } else {
        out += char(0xF0 | (c >> 18)), out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F)), out += char(0x80 | (c & 0x3F));
      }
    }
    return out;
  }
};

// Pieces of text as UTF-16 and as the UTF-8 the editor sends.
struct Piece {
  std::u16string units;
  std::string wire;
};

const std::vector<Piece> pieces{
    {u"a", "a"},       {u"xyz", "xyz"},     {u"\n", "\n"},         {u"\r", "\r"},
    {u"\r\n", "\r\n"}, {u"\u00e9", "\xc3\xa9"}, {u"\u4e2d", "\xe4\xb8\xad"},
    {u"\U0001F600", "\xf0\x9f\x98\x80"},    {u"\u00ff", "\xc3\xbf"},
    {std::u16string(1, u'\0'), "\0"s},     {u"", ""},           {u"int x;\n", "int x;\n"},
};

Json change(Position from, Position to, const std::string& text) {
  return {{"range",
           {{"start", {{"line", from.line}, {"character", from.character}}},
            {"end", {{"line", to.line}, {"character", to.character}}}}},
          {"text", text}};
}

void expect_consistent(const Document& d, const Model& m, int step) {
  ASSERT_EQ(d.text, m.bytes()) << "step " << step;
  const Document fresh = doc(d.text);
  ASSERT_EQ(d.line_starts, fresh.line_starts) << "step " << step;
  ASSERT_EQ(d.lone_crs, fresh.lone_crs) << "step " << step;
}

void run_edits(const std::u16string& start_units, const std::string& start_wire, unsigned seed) {
  std::mt19937 random(seed);
  auto pick = [&](int n) { return int(random() % unsigned(n)); };
  Model m{start_units};
  m.settle();
  Document d;
  d.set_text(from_wire(start_wire));
  expect_consistent(d, m, 0);
  for (int step = 1; step <= 1500; ++step) {
    const int lines = int(d.line_starts.size());
    Position a{pick(lines + 2), pick(12)};
    Position b{a.line + pick(3), pick(12)};
    if (b.line == a.line && b.character < a.character) std::swap(a.character, b.character);
    if (pick(20) == 0) a = b = {0, 0};
    std::u16string units;
    std::string wire;
    for (int k = pick(4); k > 0; --k) {
      const Piece& p = pieces[std::size_t(pick(int(pieces.size())))];
      units += p.units;
      wire += p.wire;
    }
    // Now and then the mark goes in or out at the start.
    if (a.line <= 0 && a.character <= 0 && pick(4) == 0) {
      units.insert(0, 1, u'\uFEFF');
      wire.insert(0, "\xef\xbb\xbf");
    }
    const std::size_t ia = m.index_of(a);
    const std::size_t ib = std::max(ia, m.index_of(b));
    ASSERT_TRUE(d.apply_change(change(a, b, wire))) << "step " << step;
    m.text.replace(ia, ib - ia, units);
    m.settle();
    expect_consistent(d, m, step);
    // Every position of the model maps to the same place and back.
    const Position probe{pick(lines + 1), pick(10)};
    const std::size_t offset = d.offset_of(probe);
    EXPECT_EQ(d.offset_of(d.position_of(offset)), offset) << "step " << step;
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(LspDocument, RandomEditsMatchTheEditorsView) {
  run_edits(u"int a;\r\nint b;\rx\n\u00e9\n", "int a;\r\nint b;\rx\n\xc3\xa9\n", 1);
  run_edits(u"\uFEFFint \u4e2d;\n\U0001F600\r\n", "\xef\xbb\xbfint \xe4\xb8\xad;\n\xf0\x9f\x98\x80\r\n", 2);
  run_edits(u"", "", 3);
}

TEST(LspDocument, EditsAcrossLines) {
  Document d = doc("one\ntwo\nthree\n");
  ASSERT_TRUE(d.apply_change(change(pos(0, 1), pos(2, 2), "X")));  // joins lines
  EXPECT_EQ(d.text, "oXree\n");
  ASSERT_TRUE(d.apply_change(change(pos(0, 1), pos(0, 1), "a\nb\r\n")));  // splits them
  EXPECT_EQ(d.text, "oa\nb\r\nXree\n");
  EXPECT_EQ(d.line_starts, (std::vector<std::size_t>{0, 3, 6, 11}));
  // A "\r" at the end of one line and a "\n" brought next to it become one
  // line end.
  d = doc("a\rb\nc");
  ASSERT_TRUE(d.apply_change(change(pos(1, 0), pos(1, 1), "")));
  EXPECT_EQ(d.text, "a\r\nc");
  EXPECT_EQ(d.line_starts, (std::vector<std::size_t>{0, 3}));
  EXPECT_EQ(d.lone_crs, 0u);
  // A whole-text change replaces everything, in the document's encoding.
  ASSERT_TRUE(d.apply_change({{"text", "caf\xc3\xa9 \xe4\xb8\xad"}}));
  EXPECT_EQ(d.text, "caf\xe9 ?");
  ASSERT_TRUE(d.apply_change({{"text", "\xef\xbb\xbf\xe4\xb8\xad"}, {"range", nullptr}}));
  EXPECT_EQ(d.text, "\xef\xbb\xbf\xe4\xb8\xad");
}

TEST(LspDocument, TheMarkDecidesTheEncoding) {
  Document d = doc("caf\xe9\n");
  ASSERT_TRUE(d.apply_change(change(pos(0, 0), pos(0, 0), "\xef\xbb\xbf")));
  EXPECT_EQ(d.text, "\xef\xbb\xbf" "caf\xc3\xa9\n");
  ASSERT_TRUE(d.apply_change(change(pos(0, 4), pos(0, 4), "\xe4\xb8\xad")));
  EXPECT_EQ(d.text, "\xef\xbb\xbf" "caf\xe4\xb8\xad\xc3\xa9\n");
  ASSERT_TRUE(d.apply_change(change(pos(0, 0), pos(0, 1), "")));
  EXPECT_EQ(d.text, "caf?\xe9\n");
  EXPECT_FALSE(d.is_utf8());
}

TEST(LspDocument, MalformedChangesLeaveTheText) {
  const std::vector<Json> bad{
      nullptr,
      Json::array(),
      {{"range", nullptr}},
      {{"text", 5}},
      {{"text", "x"}, {"range", 3}},
      {{"text", "x"}, {"range", {{"start", {{"line", 0}, {"character", 0}}}}}},
      {{"text", "x"}, {"range", {{"start", {{"line", 0}}}, {"end", {{"line", 0}, {"character", 0}}}}}},
      change(pos(0, 2), pos(0, 1), "x"),   // end before start
      change(pos(1, 0), pos(0, 3), "x"),
      change(pos(-1, 0), pos(0, 0), "x"),  // negative
      {{"text", "x"},
       {"range", {{"start", {{"line", "0"}, {"character", 0}}}, {"end", {{"line", 0}, {"character", 0}}}}}},
      {{"text", "x"},
       {"range", {{"start", {{"line", 0.5}, {"character", 0}}}, {"end", {{"line", 0}, {"character", 0}}}}}},
  };
  for (const Json& c : bad) {
    Document d = doc("ab\ncd");
    EXPECT_FALSE(d.apply_change(c)) << c.dump();
    EXPECT_EQ(d.text, "ab\ncd");
    EXPECT_EQ(d.line_starts, (std::vector<std::size_t>{0, 3}));
  }
  // Positions past the document are clamped, not refused.
  Document d = doc("ab\ncd");
  ASSERT_TRUE(d.apply_change(change(pos(1, 1), pos(50, 50), "!")));
  EXPECT_EQ(d.text, "ab\nc!");
  const Json huge = {{"text", "<"},
                     {"range",
                      {{"start", {{"line", 0}, {"character", 18446744073709551615u}}},
                       {"end", {{"line", 99999999999}, {"character", 0}}}}}};
  ASSERT_TRUE(d.apply_change(huge));
  EXPECT_EQ(d.text, "ab<");
}

// ------------------------------------------------------------------ encodings

TEST(LspEncoding, FromAndToTheWire) {
  EXPECT_EQ(from_wire("caf\xc3\xa9"), "caf\xe9");
  EXPECT_EQ(from_wire("\xe4\xb8\xad!"), "?!");
  EXPECT_EQ(from_wire("<\xf0\x9f\x98\x80>"), "<?" "?>");  // two units, two marks
  EXPECT_EQ(from_wire("\0\xc2\x80"s), "\0\x80"s);
  EXPECT_EQ(from_wire("\xef\xbb\xbf\xe4\xb8\xad"), "\xef\xbb\xbf\xe4\xb8\xad");
  EXPECT_EQ(to_wire("caf\xe9\xff"), "caf\xc3\xa9\xc3\xbf");
  EXPECT_EQ(to_wire("\xef\xbb\xbf\xe4\xb8\xad\xf0\x9f\x98\x80"), "\xef\xbb\xbf\xe4\xb8\xad\xf0\x9f\x98\x80");
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, char(b));
    EXPECT_EQ(from_wire(to_wire(one)), one) << b;
  }
}

// ------------------------------------------------------------------ URIs

TEST(LspUri, PathsAndUris) {
  EXPECT_EQ(uri_to_path("file:///home/u/a.q"), "/home/u/a.q");
  EXPECT_EQ(uri_to_path("file:///home/u/my%20dir/caf%C3%A9.q"), "/home/u/my dir/caf\xc3\xa9.q");
  EXPECT_EQ(uri_to_path("FILE://localhost/x%2fy"), "/x/y");
  EXPECT_EQ(uri_to_path("file:///a%zzb%4"), "/a%zzb%4");
  EXPECT_EQ(uri_to_path("file:///a.q?x=1#frag"), "/a.q");
  EXPECT_EQ(uri_to_path("file://server/share/a.q"), "//server/share/a.q");
  EXPECT_EQ(uri_to_path("file:/a/b"), "/a/b");
  EXPECT_EQ(uri_to_path("untitled:Untitled-1"), "untitled:Untitled-1");
  EXPECT_EQ(uri_to_path("file:///a%00b"), "file:///a%00b");
  EXPECT_EQ(uri_to_path(""), "");

  EXPECT_EQ(path_to_uri("/home/u/my dir/caf\xc3\xa9.q"), "file:///home/u/my%20dir/caf%C3%A9.q");
  EXPECT_EQ(path_to_uri("/a/#b%c?.q"), "file:///a/%23b%25c%3F.q");
  EXPECT_TRUE(path_to_uri("rel/a.q").starts_with("file:///"));
  EXPECT_TRUE(path_to_uri("rel/a.q").ends_with("/rel/a.q"));
  for (const std::string p : {"/x y/\xe9\xff.q", "/a+b/c&d=e", "/%41/~_-."})
    EXPECT_EQ(uri_to_path(path_to_uri(p)), p);
}

}  // namespace
}  // namespace qxl::lsp
