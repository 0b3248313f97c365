#include "source/constants.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytecode/writer.h"
#include "driver/options.h"
#include "expression_support.h"
#include "test_support.h"

namespace qxl {
namespace {

using test::run_on_text;

// What decode_char made of a constant's text, starting just after the
// opening quote.
struct Decoded {
  int status = 0;
  std::string console;
  std::int32_t value = -1;
  std::size_t cursor = 0;
};

Decoded decode(std::string_view text, bool names_available = true,
               std::size_t start = 1) {
  Decoded d;
  d.cursor = start;
  const test::RunResult r = run_on_text("", [&] {
    settings.unicode_names = names_available;
    d.value = decode_char(text, d.cursor);
  });
  d.status = r.status;
  d.console = r.console;
  return d;
}

// The value of the first character of `text`, which must decode cleanly
// and leave the cursor at `cursor_after`.
void expect_char(std::string_view text, std::int32_t value,
                 std::size_t cursor_after) {
  const Decoded d = decode(text);
  EXPECT_EQ(d.status, 0) << text << ": " << d.console;
  EXPECT_EQ(d.console, "") << text;
  EXPECT_EQ(d.value, value) << text;
  EXPECT_EQ(d.cursor, cursor_after) << text;
}

// The message that decoding the first character of `text` ends the
// compile with.
std::string error_of(std::string_view text, bool names_available = true) {
  const Decoded d = decode(text, names_available);
  EXPECT_EQ(d.status, 1) << text << " decoded to " << d.value;
  return d.console;
}

std::string line(const std::string& message) {
  return "test.q 1: " + message + "\n";
}

TEST(DecodeChar, PlainCharactersAndUtf8) {
  expect_char("'A'", 65, 2);
  expect_char("'ab'", 97, 2);  // only the first character counts
  expect_char("' '", 32, 2);
  expect_char("'\x7f'", 127, 2);
  expect_char("'\xc3\xa9'", 233, 3);
  expect_char("'\xc2\x80'", 0x80, 3);
  expect_char("'\xdf\xbf'", 0x7FF, 3);
  expect_char("'\xe2\x82\xac'", 0x20AC, 4);
  expect_char("'\xef\xbf\xbf'", 0xFFFF, 4);
  // Overlong forms and surrogates are not checked.
  expect_char("'\xc0\x80'", 0, 3);
  expect_char("'\xed\xa0\x80'", 0xD800, 4);
}

TEST(DecodeChar, BadUtf8) {
  // Two-byte form: both bytes shown in hexadecimal, the closing quote or
  // the end of the text included.
  EXPECT_EQ(error_of("'\xc3" "A'"),
            line("bad UTF-8 character in constant (1, c3 41)"));
  EXPECT_EQ(error_of("'\xc3'"),
            line("bad UTF-8 character in constant (1, c3 27)"));
  EXPECT_EQ(error_of("'\xdf\xc3\xa9'"),
            line("bad UTF-8 character in constant (1, df c3)"));
  EXPECT_EQ(error_of("'\xc3"),
            line("bad UTF-8 character in constant (1, c3 0)"));
  // Three-byte form: either continuation byte wrong.
  EXPECT_EQ(error_of("'\xe2" "A\x82'"),
            line("bad UTF-8 character in constant (2)"));
  EXPECT_EQ(error_of("'\xe2\x82" "A'"),
            line("bad UTF-8 character in constant (2)"));
  EXPECT_EQ(error_of("'\xe2\x82'"),
            line("bad UTF-8 character in constant (2)"));
  EXPECT_EQ(error_of("'\xe2\x82"),
            line("bad UTF-8 character in constant (2)"));
  // Four-byte forms and stray continuation bytes.
  EXPECT_EQ(error_of("'\xf0\x9f\x98\x80'"),
            line("bad UTF-8 character in constant (3)"));
  EXPECT_EQ(error_of("'\xa9'"), line("bad UTF-8 character in constant (3)"));
  EXPECT_EQ(error_of("'\x80'"), line("bad UTF-8 character in constant (3)"));
  EXPECT_EQ(error_of("'\xff'"), line("bad UTF-8 character in constant (3)"));
}

TEST(DecodeChar, LetterEscapes) {
  expect_char(R"('\b')", 8, 3);
  expect_char(R"('\f')", 12, 3);
  expect_char(R"('\n')", 10, 3);
  expect_char(R"('\r')", 13, 3);
  expect_char(R"('\t')", 9, 3);
  // Every other character stands for itself, letters included.
  expect_char(R"('\a')", 'a', 3);
  expect_char(R"('\v')", 'v', 3);
  expect_char(R"('\e')", 'e', 3);
  expect_char(R"('\X')", 'X', 3);
  expect_char(R"('\U')", 'U', 3);
  expect_char(R"('\\')", '\\', 3);
  expect_char(R"('\'')", '\'', 3);
  expect_char(R"('\"')", '"', 3);
  expect_char(R"('\{')", '{', 3);
  // ... a character written in UTF-8 as well.
  expect_char("'\\\xc3\xa9'", 233, 4);
}

TEST(DecodeChar, HexEscapes) {
  expect_char(R"('\x41')", 65, 5);
  expect_char(R"('\x414')", 65, 5);  // the 4 is the next character
  expect_char(R"('\xfF')", 255, 5);
  expect_char(R"('\x7')", 7, 4);
  expect_char(R"('\x0A')", 10, 5);
  // No digits: 0, and nothing more is taken.
  expect_char(R"('\xg')", 0, 3);
  expect_char(R"('\x')", 0, 3);
  expect_char(R"('\u00e9')", 233, 7);
  expect_char(R"('\u00e91')", 233, 7);
  expect_char(R"('\u41')", 65, 5);
  expect_char(R"('\uFFFF')", 0xFFFF, 7);
  expect_char(R"('\uabcd')", 0xABCD, 7);
  expect_char(R"('\u')", 0, 3);
}

TEST(DecodeChar, BracedHexEscapes) {
  expect_char(R"('\u{1F}')", 31, 7);
  expect_char(R"('\x{1F}')", 31, 7);
  expect_char(R"('\x{}')", 0, 5);
  expect_char(R"('\u{ffFF}')", 0xFFFF, 9);
  expect_char(R"('\x{0041}B')", 65, 9);
  const std::string bad = line("bad hex escape sequence");
  EXPECT_EQ(error_of(R"('\x{12345}')"), bad);  // a fifth digit
  EXPECT_EQ(error_of(R"('\u{12')"), bad);      // no closing brace
  EXPECT_EQ(error_of(R"('\x{g}')"), bad);
  EXPECT_EQ(error_of(R"('\x{1 }')"), bad);
  EXPECT_EQ(error_of(R"('\x{)"), bad);  // the text ends
}

TEST(DecodeChar, OctalEscapes) {
  expect_char(R"('\101')", 65, 5);
  expect_char(R"('\0')", 0, 3);
  expect_char(R"('\00')", 0, 4);
  expect_char(R"('\7')", 7, 3);
  expect_char(R"('\12a')", 10, 4);
  expect_char(R"('\1014')", 65, 5);  // at most three digits
  // 8 and 9 count as digits, and nothing is masked.
  expect_char(R"('\9')", 9, 3);
  expect_char(R"('\8')", 8, 3);
  expect_char(R"('\18')", 16, 4);
  expect_char(R"('\999')", 9 * 64 + 9 * 8 + 9, 5);
  expect_char(R"('\777')", 511, 5);
}

TEST(DecodeChar, NamedCharacters) {
  expect_char(R"('\x[LATIN SMALL LETTER E WITH ACUTE]')", 233, 36);
  expect_char(R"('\u[LATIN SMALL LETTER E WITH ACUTE]')", 233, 36);
  expect_char(R"('\x[SPACE]x')", 32, 10);
  // Beyond 0xFFFF: decode_char gives the whole code point.
  expect_char(R"('\x[GRINNING FACE]')", 0x1F600, 18);
  expect_char(R"('\u[MUSICAL SYMBOL G CLEF]')", 0x1D11E, 26);
}

TEST(DecodeChar, NamedCharacterErrors) {
  const std::string unclosed = line("bad Unicode escape sequence");
  EXPECT_EQ(error_of(R"('\x[LATIN SMALL LETTER A')"), unclosed);
  EXPECT_EQ(error_of(R"('\x[LATIN SMALL LETTER A)"), unclosed);
  EXPECT_EQ(error_of("'\\x[LATIN SMALL\nLETTER A]'"), unclosed);
  // A zero byte ends the name as the end of the text does: the name is
  // never looked up cut short.
  EXPECT_EQ(error_of(std::string_view("'\\x[SPACE\0]'", 12)), unclosed);

  EXPECT_EQ(error_of(R"('\x[NO SUCH CHARACTER]')"),
            line("bad character name NO SUCH CHARACTER"));
  EXPECT_EQ(error_of(R"('\x[100%s%n]')"), line("bad character name 100%s%n"));
  EXPECT_EQ(error_of(R"('\u[]')"), line("bad character name "));

  // Without the name data every name is refused, good or bad; a missing
  // bracket is still reported as such.
  const std::string unsupported =
      line("character names not supported: Unicode data file not found");
  EXPECT_EQ(error_of(R"('\x[SPACE]')", false), unsupported);
  EXPECT_EQ(error_of(R"('\u[NO SUCH CHARACTER]')", false), unsupported);
  EXPECT_EQ(error_of(R"('\u[SPACE')", false), unclosed);
  // Other escapes do not need the data.
  const Decoded plain = decode(R"('\u00e9')", false);
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.value, 233);
}

TEST(DecodeChar, CharacterNameLengthLimit) {
  const std::string longest(max_character_name_length, 'A');
  EXPECT_EQ(error_of("'\\x[" + longest + "]'"),
            line("bad character name " + longest));
  const std::string too_long = longest + "A";
  const std::string message =
      line("character name too long (more than 111 characters)");
  EXPECT_EQ(error_of("'\\x[" + too_long + "]'"), message);
  EXPECT_EQ(error_of("'\\x[" + std::string(1990, 'B') + "]'"), message);
  // A long name without its bracket is a malformed escape first.
  EXPECT_EQ(error_of("'\\x[" + std::string(1990, 'B') + "'"),
            line("bad Unicode escape sequence"));
}

// Every short byte sequence decodes or is reported, the cursor never moves
// past the end and always moves forward while there is text left.
TEST(DecodeChar, NeverReadsOrMovesBeyondTheText) {
  const std::string alphabet = std::string("\\xu{}[]09aA'\n") + '\0' +
                               "\xc3\xe2\x80\xf0";
  std::vector<std::string> texts{""};
  for (char a : alphabet) {
    texts.emplace_back(1, a);
    for (char b : alphabet) {
      texts.push_back(std::string{a, b});
      for (char c : alphabet) texts.push_back(std::string{a, b, c});
    }
  }
  for (const std::string& text : texts) {
    for (std::size_t start = 0; start <= text.size(); ++start) {
      const Decoded d = decode(text, true, start);
      if (d.status != 0) continue;
      EXPECT_LE(d.cursor, text.size());
      if (start < text.size()) {
        EXPECT_GT(d.cursor, start);
      } else {
        EXPECT_EQ(d.cursor, start);
        EXPECT_EQ(d.value, 0);
      }
    }
  }
}

TEST(CharConstantValue, FirstCharacterOfTheText) {
  EXPECT_EQ(char_constant_value("'A'"), 65);
  EXPECT_EQ(char_constant_value("'ab'"), 97);
  EXPECT_EQ(char_constant_value(R"('\x414')"), 65);
  EXPECT_EQ(char_constant_value(R"('\777')"), 511);
  EXPECT_EQ(char_constant_value(R"('\'')"), '\'');
  EXPECT_EQ(char_constant_value("'\xc3\xa9'"), 233);
  // Nothing between the quotes, or no text at all.
  EXPECT_EQ(char_constant_value("''"), 0);
  EXPECT_EQ(char_constant_value("'"), 0);
  EXPECT_EQ(char_constant_value(""), 0);
}

class StringExpressionTest : public ::testing::Test, public test::ExpressionFixture {
 protected:
  void SetUp() override {
    start();
    settings.unicode_names = true;
  }
  void TearDown() override { finish(); }

  std::u16string decoded(std::string_view text) {
    const Node* n = parse(text);
    EXPECT_NE(n, nullptr) << text << ": " << console;
    return n != nullptr ? decode_string_expression(n) : u"<error>";
  }
};

TEST_F(StringExpressionTest, LiteralsInSourceOrder) {
  EXPECT_EQ(decoded(R"("")"), u"");
  EXPECT_EQ(decoded(R"("abc")"), u"abc");
  EXPECT_EQ(decoded(R"("ab" "c\x41" "" "\u{1F}z")"), u"abcA\x1Fz");
  EXPECT_EQ(decoded(R"("1" "2" "3" "4")"), u"1234");
  // Leftover digits are characters of their own.
  EXPECT_EQ(decoded(R"("\x414\1014\u00e91")"), u"A4A4\u00e91");
  // A closing quote escaped inside is a character, not the end.
  EXPECT_EQ(decoded(R"("a\"b\\")"), u"a\"b\\");
}

TEST_F(StringExpressionTest, CharactersTruncatedTo16Bits) {
  EXPECT_EQ(decoded(R"("\x[GRINNING FACE]\x[MUSICAL SYMBOL G CLEF]")"),
            u"\xF600\xD11E");
  EXPECT_EQ(decoded(R"("\777\x[LATIN SMALL LETTER E WITH ACUTE]")"),
            u"\x01FF\u00e9");
}

TEST_F(StringExpressionTest, LiteralsAreDecodedUpToTheirClosingQuote) {
  // A UTF-8 sequence cut short by a literal's closing quote is malformed;
  // it does not run on into the next literal.
  const Node* n = parse("\"ab\xc3\" \"\xa9\"");
  ASSERT_NE(n, nullptr) << console;
  int status = 0;
  try {
    decode_string_expression(n);
  } catch (const CompileExit& e) {
    status = e.status;
  }
  EXPECT_EQ(status, 1);
  EXPECT_EQ(console, "e.q 1: bad UTF-8 character in constant (1, c3 22)\n");
}

// Runs `body` on `text` with the first token read and character names
// available; returns what the run printed, and its status.
template <typename Body>
test::RunResult with_tokens(std::string_view text, Body&& body) {
  return run_on_text(text, [&] {
    settings.unicode_names = true;
    next_token();
    body();
  });
}

TEST(EmitCharArrayString, TerminatedWhenThereIsRoom) {
  ByteBuffer record{0xEE};
  std::int32_t m = 0;
  TokenCode after = 0;
  const test::RunResult r = with_tokens(R"("a" "b";)", [&] {
    m = emit_char_array_string(record, 3);
    after = lexer.current_token;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.console, "");
  EXPECT_EQ(m, 3);
  EXPECT_EQ(record, (ByteBuffer{0xEE, 'a', 0, 'b', 0, 0, 0}));
  EXPECT_EQ(after, tok::semicolon);

  // Without a size the count includes the zero.
  record.clear();
  with_tokens(R"("ab")", [&] { m = emit_char_array_string(record, -1); });
  EXPECT_EQ(m, 3);
  EXPECT_EQ(record, (ByteBuffer{'a', 0, 'b', 0, 0, 0}));

  record.clear();
  with_tokens(R"("")", [&] { m = emit_char_array_string(record, -1); });
  EXPECT_EQ(m, 1);
  EXPECT_EQ(record, (ByteBuffer{0, 0}));
}

TEST(EmitCharArrayString, ExactFitIsNotTerminated) {
  ByteBuffer record;
  std::int32_t m = 0;
  const test::RunResult r = with_tokens(R"("ab" x)", [&] {
    m = emit_char_array_string(record, 2);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.console, line("warning: string will not be null terminated"));
  EXPECT_EQ(m, 2);
  EXPECT_EQ(record, (ByteBuffer{'a', 0, 'b', 0}));
}

TEST(EmitCharArrayString, TooLongForTheArray) {
  ByteBuffer record;
  const test::RunResult r = with_tokens(R"("ab")", [&] {
    emit_char_array_string(record, 1);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.console, line("initialization too long"));

  // An empty string still needs room for its zero.
  const test::RunResult empty = with_tokens(R"("")", [&] {
    emit_char_array_string(record, 0);
  });
  EXPECT_EQ(empty.console, line("warning: string will not be null terminated"));
  EXPECT_EQ(empty.status, 0);
}

TEST(EmitCharArrayString, UnitsAreLittleEndianAndTruncated) {
  ByteBuffer record;
  std::int32_t m = 0;
  with_tokens(R"("\x[GRINNING FACE]\u0141" "\777")", [&] {
    m = emit_char_array_string(record, 10);
  });
  EXPECT_EQ(m, 4);
  EXPECT_EQ(record, (ByteBuffer{0x00, 0xF6, 0x41, 0x01, 0xFF, 0x01, 0, 0}));
}

TEST(EmitSchemeName, OneRecordFromAdjacentLiterals) {
  TokenCode after = 0;
  ByteBuffer written;
  const test::RunResult r = with_tokens(R"("Dark" " blue" ;)", [&] {
    emit_scheme_name();
    after = lexer.current_token;
    written = writer.block;
  });
  EXPECT_EQ(r.status, 0) << r.console;
  EXPECT_EQ(after, tok::semicolon);
  EXPECT_EQ(written, (ByteBuffer{record::color_scheme, 'D', 'a', 'r', 'k', ' ',
                                 'b', 'l', 'u', 'e', 0}));
}

TEST(EmitSchemeName, KeepsTheLow8BitsOfEachCharacter) {
  ByteBuffer written;
  with_tokens(R"("\u0141\xe9\x[GRINNING FACE]")", [&] {
    emit_scheme_name();
    written = writer.block;
  });
  EXPECT_EQ(written, (ByteBuffer{record::color_scheme, 0x41, 0xE9, 0x00, 0}));
}

}  // namespace
}  // namespace qxl
