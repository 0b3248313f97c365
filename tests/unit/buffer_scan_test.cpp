// The scanner reading a source file's buffer directly: tokens, comments and
// line ends that meet the end of a block of the file, carriage returns and
// NULs, and the limits, all as the reader's character-by-character way
// gives them.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "source/preprocessor.h"
#include "test_support.h"

namespace qxl {
namespace {

using Scanned = std::tuple<TokenCode, std::string, int>;  // code, text, line

struct FileScan {
  std::vector<Scanned> tokens;
  std::string console;
  int status = 0;
};

// Every token of a file holding `bytes`, with the line each ends on.
FileScan scan_file(const std::string& bytes) {
  test::ScratchDir dir;
  dir.write("prog.q", bytes);
  FileScan scan;
  reset_compiler_state();
  diagnostics.capture = &scan.console;
  init_symbol_table();
  try {
    open_main_source("prog.q");
    for (;;) {
      const TokenCode code = scan_token();
      if (code == tok::end_of_input) break;
      scan.tokens.emplace_back(code, std::string(token_text()),
                               reader.line_number);
    }
  } catch (const CompileExit& exit) {
    scan.status = exit.status;
  }
  diagnostics.capture = nullptr;
  return scan;
}

std::vector<std::string> texts(const FileScan& scan) {
  std::vector<std::string> out;
  for (const Scanned& t : scan.tokens) out.push_back(std::get<1>(t));
  return out;
}

// Blank lines that bring the text after them to `offset` bytes before the
// end of the first block of the file.
std::string padding_to(std::size_t offset) {
  std::string pad(input_block_size - offset, '\n');
  return pad;
}

TEST(BufferScan, TokensAcrossTheEndOfABlock) {
  const std::string tail =
      "alpha_beta_gamma 12345 0x1fL \"a string\" 'c' a<<=b /* x */ z";
  const std::vector<std::string> expected = {
      "alpha_beta_gamma", "12345", "0x1f", "\"a string\"", "'c'",
      "a",                "<<=",   "b",    "z"};
  // Every place of the first tokens relative to the block's end, the
  // blanks between them included.
  for (std::size_t offset = 1; offset <= 40; ++offset) {
    const FileScan scan = scan_file(padding_to(offset) + tail);
    ASSERT_EQ(scan.status, 0) << offset << scan.console;
    std::vector<std::string> got = texts(scan);
    // The compound assignment is seen as '=' with its operator.
    for (std::string& text : got)
      if (text == "=") text = "<<=";
    EXPECT_EQ(got, expected) << offset;
    const int last_line = static_cast<int>(input_block_size - offset) + 1;
    EXPECT_EQ(std::get<2>(scan.tokens.back()), last_line) << offset;
  }
}

TEST(BufferScan, CommentsAcrossTheEndOfABlock) {
  for (std::size_t offset = 1; offset <= 12; ++offset) {
    const FileScan block =
        scan_file(padding_to(offset) + "a /* one\n*two* */ b // c\nd");
    EXPECT_EQ(texts(block), (std::vector<std::string>{"a", "b", "d"}))
        << offset;
    const int first = static_cast<int>(input_block_size - offset) + 1;
    EXPECT_EQ(std::get<2>(block.tokens[1]), first + 1) << offset;
    EXPECT_EQ(std::get<2>(block.tokens[2]), first + 2) << offset;
  }
  // An unterminated comment is reported at its start, wherever it ends.
  const FileScan open = scan_file(padding_to(5) + "x /* never closed\n\n");
  const int start = static_cast<int>(input_block_size - 5) + 1;
  EXPECT_EQ(open.console,
            "prog.q " + std::to_string(start) + ": unterminated comment\n");
}

TEST(BufferScan, CarriageReturnsAndNuls) {
  // A carriage return is dropped: it ends a word but not a comment's "*/",
  // and CR LF counts one line.
  FileScan scan = scan_file("ab\rcd /* x *\r/ ef\r\ngh");
  EXPECT_EQ(texts(scan), (std::vector<std::string>{"ab", "cd", "ef", "gh"}));
  EXPECT_EQ(std::get<2>(scan.tokens.back()), 2);
  // A NUL inside a comment is skipped with it; outside, it is illegal.
  scan = scan_file(std::string("a /* \0 */ b // \0 c\nd", 20));
  EXPECT_EQ(texts(scan), (std::vector<std::string>{"a", "b", "d"}));
  EXPECT_EQ(scan.console, "");
  scan = scan_file(std::string("a \0 b", 5));
  EXPECT_EQ(texts(scan), (std::vector<std::string>{"a", "b"}));
  EXPECT_NE(scan.console.find("prog.q 1: illegal character 0"),
            std::string::npos);
}

TEST(BufferScan, DirectivesAfterSkippedText) {
  // A '#' that begins a line after blanks and comments still runs its
  // directive; one inside a comment does not.
  const FileScan scan =
      scan_file("/* c\n#define X 1\n */\n   \n#define Y 2\nY X");
  EXPECT_EQ(texts(scan), (std::vector<std::string>{"2", "X"}));
  EXPECT_EQ(std::get<2>(scan.tokens.back()), 6);
}

TEST(BufferScan, LongestWordAndOneLonger) {
  const std::string longest(token_text_capacity, 'w');
  FileScan scan = scan_file("a " + longest + " b");
  EXPECT_EQ(texts(scan), (std::vector<std::string>{"a", longest, "b"}));
  scan = scan_file("a " + longest + "w b");
  EXPECT_NE(scan.status, 0);
  EXPECT_NE(scan.console.find("token buffer overflow"), std::string::npos);
}

// The lines tokens end on, as the reader counts them: it reads the byte
// after an operator that may go on, or after a number, to look at it, so a
// line end there is counted with the token.
std::vector<std::pair<std::string, int>> lines_of(const FileScan& scan) {
  std::vector<std::pair<std::string, int>> out;
  for (const Scanned& t : scan.tokens)
    out.emplace_back(std::get<1>(t), std::get<2>(t));
  return out;
}

TEST(BufferScan, ConstantsAndOperatorsCountLinesAsTheReader) {
  using Lines = std::vector<std::pair<std::string, int>>;
  EXPECT_EQ(lines_of(scan_file("a ==\nb <<\nc +\rd 12\ne 7;")),
            (Lines{{"a", 1}, {"==", 1}, {"b", 2}, {"<<", 3}, {"c", 3},
                   {"+", 3}, {"d", 3}, {"12", 4}, {"e", 4}, {"7", 4},
                   {";", 4}}));
  // Quotes of the other kind and escapes stay inside a constant; an escaped
  // line end joins a string's lines.
  EXPECT_EQ(lines_of(scan_file("\"it's \\\"x\\\\\" '\"' '\\'' \"a\\\nb\" z")),
            (Lines{{"\"it's \\\"x\\\\\"", 1}, {"'\"'", 1}, {"'\\''", 1},
                   {"\"ab\"", 2}, {"z", 2}}));
  // Compound assignments keep their operator; '=' clears it.
  FileScan scan = scan_file("x >>= 2; y = 3; z -> w != v;");
  EXPECT_EQ(texts(scan),
            (std::vector<std::string>{"x", ">>=", "2", ";", "y", "=", "3",
                                      ";", "z", "->", "w", "!=", "v", ";"}));
  EXPECT_EQ(std::get<0>(scan.tokens[1]), tok::assign);
  EXPECT_EQ(std::get<0>(scan.tokens[9]), tok::arrow);
}

TEST(BufferScan, BadConstantsAreReportedAtTheReadersLine) {
  FileScan scan = scan_file("int a;\nx = 12q\n;");
  EXPECT_NE(scan.status, 0);
  EXPECT_NE(scan.console.find("prog.q 3: bad numeric constant"),
            std::string::npos)
      << scan.console;
  scan = scan_file("int a;\nx = 0x1fgh;");
  EXPECT_NE(scan.console.find("prog.q 2: bad numeric constant"),
            std::string::npos)
      << scan.console;
  scan = scan_file("s = \"open\ny;");
  EXPECT_NE(scan.console.find("prog.q 2: unterminated string constant"),
            std::string::npos)
      << scan.console;
  scan = scan_file("c = '';");
  EXPECT_NE(scan.console.find("invalid character constant"),
            std::string::npos)
      << scan.console;
  // A constant as long as the token text may be, and one longer.
  const std::string longest =
      "\"" + std::string(token_text_capacity - 2, 's') + "\"";
  scan = scan_file("a " + longest + " b");
  EXPECT_EQ(texts(scan), (std::vector<std::string>{"a", longest, "b"}));
  scan = scan_file("a \"s" + longest.substr(1) + " b");
  EXPECT_NE(scan.console.find("token buffer overflow"), std::string::npos);
}

TEST(BufferScan, MacroTextsScanLikeTheSource) {
  // Tokens of a macro's text, where a number or an operator at the end of
  // the text reads on into the source after the macro's name, and a word
  // ends with the text.
  FileScan scan = scan_file(
      "#define N 12\n#define P +\n#define W abc\n#define S \"s'\\\"\" 'q'\n"
      "N3 N 4 P+ x P= y W\nz S;");
  EXPECT_EQ(texts(scan),
            (std::vector<std::string>{"N3", "12", "4", "++", "x", "+=", "y",
                                      "abc", "z", "\"s'\\\"\"", "'q'", ";"}));
  EXPECT_EQ(std::get<0>(scan.tokens[5]), tok::assign);
  EXPECT_EQ(std::get<2>(scan.tokens.back()), 6);
}

}  // namespace
}  // namespace qxl
