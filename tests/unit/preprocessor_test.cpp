#include "source/preprocessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "driver/options.h"
#include "source/lexer.h"
#include "source/macros.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "test_support.h"

namespace qxl {
namespace {

// Files the process has open.
std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

TEST(JoinIncludePath, SlashesAndLeadingQuotes) {
  EXPECT_EQ(join_include_path("", "a.h"), "a.h");
  EXPECT_EQ(join_include_path("dir", "a.h"), "dir/a.h");
  EXPECT_EQ(join_include_path("dir/", "a.h"), "dir/a.h");
  EXPECT_EQ(join_include_path("\"dir", "\"a.h"), "dir/a.h");
  EXPECT_EQ(join_include_path("\"", "a.h"), "a.h");
  EXPECT_EQ(join_include_path("/", "sub/a.h"), "/sub/a.h");
}

TEST(EvaluateCondition, ValueAndTheStateAroundIt) {
  test::RunResult result = test::run_on_text("rest", [] {
    define_macro_text("TWO", "(2)");
    // The state of a scan in progress, which a directive may interrupt.
    next_token();
    Symbol* const rest = symbols.current;
    push_back_token(tok::lparen, nullptr);
    reader.pushed_char = 'x';
    settings.listing = 1;

    EXPECT_EQ(evaluate_condition("TWO * 3 + defined(TWO) + defined(NONE)"),
              7);
    EXPECT_EQ(evaluate_condition("defined (TWO) && !defined(int)"), 1);
    EXPECT_EQ(evaluate_condition("1 ? 0 : 5"), 0);

    EXPECT_EQ(lexer.current_token, tok::lparen);
    EXPECT_EQ(lexer.held_token, tok::identifier);
    EXPECT_EQ(lexer.held_symbol, rest);
    EXPECT_EQ(reader.pushed_char, 'x');
    EXPECT_EQ(settings.listing, 1);
    EXPECT_FALSE(preprocessor.parsing_condition);
    EXPECT_TRUE(reader.reading_string);
    EXPECT_TRUE(reader.source_end_is_eof);
    reader.pushed_char = no_pushed_char;
    settings.listing = 0;
  });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.console, "");
}

class CompileTest : public testing::Test {
 protected:
  test::RunResult compile(std::vector<std::string> args) {
    args.insert(args.begin(), {"-n", "-b", "-w2"});
    args.push_back("prog.q");
    return test::run_compiler(args);
  }
  test::ScratchDir dir_;
};

TEST_F(CompileTest, ConditionInTheMiddleOfAnExpression) {
  dir_.write("prog.q",
             "#define N 4\n"
             "int a[N +\n"
             "#if N > 3\n"
             "  10\n"
             "#else\n"
             "  20\n"
             "#endif\n"
             "];\n"
             "int b[sizeof a\n"
             "#if 1\n"
             "];\n"
             "#endif\n");
  const test::RunResult result = compile({"-p"});
  EXPECT_EQ(result.status, 0) << result.console;
  EXPECT_EQ(result.console, "int a[4 +\n  10\n];\nint b[sizeof a\n];\n");
}

TEST_F(CompileTest, AnErrorDeepInIncludesClosesEveryFile) {
  std::filesystem::create_directory(dir_.path() + "/h");
  dir_.write("prog.q", "#include \"h/1.h\"\n");
  for (int i = 1; i < 20; ++i)
    dir_.write("h/" + std::to_string(i) + ".h",
               "#include \"h/" + std::to_string(i + 1) + ".h\"\n");
  dir_.write("h/20.h", "int x y;\n");
  const std::size_t before = open_descriptors();
  const test::RunResult result = compile({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, "h/20.h 1: expected ;, not identifier\n");
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_TRUE(in_main_source());
  EXPECT_EQ(preprocessor.included_files.size(), 20u);
}

TEST_F(CompileTest, AnEarlyErrorLeavesTheRestOfTheFilesUnread) {
  // An error on the first line of a large file, itself included from the
  // main file: neither file is read any further, and both are closed.
  dir_.write("prog.q", "#include \"big.h\"\n" + std::string(1 << 20, '\n'));
  dir_.write("big.h", "int x y;\n" + std::string(8 << 20, ' '));
  const std::size_t before = open_descriptors();
  const test::RunResult result = compile({});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, "big.h 1: expected ;, not identifier\n");
  EXPECT_LT(reader.bytes_read, std::uint64_t{1} << 20);
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(CompileTest, ADeviceThatNeverEndsStopsTheCompile) {
  // /dev/zero gives NUL bytes for ever: each is an illegal character, and
  // past the limit the compile ends instead of reading on.
  dir_.write("prog.q", "int x;\n#include \"/dev/zero\"\nint y;\n");
  const test::RunResult result = compile({});
  EXPECT_EQ(result.status, 1);
  const std::string one = std::string("/dev/zero 1: illegal character 0 ('") +
                          '\0' + "')\n";
  std::string expected;
  for (int i = 0; i < max_illegal_characters; ++i) expected += one;
  expected += "/dev/zero 1: more than 1000 illegal characters, is this a "
              "source file?\n";
  EXPECT_EQ(result.console, expected);
  EXPECT_FALSE(dir_.exists("prog.b"));
}

TEST_F(CompileTest, IllegalCharactersUpToTheLimitAreOnlyReported) {
  dir_.write("prog.q", std::string(max_illegal_characters, '$') + "\nint x;\n");
  test::RunResult result = compile({});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(dir_.exists("prog.b"));
  dir_.write("prog.q", std::string(max_illegal_characters + 1, '$') + "\nint x;\n");
  result = compile({});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.console.find("prog.q 1: more than 1000 illegal characters"),
            std::string::npos);
}

TEST_F(CompileTest, LineNumbersAreTakenAsWritten) {
  dir_.write("prog.q", "#line 999999999\nint x y;\n");
  EXPECT_EQ(compile({}).console, "prog.q 999999999: expected ;, not identifier\n");
  dir_.write("prog.q", "#line 1000000000\nint x y;\n");
  EXPECT_EQ(compile({}).console, "prog.q 2: bad #line syntax\n");
}
TEST_F(CompileTest, DirectivesMetWhileArgumentsAreRead) {
  // A directive inside an argument list runs; what the argument held
  // before it is kept.
  dir_.write("prog.q",
             "#define F(a, b) a b\n"
             "int x[F(1 +\n"
             "#define TWO 2\n"
             "TWO, + 3)];\n"
             "int y[TWO];\n");
  const test::RunResult result = compile({"-p"});
  EXPECT_EQ(result.status, 0) << result.console;
  EXPECT_EQ(result.console, "int x[1 +\n2  + 3];\nint y[2];\n");
}

TEST_F(CompileTest, RedefinedWhileItsArgumentsAreRead) {
  dir_.write("prog.q",
             "#define F(a) a + 1\n"
             "int x[F(\n"
             "#undef F\n"
             "#define F(a, b) gone\n"
             "5)];\n");
  const test::RunResult result = compile({"-p"});
  EXPECT_EQ(result.status, 0) << result.console;
  EXPECT_EQ(result.console, "int x[\n5 + 1];\n");
}

TEST_F(CompileTest, NamelessDirectivesLookUpTheEmptyName) {
  // Each of #undef, #ifdef and #ifndef without a name looks the empty text
  // up, and the table notes every look-up; the one entry they share holds
  // no macro, and the macros of other names are left alone.
  dir_.write("prog.q",
             "#define A 1\n"
             "#undef\n"
             "#ifdef\n"
             "int a;\n"
             "#endif\n"
             "#ifndef // none\n"
             "int b[A];\n"
             "#endif\n");
  const test::RunResult result = compile({"-p"});
  const std::string note = "internal error: null in symbol table\n";
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.console, note + note + note + "int b[1];\n");
  const std::vector<std::string> chain = symbol_chain(symbol_hash(""));
  EXPECT_EQ(std::count(chain.begin(), chain.end(), ""), 1);
  Symbol* const empty = symbol_chain_head(symbol_hash(""));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->name, "");
  EXPECT_EQ(empty->macro, nullptr);
}

}  // namespace
}  // namespace qxl
