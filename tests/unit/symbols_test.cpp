#include "source/symbols.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace qxl {
namespace {

class SymbolTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_compiler_state();
    init_symbol_table();
  }
};

TEST_F(SymbolTableTest, ReservedWordsKeepTheirCode) {
  EXPECT_EQ(lookup_symbol("while", tok::identifier), tok::kw_while);
  EXPECT_EQ(lookup_symbol("int", tok::identifier), tok::kw_int);
  EXPECT_EQ(lookup_symbol("color_scheme", tok::identifier),
            tok::kw_color_scheme);
  EXPECT_EQ(lookup_symbol("#tryinclude", directive::unknown),
            directive::tryinclude);
  EXPECT_EQ(lookup_symbol("#include", directive::unknown), directive::include);
  // A directive name never collides with the word after its '#'.
  EXPECT_EQ(lookup_symbol("include", tok::identifier), tok::identifier);
}

TEST_F(SymbolTableTest, FirstCodeWinsAndEntriesAreShared) {
  EXPECT_EQ(lookup_symbol("x", tok::identifier), tok::identifier);
  Symbol* first = symbols.current;
  EXPECT_EQ(lookup_symbol("x", tok::int_const), tok::identifier);
  EXPECT_EQ(symbols.current, first);
  // The quotes are part of a string constant's text.
  EXPECT_EQ(lookup_symbol("\"x\"", tok::string_const), tok::string_const);
  EXPECT_NE(symbols.current, first);
  EXPECT_EQ(lookup_symbol("0x10", tok::int_const), tok::int_const);
  Symbol* hex = symbols.current;
  lookup_symbol("16", tok::int_const);
  EXPECT_NE(symbols.current, hex);
}

TEST_F(SymbolTableTest, HashIsTheByteSumModulo256) {
  EXPECT_EQ(symbol_hash(""), 0u);
  EXPECT_EQ(symbol_hash("a"), 97u);
  EXPECT_EQ(symbol_hash("ab"), (97u + 98u) % 256u);
  EXPECT_EQ(symbol_hash("\xff\xff"), (255u + 255u) % 256u);
}

TEST_F(SymbolTableTest, AlikeHashesShareAChainAndMoveToFront) {
  const std::size_t bucket = symbol_hash("ab");
  ASSERT_EQ(bucket, symbol_hash("ba"));
  const std::vector<std::string> before = symbol_chain(bucket);

  lookup_symbol("ab", tok::identifier);
  lookup_symbol("ba", tok::identifier);
  std::vector<std::string> chain = symbol_chain(bucket);
  ASSERT_GE(chain.size(), 2u);
  EXPECT_EQ(chain[0], "ba");
  EXPECT_EQ(chain[1], "ab");

  // A hit on an entry further down moves it to the head; the rest keep
  // their order.
  Symbol* ab = nullptr;
  lookup_symbol("ab", tok::identifier);
  ab = symbols.current;
  chain = symbol_chain(bucket);
  EXPECT_EQ(chain[0], "ab");
  EXPECT_EQ(chain[1], "ba");
  EXPECT_EQ(symbol_chain_head(bucket), ab);

  // A hit on the head leaves the chain as it is.
  lookup_symbol("ab", tok::identifier);
  EXPECT_EQ(symbol_chain(bucket), chain);
  EXPECT_EQ(chain.size(), before.size() + 2);
}

TEST_F(SymbolTableTest, LastEntryOfAChainMovesToTheHead) {
  // "ab", "ba" and "\x01\xc2" all sum to 195.
  const std::string third = std::string("\x01\xc2");
  ASSERT_EQ(symbol_hash(third), symbol_hash("ab"));
  clear_symbol_table();  // the chain holds only the three texts
  lookup_symbol("ab", tok::identifier);
  lookup_symbol("ba", tok::identifier);
  lookup_symbol(third, tok::identifier);
  std::vector<std::string> chain = symbol_chain(symbol_hash("ab"));
  ASSERT_EQ(chain.back(), "ab");
  lookup_symbol("ab", tok::identifier);
  chain = symbol_chain(symbol_hash("ab"));
  EXPECT_EQ(chain.front(), "ab");
  EXPECT_EQ(chain[1], third);
  EXPECT_EQ(chain[2], "ba");
}

TEST_F(SymbolTableTest, EveryEntryIsFoundAfterTheIndexGrows) {
  std::vector<Symbol*> entries;
  for (int i = 0; i < 20000; ++i) {
    lookup_symbol("name" + std::to_string(i), tok::identifier);
    entries.push_back(symbols.current);
  }
  for (int i = 0; i < 20000; ++i) {
    EXPECT_EQ(lookup_symbol("name" + std::to_string(i), tok::int_const),
              tok::identifier);
    EXPECT_EQ(symbols.current, entries[static_cast<std::size_t>(i)]);
  }
  // Texts that differ only in their last bytes, or are prefixes of each
  // other, are distinct entries.
  lookup_symbol("name1234", tok::identifier);
  EXPECT_EQ(symbols.current, entries[1234]);
  lookup_symbol("name12345", tok::identifier);
  EXPECT_EQ(symbols.current, entries[12345]);
  EXPECT_EQ(lookup_symbol("name123456789", tok::int_const), tok::int_const);
  // The reserved words entered first are still there.
  EXPECT_EQ(lookup_symbol("while", tok::identifier), tok::kw_while);
}

TEST_F(SymbolTableTest, TextsStayPutAndWholeAcrossTheNameStore) {
  // Enough texts to fill several blocks of the store, a few longer than a
  // block's share and one longer than a block, and texts with a NUL inside:
  // each entry keeps its bytes, ended by a NUL, where they first were.
  std::vector<std::string> texts;
  for (int i = 0; i < 30000; ++i) texts.push_back("name_" + std::to_string(i));
  texts.push_back(std::string(NameStore::block_size / 4, 'm'));
  texts.push_back(std::string(NameStore::block_size + 7, 'l'));
  texts.push_back(std::string("a\0b", 3));
  texts.push_back(std::string("a\0c", 3));
  texts.push_back("");
  std::vector<const char*> where;
  for (const std::string& t : texts) {
    lookup_symbol(t, tok::identifier);
    where.push_back(symbols.current->name.data());
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    lookup_symbol(texts[i], tok::int_const);
    const SymbolName& name = symbols.current->name;
    ASSERT_EQ(name.data(), where[i]) << i;
    ASSERT_EQ(std::string(name), texts[i]) << i;
    ASSERT_EQ(name.c_str()[name.size()], '\0') << i;
  }
}

TEST_F(SymbolTableTest, EmptyTextIsNotedAndStillEntered) {
  std::string console;
  diagnostics.capture = &console;
  EXPECT_EQ(lookup_symbol("", tok::identifier), tok::identifier);
  diagnostics.capture = nullptr;
  EXPECT_EQ(console, "internal error: null in symbol table\n");
  EXPECT_EQ(symbol_chain_head(0), symbols.current);
}

TEST_F(SymbolTableTest, ClearEmptiesEveryBucket) {
  lookup_symbol("gone", tok::identifier);
  clear_symbol_table();
  for (std::size_t bucket = 0; bucket < symbol_bucket_count; ++bucket)
    EXPECT_EQ(symbol_chain_head(bucket), nullptr);
  init_symbol_table();
  EXPECT_EQ(lookup_symbol("gone", tok::int_const), tok::int_const);
}

}  // namespace
}  // namespace qxl
