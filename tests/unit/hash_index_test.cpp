// The hash index behind the symbol table and the output's pools: every
// value stays findable through growth, under colliding hashes and when the
// probe sequence wraps around the end of the slots.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "bytecode/hash_index.h"

namespace {

using qxl::HashIndex;

const std::uint32_t* find_value(const HashIndex<std::uint32_t>& index,
                                std::uint32_t hash, std::uint32_t value) {
  return index.find(hash, [value](std::uint32_t v) { return v == value; });
}

TEST(HashIndex, ValuesSurviveGrowthAndCollisions) {
  HashIndex<std::uint32_t> index;
  EXPECT_EQ(find_value(index, 7, 7), nullptr);  // empty index
  // Hashes with few distinct low bits collide in long runs; the last slots
  // of the table make probes wrap around to the first.
  constexpr std::uint32_t count = 20000;
  const auto hash_of = [](std::uint32_t v) {
    return (v % 97) * 1024u + 1023u + (v % 3) * 0x10000u;
  };
  for (std::uint32_t v = 0; v < count; ++v) {
    index.insert(hash_of(v), v);
    ASSERT_LE(index.used * 4, index.slots.size() * 3) << "after " << v;
  }
  for (std::uint32_t v = 0; v < count; ++v) {
    const std::uint32_t* found = find_value(index, hash_of(v), v);
    ASSERT_NE(found, nullptr) << v;
    EXPECT_EQ(*found, v);
  }
  EXPECT_EQ(find_value(index, hash_of(5), count + 5), nullptr);
  EXPECT_EQ(find_value(index, 12345, 5), nullptr);
  index.clear();
  EXPECT_EQ(find_value(index, hash_of(5), 5), nullptr);
}

}  // namespace
