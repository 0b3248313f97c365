#include "bytecode/byte_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qxl {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string text(std::span<const std::uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(ByteReader, ValuesAreLittleEndian) {
  const Bytes bytes{0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF, 0xFF, 0xFF, 0x80};
  EXPECT_EQ(get_u16(bytes.data()), 0x0201);
  EXPECT_EQ(get_u32(bytes.data()), 0x04030201u);
  EXPECT_EQ(get_u32(bytes.data() + 4), 0xFFFFFFFEu);  // no sign spreads

  ByteReader r{bytes, 0};
  EXPECT_EQ(r.u32(), 0x04030201u);
  EXPECT_EQ(r.s16(), -2);
  EXPECT_EQ(r.u16(), 0xFFFF);
  EXPECT_EQ(r.s8(), -128);
  EXPECT_EQ(r.pos, bytes.size());
}

// Each read fits exactly at the end and fails one byte past it, leaving
// the position alone.
TEST(ByteReader, ReadsStopAtTheEnd) {
  const Bytes bytes{1, 2, 3, 4, 5, 6, 7};
  for (std::size_t width : {1u, 2u, 4u}) {
    ByteReader fits{bytes, bytes.size() - width};
    ByteReader short_by_one{bytes, bytes.size() - width + 1};
    switch (width) {
      case 1:
        EXPECT_EQ(fits.u8(), 7);
        EXPECT_THROW(short_by_one.u8(), ReadPastEnd);
        break;
      case 2:
        EXPECT_EQ(fits.u16(), 0x0706);
        EXPECT_THROW(short_by_one.u16(), ReadPastEnd);
        break;
      default:
        EXPECT_EQ(fits.u32(), 0x07060504u);
        EXPECT_THROW(short_by_one.u32(), ReadPastEnd);
    }
    EXPECT_EQ(fits.pos, bytes.size()) << width;
    EXPECT_EQ(fits.left(), 0u);
    EXPECT_EQ(short_by_one.pos, bytes.size() - width + 1) << width;
  }

  ByteReader r{bytes, 5};
  EXPECT_TRUE(r.take(0).empty());
  EXPECT_THROW(r.take(3), ReadPastEnd);
  EXPECT_THROW(r.take(std::uint64_t{1} << 40), ReadPastEnd);
  EXPECT_THROW(r.take(UINT64_MAX), ReadPastEnd);
  EXPECT_EQ(text(r.take(2)), "\x06\x07");
  EXPECT_TRUE(r.has(0));
  EXPECT_FALSE(r.has(1));
}

TEST(ByteReader, APositionPastTheEndReadsNothing) {
  const Bytes bytes{1, 2};
  ByteReader r{bytes, 3};
  EXPECT_EQ(r.left(), 0u);
  EXPECT_FALSE(r.has(0));
  EXPECT_THROW(r.take(0), ReadPastEnd);
  EXPECT_THROW(r.u8(), ReadPastEnd);
  EXPECT_FALSE(r.has_name());
  EXPECT_THROW(r.name(), ReadPastEnd);
  EXPECT_EQ(r.pos, 3u);
}

TEST(ByteReader, NamesEndAtAZeroByte) {
  const Bytes bytes{'a', '-', 'b', 0, 0, 'c', 0, 'd', 'e'};
  ByteReader r{bytes, 0};
  ASSERT_TRUE(r.has_name());
  EXPECT_EQ(text(r.name()), "a-b");
  EXPECT_EQ(r.pos, 4u);
  EXPECT_TRUE(r.name().empty());  // a zero byte alone is the empty name
  EXPECT_EQ(text(r.name()), "c");
  // "de" has no terminator: not a name, and nothing is consumed.
  EXPECT_FALSE(r.has_name());
  EXPECT_THROW(r.name(), ReadPastEnd);
  EXPECT_EQ(r.pos, 7u);
  EXPECT_EQ(text(r.take(2)), "de");
  EXPECT_FALSE(r.has_name());
  EXPECT_THROW(r.name(), ReadPastEnd);
}

// A reader over the first bytes of a buffer reads a region of it: the
// terminator and the values beyond the region's end are not seen.
TEST(ByteReader, ARegionEndsWhereItsBytesEnd) {
  const Bytes file{9, 'x', 'y', 0, 5, 6};
  ByteReader region{std::span<const std::uint8_t>(file).first(3), 1};
  EXPECT_FALSE(region.has_name());
  EXPECT_THROW(region.name(), ReadPastEnd);
  EXPECT_EQ(region.u16(), get_u16(file.data() + 1));
  EXPECT_EQ(region.pos, 3u);  // an offset into the whole buffer
  EXPECT_THROW(region.u8(), ReadPastEnd);
}

}  // namespace
}  // namespace qxl
