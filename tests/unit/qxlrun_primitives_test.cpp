// qxlrun's primitives: the checks of every length, count and position
// before anything is allocated or looped over, and the behaviour of the
// primitives on small compiled programs.
#include <gtest/gtest.h>

#include <chrono>

#include "qxlrun_support.h"
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

}  // namespace
}  // namespace qxl::test
