#include "source/lexer.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace qxl {
namespace {

using test::scan_all;
using Tokens = std::vector<std::pair<TokenCode, std::string>>;

TEST(IntegerConstantValue, EveryNotation) {
  EXPECT_EQ(integer_constant_value("0"), 0u);
  EXPECT_EQ(integer_constant_value("1000"), 1000u);
  EXPECT_EQ(integer_constant_value("1_000"), 1000u);
  EXPECT_EQ(integer_constant_value("0x1F"), 31u);
  EXPECT_EQ(integer_constant_value("0X1f"), 31u);
  EXPECT_EQ(integer_constant_value("0xdead_BEEF"), 0xDEADBEEFu);
  EXPECT_EQ(integer_constant_value("0b101"), 5u);
  EXPECT_EQ(integer_constant_value("0B1_1"), 3u);
  EXPECT_EQ(integer_constant_value("0o17"), 15u);
  EXPECT_EQ(integer_constant_value("017"), 15u);
  // A leading 0 reads the rest in base 8, digits 8 and 9 included.
  EXPECT_EQ(integer_constant_value("08"), 8u);
  EXPECT_EQ(integer_constant_value("019"), 17u);
}

TEST(IntegerConstantValue, WrapsIn32Bits) {
  EXPECT_EQ(integer_constant_value("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(integer_constant_value("4294967296"), 0u);
  EXPECT_EQ(integer_constant_value("0x123456789"), 0x23456789u);
}

TEST(Scanner, CompoundAssignmentsAndComparisons) {
  EXPECT_EQ(scan_all("a<<=b"),
            (Tokens{{tok::identifier, "a"}, {tok::assign, "<<="},
                    {tok::identifier, "b"}}));
  EXPECT_EQ(scan_all("a<=b")[1].first, tok::less_equal);
  EXPECT_EQ(scan_all("a=-b"),
            (Tokens{{tok::identifier, "a"}, {tok::assign, "="},
                    {tok::minus, "-"}, {tok::identifier, "b"}}));
  const char* compound_ops[] = {"*=", "+=", "-=", "/=", "&=",
                                "|=", "%=", "<<=", ">>=", "^="};
  for (const char* op : compound_ops) {
    Tokens tokens = scan_all(op);
    ASSERT_EQ(tokens.size(), 1u) << op;
    EXPECT_EQ(tokens[0], (std::pair<TokenCode, std::string>{tok::assign, op}));
  }
  // Two-character operators are never followed by the '=' check.
  EXPECT_EQ(scan_all("&&=")[0].first, tok::amp_amp);
  EXPECT_EQ(scan_all("&&=")[1].first, tok::assign);
  EXPECT_EQ(scan_all("->")[0].first, tok::arrow);
  EXPECT_EQ(scan_all("==")[0].first, tok::equal_equal);
  EXPECT_EQ(scan_all("!=")[0].first, tok::not_equal);
  EXPECT_EQ(scan_all("!")[0].first, tok::bang);
  EXPECT_EQ(scan_all(">=")[0].first, tok::greater_equal);
  EXPECT_EQ(scan_all("++")[0].first, tok::plus_plus);
  EXPECT_EQ(scan_all("--")[0].first, tok::minus_minus);
}

TEST(Scanner, EveryPunctuatorHasItsCode) {
  const std::string text = "( ) ; : , . ? [ ] { } ~ * + - / & | % < > ^ = !";
  const TokenCode expected[] = {
      tok::lparen,  tok::rparen,   tok::semicolon, tok::colon, tok::comma,
      tok::dot,     tok::question, tok::lbracket,  tok::rbracket,
      tok::lbrace,  tok::rbrace,   tok::tilde,     tok::star,  tok::plus,
      tok::minus,   tok::slash,    tok::amp,       tok::bar,   tok::percent,
      tok::less,    tok::greater,  tok::caret,     tok::assign, tok::bang};
  Tokens tokens = scan_all(text);
  ASSERT_EQ(tokens.size(), std::size(expected));
  for (std::size_t i = 0; i < tokens.size(); ++i)
    EXPECT_EQ(tokens[i].first, expected[i]) << i;
}

TEST(Scanner, NumbersAndTheirText) {
  EXPECT_EQ(scan_all("100L"), (Tokens{{tok::int_const, "100"}}));
  EXPECT_EQ(scan_all("1_000"), (Tokens{{tok::int_const, "1_000"}}));
  EXPECT_EQ(scan_all("5L"), (Tokens{{tok::int_const, "5"}}));
  EXPECT_EQ(scan_all("0x10l"), (Tokens{{tok::int_const, "0x10"}}));
  EXPECT_EQ(scan_all("019"), (Tokens{{tok::int_const, "019"}}));
  // There are no floating-point constants.
  EXPECT_EQ(scan_all("1.5"), (Tokens{{tok::int_const, "1"},
                                     {tok::dot, "."},
                                     {tok::int_const, "5"}}));
}

TEST(Scanner, BadNumbers) {
  for (const char* text : {"0x", "0b", "0b102", "12abc", "1LL", "1L2", "0xg",
                           "1_L_", "0o"}) {
    int status = 0;
    test::RunResult result =
        test::run_on_text(text, [] { scan_token(); });
    EXPECT_EQ(result.status, 1) << text;
    EXPECT_EQ(result.console, "test.q 1: bad numeric constant\n") << text;
    (void)status;
  }
}

TEST(Scanner, WordsAndReservedWords) {
  EXPECT_EQ(scan_all("save_var _x1 while"),
            (Tokens{{tok::kw_save_var, "save_var"},
                    {tok::identifier, "_x1"},
                    {tok::kw_while, "while"}}));
}

TEST(Scanner, QuotedConstantsKeepTheirQuotes) {
  EXPECT_EQ(scan_all(R"("a\"b" 'c' '\'')"),
            (Tokens{{tok::string_const, R"("a\"b")"},
                    {tok::char_const, "'c'"},
                    {tok::char_const, R"('\'')"}}));
  // A backslash before a newline joins the lines of a string.
  EXPECT_EQ(scan_all("\"ab\\\ncd\""),
            (Tokens{{tok::string_const, "\"abcd\""}}));
}

TEST(Scanner, QuotedConstantErrors) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"\"abc", "unterminated string constant"},
      {"\"abc\ndef\"", "unterminated string constant"},
      {"\"abc\\", "unterminated string constant"},
      {"''", "invalid character constant"},
      {"'a", "unterminated character constant"},
      {"'a\n'", "unterminated character constant"},
  };
  for (const Case& c : cases) {
    test::RunResult result = test::run_on_text(c.text, [] { scan_token(); });
    EXPECT_EQ(result.status, 1) << c.text;
    EXPECT_EQ(result.console, std::string("test.q 1: ") + c.message + "\n")
        << c.text;
  }
}

TEST(Scanner, CommentsAndIllegalCharacters) {
  EXPECT_EQ(scan_all("a /* x */ b // y\nc /*/ z */ d"),
            (Tokens{{tok::identifier, "a"},
                    {tok::identifier, "b"},
                    {tok::identifier, "c"},
                    {tok::identifier, "d"}}));
  test::RunResult result = test::run_on_text("a $ b", [] {
    while (scan_token() != tok::end_of_input) {
    }
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.console, "test.q 1: illegal character 36 ('$')\n");
  result = test::run_on_text("x /* never closed", [] {
    EXPECT_EQ(scan_token(), tok::identifier);
    EXPECT_EQ(scan_token(), tok::end_of_input);
  });
  EXPECT_EQ(result.console, "test.q 1: unterminated comment\n");
}

TEST(Scanner, LinesAreCountedThroughWhiteSpaceOfManyBlocks) {
  // Every mix of blanks, tabs, form feeds and carriage returns between
  // tokens, over many input blocks, with words and directives among them:
  // the message must name the line the error is on.
  const std::string blanks[] = {"\n", "\r\n", " \t\n", "\f\n", "\r\r\n",
                                "   \r \n", "\t\t\t\t\t\t\t\t\n"};
  std::string source;
  int line = 1;
  for (int i = 0; i < 20000; ++i) {
    source += blanks[i % 7];
    ++line;
    if (i % 1000 == 999) {
      source += "#define M" + std::to_string(i) + " 1\n";
      ++line;
    }
    if (i % 97 == 0) {
      source += "int word_" + std::to_string(i) + " ;\r\n";
      ++line;
    }
  }
  source += "\f int z = M999 + missing;\n";
  test::ScratchDir dir;
  dir.write("prog.q", source);
  test::RunResult result = test::run_compiler({"-n", "prog.q"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console,
            "prog.q " + std::to_string(line) + ": undeclared variable missing\n");
}

TEST(Scanner, TokenTextLimit) {
  const std::string longest(token_text_capacity, 'a');
  Tokens tokens = scan_all(longest + " b");
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_EQ(tokens[0].second.size(), token_text_capacity);

  test::RunResult result = test::run_on_text(longest + "a", [] {
    scan_token();
  });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, "test.q 1: token buffer overflow\n");
}

TEST(TokenStream, PushBackHoldsTheCurrentToken) {
  test::run_on_text("a b", [] {
    next_token();
    ASSERT_EQ(lexer.current_token, tok::identifier);
    Symbol* a = symbols.current;
    push_back_token(tok::lparen, nullptr);
    EXPECT_EQ(lexer.current_token, tok::lparen);
    next_token();
    EXPECT_EQ(lexer.current_token, tok::identifier);
    EXPECT_EQ(symbols.current, a);
    next_token();
    EXPECT_EQ(symbols.current->name, "b");
    next_token();
    EXPECT_EQ(lexer.current_token, tok::end_of_input);
    next_token();
    EXPECT_EQ(lexer.current_token, tok::end_of_input);
  });
}

TEST(TokenStream, ExpectedMessagesNameTheFoundToken) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"int", "test.q 1: expected ;, not reserved word \"int\"\n"},
      {"x", "test.q 1: expected ;, not identifier\n"},
      {"\"s\"", "test.q 1: expected ;, not stringconst\n"},
      {"'c'", "test.q 1: expected ;, not charconst\n"},
      {"12", "test.q 1: expected ;, not intconst\n"},
      {"{", "test.q 1: expected ;, not {\n"},
      {"", "test.q 1: expected ;, not end of file\n"},
  };
  for (const Case& c : cases) {
    test::RunResult result = test::run_on_text(c.text, [] {
      next_token();
      expect_token(tok::semicolon);
    });
    EXPECT_EQ(result.status, 1) << c.text;
    EXPECT_EQ(result.console, c.message) << c.text;
  }
  // A token code without a name gives the text alone.
  test::RunResult result = test::run_on_text("x", [] {
    next_token();
    lexer.current_token = tok::none;
    report_expected("expected %s", "thing");
  });
  EXPECT_EQ(result.console, "test.q 1: expected thing\n");
  // The right token is consumed.
  result = test::run_on_text("; x", [] {
    next_token();
    expect_token(tok::semicolon);
    EXPECT_EQ(lexer.current_token, tok::identifier);
  });
  EXPECT_EQ(result.status, 0);
}

TEST(Reencode, Latin1BecomesUtf8) {
  test::run_on_text("", [] {
    reader.reading_string = false;
    set_token_text("\"\xe9\x41\xff\"");
    reencode_token_text();
    EXPECT_EQ(token_text(), "\"\xc3\xa9\x41\xc3\xbf\"");
    reader.source_is_utf8 = true;
    set_token_text("\"\xe9\"");
    reencode_token_text();
    EXPECT_EQ(token_text(), "\"\xe9\"");
  });
  // 1000 Latin-1 letters need 2000 bytes: over the limit.
  test::RunResult result = test::run_on_text("", [] {
    reader.reading_string = false;
    set_token_text(std::string(999, '\xe9'));
    reencode_token_text();
    EXPECT_EQ(token_text().size(), converted_text_limit);
    set_token_text(std::string(1000, '\xe9'));
    reencode_token_text();
  });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, "test.q 1: constant too long\n");
}

}  // namespace
}  // namespace qxl
