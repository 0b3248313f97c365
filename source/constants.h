// Decoding of character and string constants from their token text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qxl {

// The characters of one string literal's token text (with its quotes), as
// 16-bit units.
std::u16string decode_string_literal(std::string_view token_text);

// The value of a character constant: its first character.
std::int32_t char_constant_value(std::string_view token_text);

}  // namespace qxl
