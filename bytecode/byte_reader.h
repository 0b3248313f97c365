// Reading the bytecode file's layout back (format.h has the writing side):
// little-endian integers at a known position, and a cursor whose every read
// is checked against the end of its bytes.  The tools read files, code and
// pool entries through these; what a short read means (a message, a fault,
// a file cut short) is each caller's to say.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qxl {

// The little-endian value in the bytes at `at`, which the caller knows to
// be there.
inline std::uint16_t get_u16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}
inline std::uint32_t get_u32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) |
         static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 |
         static_cast<std::uint32_t>(at[3]) << 24;
}

// Thrown by a read of ByteReader that would run past the end of its bytes;
// the cursor stays where it was.
struct ReadPastEnd {};

// A cursor over `bytes`.  Positions are indexes into `bytes`, so a reader
// over the first N bytes of a file reads a region of it and still speaks
// of file offsets.  A position beyond the end leaves nothing to read, not
// even zero bytes.
struct ByteReader {
  std::span<const std::uint8_t> bytes;
  std::size_t pos = 0;

  std::size_t left() const {
    return pos < bytes.size() ? bytes.size() - pos : 0;
  }
  bool has(std::uint64_t count) const {
    return pos <= bytes.size() && count <= bytes.size() - pos;
  }

  std::span<const std::uint8_t> take(std::uint64_t count) {
    if (!has(count)) throw ReadPastEnd{};
    const auto out = bytes.subspan(pos, static_cast<std::size_t>(count));
    pos += out.size();
    return out;
  }
  std::uint8_t u8() { return take(1)[0]; }
  std::int8_t s8() { return static_cast<std::int8_t>(u8()); }
  std::uint16_t u16() { return get_u16(take(2).data()); }
  std::int16_t s16() { return static_cast<std::int16_t>(u16()); }
  std::uint32_t u32() { return get_u32(take(4).data()); }

  // Whether a zero byte, the end of a name, lies among the bytes left.
  bool has_name() const {
    const auto rest = bytes.subspan(bytes.size() - left());
    return std::find(rest.begin(), rest.end(), std::uint8_t{0}) != rest.end();
  }
  // A name as the file stores it: the bytes up to a zero byte, which is
  // read but not returned.
  std::span<const std::uint8_t> name() {
    const auto rest = bytes.subspan(bytes.size() - left());
    const auto zero = std::find(rest.begin(), rest.end(), std::uint8_t{0});
    if (zero == rest.end()) throw ReadPastEnd{};
    const auto out = rest.first(static_cast<std::size_t>(zero - rest.begin()));
    pos += out.size() + 1;
    return out;
  }
};

}  // namespace qxl
