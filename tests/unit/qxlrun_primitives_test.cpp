// qxlrun's primitives: the checks of every length, count and position
// before anything is allocated or looped over, and the behaviour of the
// primitives on small compiled programs.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qxlrun_support.h"
#include "types/builtins.h"
#include "tools/run/fuzz_input.h"

namespace qxl::test {
namespace {

// Whether `text` holds `part`, saying what it holds when not.
::testing::AssertionResult has(const std::string& text, std::string_view part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}

// The fault message of a run that must fault.
std::string fault_of(const RunOutput& r) {
  EXPECT_FALSE(r.load_error.has_value()) << r.load_error.value_or("");
  EXPECT_EQ(r.outcome.kind, run::Outcome::Kind::fault) << r.out;
  EXPECT_EQ(r.outcome.status, 3);
  return r.outcome.message;
}

// main() with these declarations and statements.
RunOutput run_main(const std::string& declarations, const std::string& body) {
  return run_source({declarations + "\nmain()\n{\n" + body + "\n}\n"});
}

// The standard output of a run that must end normally.
std::string output_of(const RunOutput& r) {
  EXPECT_FALSE(r.load_error.has_value()) << r.load_error.value_or("");
  EXPECT_NE(r.outcome.kind, run::Outcome::Kind::fault) << r.outcome.message;
  return r.out;
}

std::vector<std::uint8_t> from_hex(std::string_view hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(
        std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// A fuzz finding: strncpy with a count near two billion once grew a string
// to that count (4 GB) before it looked at its 40-byte destination.
TEST(QxlrunPrimitiveLengths, FuzzFindingStrncpyFaultsWithoutAllocating) {
  const std::vector<std::uint8_t> input = from_hex(
      "6802bf68fe7b292929296b65795f69735f627574746f6e29292929292929292929292929"
      "2929292929292929292929292968292929292929292929292d2929292929292929292929"
      "292929292929292929292929292929292929292929202929292929292929292929292929"
      "292973");
  ASSERT_EQ(input.size(), 111u);
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = run::fuzz_input::run_input(input.data(), input.size());
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->kind, run::Outcome::Kind::fault);
  EXPECT_TRUE(has(outcome->message, "strncpy destination: out-of-bounds access"));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

// A fuzz run found a bytecode file whose three globals of 350 MB each were
// made, and one copied whole onto the stack, before anything was checked
// (more than 2 GB in all).  The globals' total and the stack's room are
// checked first.
TEST(QxlrunPrimitiveLengths, HugeGlobalsAndLargeValuesFaultBeforeAllocating) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(has(fault_of(run_main("char big[100000000]; char more[40000000];",
                                    "big[0] = 1;")),
                  "the global variables take 280000000 bytes, more than the "
                  "268435456 the runner allows"));
  // The fuzz finding itself: a whole bytecode file.
  const std::vector<std::uint8_t> input = from_hex(
      "51584c1ace000000500100002b00000014036c6576656c00490004000000010000001305"
      "6d6f6465002a43000c00003f13026465707468005400020000001273686f770022000000"
      "17000300030000003b000000003c08003e4d0000280000352800003320fa030000000065"
      "0c0c0a000d0011006465707468006d6f6465006c6576656c0012696e6e65720059000000"
      "54000b00000000003b000000003c0b003c0c002800003324010528000034250103280000"
      "342800003524030528000036250352000000280000363c0d004d00002401044e0000254d"
      "000001010d4e00003c0e000352000000090000030c0c0013001a001e0025002f0036003c"
      "004000460051006c6576656c006c6576656c006c6576656c006d6f6465006d6f6465006d"
      "6f64650064657074680064657074680064657074680064657074680073686f7700126f75"
      "74657200670000004e000a00000000003b000000003c12003c1300280000332401052800"
      "0034253c14000102280000343c1500090000003c16000362000000090000033c17002800"
      "003324010528000034250114280000343c1800562a3c1900038a000000090000033c1a00"
      "0107280000340c0c0013001d002400300037003e00450056005f006c6576656c006c6576"
      "656c006c6576656c00696e6e65720073686f77006c6576656c006c6576656c006c657665"
      "6c0073686f77006c6576656c001273706f7473003300000000000000000000003b000000"
      "003c1e003c1f003e24310241253e200048413c2100013e703c2200013e703c2300743e03"
      "c000000065050c126d61696e006b00000025000500000000003b000000003c27003c2800"
      "03f6000000280000363c2900090000003c2a0003f6000000090000033c2b000304010000"
      "a73c2c000102413c2d00090000003c2e000310010000090000033c2f0001047101037101"
      "02710101714871032c01000065083c3000480a0c1100180024003a0046006d6f6465006f"
      "757465720073686f770073706f74730073686f77001f4e0000001e0073003a0020006c00"
      "6500760065006c0020002500640020006d006f00640065086275666e756d200064006500"
      "700074006800200025006400200070006f0069006e00740020002500640000000c000000"
      "69006e006e00650072000000240000006f00750056006500720020006100660074006500"
      "7200200069006e006e00650072000000320000006f007500740065007200200061006600"
      "740065007200200072006500730074006f00720065005f00760061007200730000003200"
      "000069006e0073006900640065003a00200070006f0069006e0074002000250064002000"
      "730069007a00650020002500640000000a0000006d00610069006e000000080000006100"
      "62006300000018000000610066007400650072002000730070006f007400730000002000"
      "000074006500780074002000250063002500630025006300250063002500630000002700"
      "00006275696c642d66757a7a2f636f727075732f636f6d70696c652f736565642d333433"
      "2d312e7100");
  ASSERT_EQ(input.size(), 1121u);
  const auto outcome = run::fuzz_input::run_input(input.data(), input.size());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->kind, run::Outcome::Kind::fault);
  EXPECT_TRUE(has(outcome->message, "the global variables take")) << outcome->message;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// The runner's limits come with the options (the fuzz target sets low
// ones): each is enforced at the value given.
TEST(QxlrunPrimitiveLengths, LimitsAreTheOnesTheOptionsGive) {
  run::Options options;
  options.limits.block = 1000;
  options.limits.heap = 1500;
  options.limits.buffer_characters = 10;
  options.limits.globals = 100;
  const auto with = [&](const std::string& declarations, const std::string& body) {
    return run_source({declarations + "\nmain()\n{\n" + body + "\n}\n"}, options);
  };
  EXPECT_TRUE(has(fault_of(with("", "malloc(1001);")), "malloc: "));
  EXPECT_TRUE(has(fault_of(with("", "malloc(1000); malloc(501);")),
                  "out of memory: more than 1500"));
  EXPECT_EQ(with("", "malloc(1000); malloc(500);").outcome.kind,
            run::Outcome::Kind::returned);
  EXPECT_TRUE(has(fault_of(with("", "stuff(\"0123456789x\");")),
                  "the buffer would grow beyond 10 characters"));
  EXPECT_TRUE(has(fault_of(with("char g[51];", "g[0] = 1;")),
                  "take 102 bytes, more than the 100 the runner allows"));
  EXPECT_EQ(with("char g[50];", "g[0] = 1;").outcome.kind, run::Outcome::Kind::returned);
}

TEST(QxlrunPrimitiveLengths, StringCountsAreCheckedAgainstTheirObjects) {
  EXPECT_TRUE(has(fault_of(run_main("char buf[8];", "strncpy(buf, \"ab\", 2000000000);")),
              "strncpy destination: out-of-bounds access: 4000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char buf[8];", "strncpy(buf, \"ab\", -1);")),
              "strncpy: negative length -1"));
  // Exactly the count is written, the rest of it zeros: 9 does not fit 8.
  EXPECT_TRUE(has(fault_of(run_main("char buf[8];", "strncpy(buf, \"ab\", 9);")),
              "strncpy destination: out-of-bounds access: 18 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char buf[4];",
                                "strcpy(buf, \"abc\");\n"
                                "strncat(buf, \"defgh\", 2000000000);")),
              "strncat destination: out-of-bounds access: 12 bytes at offset 6"));
  EXPECT_TRUE(has(fault_of(run_main("char buf[4];", "strcpy(buf, \"abcd\");")),
              "strcpy destination: out-of-bounds access: 10 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("", "strnfcmp(\"a\", \"a\", -5);")),
              "strnfcmp: negative length -5"));
  // An unterminated array is a fault for index, which reads to the zero.
  EXPECT_TRUE(has(fault_of(run_main("char b[2];", "b[0] = 'x'; b[1] = 'y'; index(b, 'z');")),
              "index: the string has no terminating zero"));
}

TEST(QxlrunPrimitiveLengths, HugeCountsThatFitWorkWithoutReadingFurther) {
  // The n forms read only the characters they need: sources without a zero
  // within the count are fine, and a count of two billion is no loop.
  EXPECT_EQ(output_of(run_main(
                "char src[2], dst[4];",
                "src[0] = 'a'; src[1] = 'b';\n"
                "strncpy(dst, src, 2); dst[2] = 0;\n"
                "say(\"%s %d %d\", dst, strncmp(src, \"abX\", 2),"
                " strnfcmp(\"ABC\", \"abd\", 2000000000) < 0);\n"
                "strcpy(dst, \"x\");\n"
                "strncat(dst, src, 2);\n"
                "say(\"%s %d\", dst, strncmp(\"abc\", \"abc\", 2000000000));")),
            "ab 0 1\nxab 0\n");
}

TEST(QxlrunPrimitiveLengths, MemoryCountsAndSizes) {
  EXPECT_TRUE(has(fault_of(run_main("char a[4], b[4];", "memcpy(a, b, 2000000000);")),
              "memcpy source: out-of-bounds access: 2000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char a[40], b[4];", "memcpy(b, a, 20);")),
              "memcpy destination: out-of-bounds access: 20 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char a[4];", "memset(a, 0, 2000000000);")),
              "memset: out-of-bounds access: 2000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char a[4], b[4];", "memcmp(a, b, 2000000000);")),
              "memcmp: out-of-bounds access"));
  EXPECT_TRUE(has(fault_of(run_main("", "malloc(2000000000);")),
              "malloc: out of memory: a block of 2000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("", "malloc(-1);")),
              "malloc: the negative size -1"));
  EXPECT_TRUE(has(fault_of(run_main("char *p;", "p = malloc(8);\np = realloc(p, 2000000000);")),
              "realloc: out of memory: a block of 2000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char a[4];", "realloc(a, 8);")),
              "realloc: global a did not come from malloc"));
}

TEST(QxlrunPrimitiveLengths, BufferPositionsAreClampedOrChecked) {
  // Far-off positions: delete and character stay inside the text; grab
  // checks its destination before it copies.
  EXPECT_EQ(output_of(run_main("", "stuff(\"hello\");\n"
                                   "say(\"%d %d\", character(2000000000), character(-3));\n"
                                   "delete(-2000000000, 2000000000);\n"
                                   "say(\"%d %d\", size(), point);")),
            "-1 -1\n0 0\n");
  EXPECT_TRUE(has(fault_of(run_main("char small[4];", "stuff(\"hello world\");\n"
                                                  "grab(-2000000000, 2000000000, small);")),
              "grab destination: out-of-bounds access: 24 bytes"));
}

TEST(QxlrunPrimitiveLengths, FormatWidthsPrecisionsAndTotals) {
  EXPECT_TRUE(has(fault_of(run_main("char buf[20];", "sprintf(buf, \"%999999999d\", 1);")),
              "sprintf: a width or precision above 100000 in a format"));
  EXPECT_TRUE(has(fault_of(run_main("char buf[20];", "sprintf(buf, \"%*d\", 2000000000, 1);")),
              "sprintf: a width above 100000 in a format"));
  EXPECT_TRUE(has(fault_of(run_main("", "say(\"%.*d\", 2000000000, 1);")),
              "say: a precision above 100000 in a format"));
  EXPECT_TRUE(has(fault_of(run_main("char buf[4];", "sprintf(buf, \"%5d\", 123456);")),
              "sprintf destination: out-of-bounds access: 14 bytes"));
  // The largest precision pads in one step, not one character at a time.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(output_of(run_main("char buf[100010];",
                               "sprintf(buf, \"%.100000d\", 7);\n"
                               "say(\"%d %c%c\", strlen(buf), buf[0], buf[99999]);")),
            "100000 07\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // Many long conversions in one format: the text stops at 16M characters.
  EXPECT_TRUE(has(fault_of(run_main("char *s;",
                                    "s = malloc(2000002);\n"
                                    "memset(s, 97, 2000000);\n"
                                    "s[1000000] = 0;\n"
                                    "bprintf(\"%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s\", s, s, s, s, s,"
                                    " s, s, s, s, s, s, s, s, s, s, s, s);")),
              "bprintf: the formatted text is longer than 16777216 characters"));
}

TEST(QxlrunPrimitiveLengths, MuldivKeepsTheWideProductAndChecksTheResult) {
  EXPECT_EQ(output_of(run_main("", "say(\"%d %d\", muldiv(2000000000, 3, 4),"
                                   " muldiv(-2147483647 - 1, -1, 2));")),
            "1500000000 1073741824\n");
  EXPECT_TRUE(has(fault_of(run_main("", "muldiv(2000000000, 2000000000, 1);")),
              "muldiv: the result 4000000000000000000 does not fit an int"));
  EXPECT_TRUE(has(fault_of(run_main("", "muldiv(1, 1, 0);")),
              "muldiv: division by zero"));
}

TEST(QxlrunPrimitiveLengths, EditorFamiliesCheckTheirCountsAndPositions) {
  EXPECT_TRUE(has(fault_of(run_main("char s[4];", "buf_stuff(s, 2000000000);")),
                  "buf_stuff source: out-of-bounds access: 4000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("", "buf_stuff(\"ab\", -2);")),
                  "buf_stuff: negative length -2"));
  EXPECT_TRUE(has(fault_of(run_main("char a[4];", "compare_chars(a, \"abcdefgh\", 6);")),
                  "compare_chars: out-of-bounds access: 12 bytes at offset 0 of global a"));
  EXPECT_TRUE(has(fault_of(run_main("char a[4];", "set_chars(a, 'x', 2000000000);")),
                  "set_chars destination: out-of-bounds access: 4000000000 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("char a[4];", "memfcmp(a, a, 9);")),
                  "memfcmp: out-of-bounds access: 9 bytes"));
  // "/tmp" fills the array to its zero: the slash has no room.
  EXPECT_TRUE(has(fault_of(run_main("char a[5];", "strcpy(a, \"/tmp\");\nadd_final_slash(a);")),
                  "add_final_slash destination: out-of-bounds access: 4 bytes at offset 8"));
  EXPECT_TRUE(has(fault_of(run_main("", "stuff(\"abc\");\nreplace(-1, 'x');")),
                  "replace: the position -1 holds no character"));
  EXPECT_TRUE(has(fault_of(run_main("", "stuff(\"abc\");\nlines_between(0, 2000000000);")),
                  "lines_between: the position 2000000000 is outside the buffer of 3"));
  EXPECT_TRUE(has(fault_of(run_main("", "display_width(-5, 0);")),
                  "display_width: the position -5 is outside the buffer of 0"));
  EXPECT_TRUE(has(fault_of(run_main("TIMER *t;", "t = (TIMER *) malloc(4);\ntime_begin(t, 10);")),
                  "time_begin: out-of-bounds access: 12 bytes"));
  EXPECT_TRUE(has(fault_of(run_main("int x, y;", "stuff(\"ab\");\nget_character_color(0, &x, (int *) 0);\n"
                                    "get_character_color(0, &x, (int *) 5);")),
                  "pointer made from the integer 5 points into no object"));
  EXPECT_TRUE(has(fault_of(run_main("", "buf_zap(2);")), "buf_zap: qxlrun has only buffer 1, not 2"));
  EXPECT_TRUE(has(fault_of(run_main("", "zap(\"other\");")),
                  "zap: qxlrun has only the buffer main, not other"));
  // Huge columns and line counts end at the text, at once.
  EXPECT_EQ(output_of(run_main("", "int n;\nstuff(\"ab\\ncd\");\n"
                                   "move_to_column(2000000000);\n"
                                   "n = move_by_lines(-2147483647 - 1);\n"
                                   "say(\"%d %d %d\", n, point, horizontal(-2000000000));")),
            "-1 2 0\n");
}

// ---- the editor's families on small programs

TEST(QxlrunEditorPrimitives, ColorsFollowTheTextTheyColor) {
  // Text inserted at either edge of a colored run or inside it takes no
  // color; a deletion across the run's edge takes the colors with it.
  EXPECT_EQ(output_of(run_main("show()\n{\n  int i;\n  for (i = 0; i < size(); i++)\n"
                               "    sayput(\"%d \", get_character_color(i));\n  say(\"\");\n}\n",
                               "stuff(\"abcd\");\n"
                               "set_character_color(1, 3, 5);\n"
                               "point = 1; stuff(\"<\");\n"
                               "point = 4; stuff(\">\");\n"
                               "point = 3; stuff(\"=\");\n"
                               "show();\n"
                               "delete(2, 5);\n"
                               "show();\n"
                               "buf_zap(1);\nstuff(\"xy\");\nshow();")),
            "-1 -1 5 -1 5 -1 -1 \n-1 -1 -1 -1 \n-1 -1 \n");
}

TEST(QxlrunEditorPrimitives, SearchAtTheEdgesOfTheText) {
  EXPECT_EQ(output_of(run_main("", "int a, b, c, d;\n"
                                   "stuff(\"aaa\");\n"
                                   "point = 0;\n"
                                   "a = search(1, \"aa\");\n"
                                   "b = point;\n"
                                   "c = search(1, \"aa\");\n"
                                   "d = search(-1, \"aaaa\");\n"
                                   "say(\"%d %d %d %d\", a, b, c, d);\n"
                                   "a = search(-1, \"aa\");\n"
                                   "say(\"%d %d %d %d\", a, point, matchstart, matchend);")),
            "1 2 0 0\n1 0 0 2\n");
}

TEST(QxlrunEditorPrimitives, PatternsWithManyStarsStayQuick) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(output_of(run_main("char text[2001], pattern[41];",
                               "int i;\n"
                               "for (i = 0; i < 2000; i++) text[i] = 'a';\n"
                               "for (i = 0; i < 40; i += 2) { pattern[i] = '*'; pattern[i + 1] = 'a'; }\n"
                               "say(\"%d\", fpatmatch(text, pattern, 0));\n"
                               "pattern[39] = 'b';\n"
                               "say(\"%d %d %d\", fpatmatch(text, pattern, 0),"
                               " fpatmatch(\"[x\", \"[x\", 0), fpatmatch(\"b\", \"[]b]\", 0));")),
            "1\n0 1 1\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(QxlrunEditorPrimitives, KeysComeFromTheScriptInOrder) {
  run::Options options;
  options.keys = {'q', 0x201, 0x168};
  const RunOutput r = run_source({"main()\n{\n  int n;\n"
                                  "  for (n = 0; n < 4; n++) {\n"
                                  "    say(\"%d waiting\", char_avail());\n"
                                  "    wait_for_key();\n"
                                  "    say(\"key %d full %d\", key, full_key);\n"
                                  "  }\n}\n"},
                                 options);
  EXPECT_EQ(r.out, "1 waiting\nkey 113 full 113\n1 waiting\nkey 513 full 513\n"
                   "1 waiting\nkey 360 full 360\n0 waiting\n");
  EXPECT_TRUE(has(fault_of(r), "wait_for_key: no more keys"));
}

TEST(QxlrunEditorPrimitives, SearchIsLinearAndFindsOverlappingMatches) {
  // 200000 a's searched for 100000 a's and a b, both ways: a scan that
  // starts again at every place would take 10^10 steps.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(output_of(run_main("char *s;",
                               "int i, f, b;\n"
                               "s = malloc(200004);\n"
                               "for (i = 0; i < 100000; i++) s[i] = 'a';\n"
                               "s[100000] = 0;\n"
                               "stuff(s); stuff(s);\n"
                               "s[100000] = 'b'; s[100001] = 0;\n"
                               "point = 0; f = search(1, s);\n"
                               "point = size(); b = search(-1, s);\n"
                               "say(\"%d %d %d\", f, b, point);")),
            "0 0 200000\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(output_of(run_main("", "int a, b, c;\n"
                                   "stuff(\"xabababay\");\n"
                                   "a = search(-1, \"aba\");\n"
                                   "b = matchstart;\n"
                                   "c = search(-1, \"aba\");\n"
                                   "say(\"%d %d %d %d\", a, b, c, matchstart);\n"
                                   "point = 2;\n"
                                   "a = search(1, \"bab\");\n"
                                   "say(\"%d %d %d\", a, matchstart, point);")),
            "1 5 1 1\n1 2 5\n");
}

TEST(QxlrunEditorPrimitives, ColorRunsSplitJoinAndGive) {
  // Runs: [0,2) 3, [2,4) 3 (touching, one stretch), [6,8) 4; the second
  // coloring cuts into the first stretch; an insertion splits a run.
  EXPECT_EQ(output_of(run_main("int s, e;\n"
                               "run(int at)\n{\n  int c;\n"
                               "  c = get_character_color(at, &s, &e);\n"
                               "  sayput(\"%d:%d[%d,%d) \", at, c, s, e);\n}\n",
                               "stuff(\"0123456789\");\n"
                               "set_character_color(0, 2, 3);\n"
                               "set_character_color(2, 4, 3);\n"
                               "set_character_color(8, 6, 4);\n"
                               "run(1); run(3); run(4); run(7); run(9); say(\"\");\n"
                               "set_character_color(1, 7, 5);\n"
                               "run(0); run(1); run(6); run(7); say(\"\");\n"
                               "point = 3; stuff(\"ab\");\n"
                               "run(2); run(3); run(5); run(8); say(\"\");\n"
                               "delete(0, 4);\n"
                               "run(0); run(1); run(4); say(\"\");\n"
                               "set_character_color(0, 100, -1);\n"
                               "run(2); run(-1); run(200); say(\"\");")),
            "1:3[0,4) 3:3[0,4) 4:-1[4,6) 7:4[6,8) 9:-1[8,10) \n"
            "0:3[0,1) 1:5[1,7) 6:5[1,7) 7:4[7,8) \n"
            "2:5[1,3) 3:-1[3,5) 5:5[5,9) 8:5[5,9) \n"
            "0:-1[0,1) 1:5[1,5) 4:5[1,5) \n"
            "2:-1[0,8) -1:-1[0,0) 200:-1[8,8) \n");
  EXPECT_TRUE(has(fault_of(run_main("char *s;", "s = malloc(10000);\n"
                                               "memset(s, 97, 9000);\n"
                                               "fpatmatch(s, \"*\", 0);")),
                  "fpatmatch: a name or pattern longer than 4096 characters"));
}

TEST(QxlrunEditorPrimitives, ScreenLinesBufferNamesAndPatterns) {
  EXPECT_EQ(output_of(run_main("", "stuff(\"ab\\ncd\\nef\");\n"
                                   "point = 4;\n"
                                   "say(\"%d %d %d %d\", next_screen_line(0), next_screen_line(1),"
                                   " next_screen_line(2), next_screen_line(2000000000));\n"
                                   "say(\"%d %d %d\", prev_screen_line(0), prev_screen_line(1),"
                                   " prev_screen_line(2000000000));\n"
                                   "say(\"%d %d %s %d\", name_to_bufnum(\"main\"),"
                                   " name_to_bufnum(\"other\"), bufnum_to_name(1),"
                                   " bufnum_to_name(2) == 0);\n"
                                   "say(\"%d %d %d %d\", is_pattern(\"*.q\"), is_pattern(\"a?\"),"
                                   " is_pattern(\"[ab]\"), is_pattern(\"plain.q\"));")),
            "3 6 8 8\n3 0 0\n1 0 main 1\n1 1 1 0\n");
}

// ---- the commands of examples/hello.q that use these primitives

std::string hello_source() {
  const auto path = std::filesystem::path(__FILE__).parent_path() / "../../examples/hello.q";
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `driver` (main of a second file) beside hello.q.
RunOutput run_beside_hello(const std::string& driver, run::Options options = {}) {
  static const char* const prototypes =
      "find_todo(); goto_column(); toggle_case_region(); describe_key();\n"
      "indent_lines(); show_note(); set_fill_column(); count_words();\n"
      "tidy_line(); center_line(); toggle_ruler(); say_hello();\n";
  return run_source({hello_source(), prototypes + driver}, std::move(options));
}

TEST(QxlrunHelloCommands, MovingAndSearchingCommands) {
  ASSERT_FALSE(hello_source().empty());
  EXPECT_EQ(output_of(run_beside_hello("main()\n{\n"
                                       "  stuff(\"\\tab\\tcdefghijklmnopqrstuvwxyz\\nnext\");\n"
                                       "  point = 0; has_arg = 1; iter = 19;\n"
                                       "  goto_column();\n"
                                       "  say(\"point %d\", point);\n"
                                       "  has_arg = 0;\n"
                                       "  set_fill_column();\n"
                                       "}\n")),
            "Column 19 of 80\npoint 7\nFill column 19, for new buffers 70\n");
  EXPECT_EQ(output_of(run_beside_hello(
                "main()\n{\n"
                "  stuff(\"int x; /* XXX and TODO */\\nFIXME\");\n"
                "  point = 14;\n"
                "  find_todo();\n"
                "  say(\"at %d, colored %d %d\", point, get_character_color(point) >= 0,"
                " get_character_color(point + 4));\n"
                "  point = size();\n"
                "  find_todo();\n"
                "}\n")),
            "TODO found (1 so far)\nat 18, colored 1 -1\nNo TODO, FIXME or XXX after point\n");
}

TEST(QxlrunHelloCommands, EditingCommands) {
  EXPECT_EQ(output_of(run_beside_hello("main()\n{\n  char text[40];\n"
                                       "  stuff(\"Hello, World 42\");\n"
                                       "  mark = 3; point = 12;\n"
                                       "  toggle_case_region();\n"
                                       "  grab(0, size(), text);\n"
                                       "  say(\"%s, point %d\", text, point);\n"
                                       "}\n")),
            "7 letters changed\nHelLO, wORLD 42, point 12\n");
  EXPECT_EQ(output_of(run_beside_hello("main()\n{\n  char text[40];\n"
                                       "  stuff(\"a\\nb\\nc\");\n"
                                       "  point = 0; has_arg = 1; iter = 2;\n"
                                       "  indent_lines();\n"
                                       "  grab(0, size(), text);\n"
                                       "  say(\"[%s] point %d\", text, point);\n"
                                       "  point = 4;\n"
                                       "  show_note();\n"
                                       "  say(\"%d\", get_character_color(4) >= 0);\n"
                                       "}\n")),
            "2 lines indented by 4\n[    a\n    b\nc] point 0\n"
            "note: [a                                       ]\n1\n");
}

TEST(QxlrunHelloCommands, DescribeKeyReadsTheKeyScript) {
  run::Options options;
  options.keys = {9, 0x201, 0x168, 'C' - '@', 'z'};
  const RunOutput r = run_beside_hello(
      "main()\n{\n  int i;\n  for (i = 0; i < 6; i++) describe_key();\n}\n", options);
  EXPECT_EQ(r.out, "Press a key to describe: \nKey 9 is Tab\n"
                   "Press a key to describe: \nKey 513 is F1\n"
                   "Press a key to describe: \nKey 360 is Alt-h\n"
                   "Press a key to describe: \nKey 3 is Ctrl-C\n"
                   "Press a key to describe: \nKey 122 is 'z'\n"
                   "Press a key to describe: \n");
  EXPECT_TRUE(has(fault_of(r), "wait_for_key: no more keys (in function describe_key)"));
}

TEST(QxlrunHelloCommands, TheOtherCommandsRunToo) {
  EXPECT_EQ(output_of(run_beside_hello("main()\n{\n"
                                       "  stuff(\"one two  \\nthree\");\n"
                                       "  count_words();\n"
                                       "  point = 0;\n"
                                       "  tidy_line();\n"
                                       "  toggle_ruler();\n"
                                       "  iter = 1;\n"
                                       "  say_hello();\n"
                                       "}\n")),
            "note: 3 words, 1 lines, 15 characters\n2 blanks removed\nRuler on\n"
            "Hello from QXL: first greeting\n");
}

// ---- the listing and the documents

std::string project_file(const std::string& relative) {
  std::ifstream in(std::filesystem::path(__FILE__).parent_path() / "../.." / relative);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(QxlrunPrimitiveListing, EveryPrimitiveHasItsLineInTheListingAndTheDocuments) {
  const std::string readme = project_file("tools/run/README.md");
  const std::string page = project_file("docs/man/qxlrun.1");
  ASSERT_FALSE(readme.empty());
  ASSERT_FALSE(page.empty());
  int provided = 0;
  for (const PrimitiveRow& row : primitive_table()) {
    const std::string name(row.name);
    if (!run::primitive_implemented(row.name)) {
      EXPECT_TRUE(run::primitive_behaviour(row.name).empty()) << name;
      continue;
    }
    ++provided;
    EXPECT_FALSE(run::primitive_behaviour(row.name).empty()) << name;
    EXPECT_NE(readme.find("| `" + name + "` | "), std::string::npos) << name;
    EXPECT_NE(page.find("\n.It Fn " + name + "\n"), std::string::npos) << name;
  }
  // hello.q's primitives, among the rest.
  for (const char* name : {"move_to_column", "current_column", "search", "wait_for_key",
                           "set_character_color", "nl_forward", "replace"})
    EXPECT_TRUE(run::primitive_implemented(name)) << name;
  EXPECT_GE(provided, 98);
}

}  // namespace
}  // namespace qxl::test
