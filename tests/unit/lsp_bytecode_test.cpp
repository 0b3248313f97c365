// The key notation of the tools: key codes to words and back.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tools/key_notation.h"

namespace qxl {
namespace {

// ---------------------------------------------------------- key notation

struct KeyWord {
  std::uint32_t code;
  const char* text;
};

TEST(KeyNotation, WritesEachKindOfKey) {
  const KeyWord words[] = {
      {'a', "a"},         {'h', "h"},         {'{', "{"},
      {'!', "!"},         {'~', "~"},         {'#', "#"},
      {1, "C-a"},         {21, "C-u"},        {26, "C-z"},
      {0, "C-@"},         {28, "C-\\"},       {31, "C-_"},
      {9, "Tab"},         {13, "Return"},     {27, "Esc"},
      {32, "Space"},      {127, "Del"},       {0x168, "Alt-h"},
      {0x115, "Alt-C-u"}, {0x109, "Alt-Tab"}, {0x17f, "Alt-Del"},
      {0x120, "Alt-Space"}, {0x201, "F1"},    {0x204, "F4"},
      {0x263, "F99"},     {0x200, "#512"},    {0x264, "#612"},
      {128, "#128"},      {255, "#255"},      {0x180, "#384"},
      {0x1ff, "#511"},    {4096, "#4096"},    {0xFFFFFFFF, "#4294967295"},
  };
  for (const KeyWord& word : words) {
    EXPECT_EQ(key_text(word.code), word.text) << word.code;
    EXPECT_EQ(key_code(word.text), word.code) << word.text;
  }
}

TEST(KeyNotation, EveryCodeRoundTrips) {
  for (std::uint32_t code = 0; code < 0x1000; ++code)
    EXPECT_EQ(key_code(key_text(code)), code) << key_text(code);
  for (std::uint32_t code : {0x10000u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu})
    EXPECT_EQ(key_code(key_text(code)), code);
}

TEST(KeyNotation, ReadsOtherSpellingsOfTheSameKeys) {
  EXPECT_EQ(key_code("Enter"), 13u);
  EXPECT_EQ(key_code("C-U"), 21u);
  EXPECT_EQ(key_code("C-i"), 9u);
  EXPECT_EQ(key_code("C-m"), 13u);
  EXPECT_EQ(key_code("C-["), 27u);
  EXPECT_EQ(key_code("Alt-Enter"), 0x10du);
  EXPECT_EQ(key_code("Alt-C-X"), 0x118u);
  EXPECT_EQ(key_code("#97"), 97u);
  EXPECT_EQ(key_code("#0042"), 42u);
  EXPECT_EQ(key_code("F"), std::uint32_t{'F'});
}

TEST(KeyNotation, RefusesWordsItDoesNotKnow) {
  for (const char* word :
       {"", " ", "\x01", "\xe9", "ab", "tab", "TAB", "C-", "C-ab", "C-1", "C--",
        "C-{", "Alt-", "Alt-Alt-a", "Alt-#200", "Alt-F1", "F-1", "F0", "F01",
        "F100", "Fx", "F1x", "#-1", "##1", "#1x", "#4294967296",
        "#99999999999999999999"})
    EXPECT_FALSE(key_code(word).has_value()) << word;
}

}  // namespace
}  // namespace qxl
