// The layout of the bytecode file the editor loads: header, record kinds
// and attribute bits.  All integers in the file are little-endian and
// unaligned; names have each '_' written as '-' and end with a zero byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace qxl {

inline constexpr std::uint32_t bytecode_magic = 0x1A4C5851;  // "QXL\x1a"
inline constexpr std::uint32_t bytecode_version = 206;
inline constexpr std::size_t header_size = 16;

// The first byte of every record.
namespace record {
inline constexpr std::uint8_t command = 17;
inline constexpr std::uint8_t function = 18;
inline constexpr std::uint8_t variable = 19;
inline constexpr std::uint8_t initialized_variable = 20;
inline constexpr std::uint8_t buffer_variable = 21;
inline constexpr std::uint8_t window_variable = 22;
inline constexpr std::uint8_t key_table = 24;
inline constexpr std::uint8_t key_binding = 25;
inline constexpr std::uint8_t color_class = 26;
inline constexpr std::uint8_t color_scheme = 27;
inline constexpr std::uint8_t color_assignment = 28;
inline constexpr std::uint8_t end = 31;
}  // namespace record

// Attribute byte of variable records: storage class in bits 0 to 3.
namespace attribute {
inline constexpr std::uint8_t class_char = 1;
inline constexpr std::uint8_t class_short = 2;
inline constexpr std::uint8_t class_int = 3;
inline constexpr std::uint8_t class_char_array = 4;
inline constexpr std::uint8_t class_char_pointer = 5;
inline constexpr std::uint8_t class_spot_or_pointer = 6;
inline constexpr std::uint8_t class_other = 7;
inline constexpr std::uint8_t class_byte = 8;
inline constexpr std::uint8_t user = 0x10;
inline constexpr std::uint8_t volatile_ = 0x20;
inline constexpr std::uint8_t zeroed = 0x40;
}  // namespace attribute

inline constexpr const char* id_variable_prefix = "-loaded-qxl-file-";

// Limits of the two data blocks at the end of the file.
inline constexpr std::size_t string_pool_limit = 3000000;
inline constexpr std::size_t debug_names_limit = 100000;

}  // namespace qxl

namespace qxl {

using ByteBuffer = std::vector<std::uint8_t>;

inline void put_u8(ByteBuffer& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value));
}
inline void put_u16(ByteBuffer& out, unsigned value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}
inline void put_u32(ByteBuffer& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}
inline void patch_u32(ByteBuffer& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[at + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(value >> (8 * i));
}
// A name as the file stores it: each '_' written as '-', then a zero byte.
inline void put_name(ByteBuffer& out, std::string_view name) {
  const std::size_t at = out.size();
  out.resize(at + name.size() + 1);  // the last byte stays 0
  std::uint8_t* text = out.data() + at;
  for (char c : name) *text++ = static_cast<std::uint8_t>(c == '_' ? '-' : c);
}

}  // namespace qxl
