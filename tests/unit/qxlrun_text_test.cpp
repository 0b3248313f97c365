// qxlrun's formatting of say/sprintf text and its UTF-8 conversions.
#include <gtest/gtest.h>

#include <deque>
#include <variant>

#include "tools/run/machine.h"

namespace qxl::run {
namespace {

// Formats with arguments from a list: ints, or strings for %s.
std::string format(std::u16string_view f,
                   std::deque<std::variant<int, std::u16string>> values) {
  FormatArguments args;
  args.next_int = [&] {
    if (values.empty()) fault("no argument left");
    const int v = std::get<int>(values.front());
    values.pop_front();
    return v;
  };
  args.next_string = [&] {
    if (values.empty()) fault("no argument left");
    std::u16string s = std::get<std::u16string>(values.front());
    values.pop_front();
    return s;
  };
  const std::string out = to_utf8(format_text(f, args));
  EXPECT_TRUE(values.empty()) << "arguments left over for " << to_utf8(f);
  return out;
}

TEST(QxlrunFormat, IntegerConversions) {
  EXPECT_EQ(format(u"%d|%i|%u", {-5, 7, -1}), "-5|7|4294967295");
  EXPECT_EQ(format(u"%x %X %o", {255, 255, 8}), "ff FF 10");
  EXPECT_EQ(format(u"%d", {-2147483647 - 1}), "-2147483648");
  EXPECT_EQ(format(u"%#x %#X %#o %#x", {255, 255, 8, 0}), "0xff 0XFF 010 0");
  EXPECT_EQ(format(u"%+d % d %+d", {3, 3, -3}), "+3  3 -3");
  EXPECT_EQ(format(u"%ld %hd", {1, 2}), "1 2");
}

TEST(QxlrunFormat, WidthsPrecisionAndFlags) {
  EXPECT_EQ(format(u"[%5d][%-5d][%05d][%-05d]", {42, 42, 42, 42}),
            "[   42][42   ][00042][42   ]");
  EXPECT_EQ(format(u"[%05d][%5.3d][%.0d]", {-42, 7, 0}), "[-0042][  007][]");
  EXPECT_EQ(format(u"[%*d][%-*d][%*d]", {4, 1, 3, 2, -3, 5}), "[   1][2  ][5  ]");
  EXPECT_EQ(format(u"[%6s][%-6s][%.2s][%c]", {u"ab", u"ab", u"xyz", 'Q'}),
            "[    ab][ab    ][xy][Q]");
  EXPECT_EQ(format(u"100%% sure", {}), "100% sure");
}

TEST(QxlrunFormat, CharactersBeyondAsciiAreKept) {
  EXPECT_EQ(format(u"%s-%c", {u"\u00e9\u4e2d", 0x263A}),
            "\xc3\xa9\xe4\xb8\xad-\xe2\x98\xba");
}

TEST(QxlrunFormat, BadFormatsFault) {
  EXPECT_THROW(format(u"%q", {1}), Fault);
  EXPECT_THROW(format(u"trailing %", {}), Fault);
  EXPECT_THROW(format(u"%d %d", {1}), Fault);
  EXPECT_THROW(format(u"%999999d", {1}), Fault);
}

TEST(QxlrunUtf8, RoundTripAndSurrogates) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600";
  EXPECT_EQ(to_utf8(text), "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
  EXPECT_EQ(from_utf8(to_utf8(text)), text);
  // A lone surrogate cannot be written as UTF-8.
  EXPECT_EQ(to_utf8(u"\xd800x"), "\xef\xbf\xbdx");
}

TEST(QxlrunUtf8, InvalidBytesStandForThemselves) {
  EXPECT_EQ(from_utf8("\xff\xc3"), std::u16string(u"\u00ff\u00c3"));
  EXPECT_EQ(from_utf8("\xc0\x80"), std::u16string(u"\u00c0\u0080"));  // overlong
  EXPECT_EQ(from_utf8("\xed\xa0\x80"), std::u16string(u"\u00ed\u00a0\u0080"));
  EXPECT_EQ(from_utf8("\xe4\xb8"), std::u16string(u"\u00e4\u00b8"));  // cut short
}

}  // namespace
}  // namespace qxl::run
