// The meaning of character and string constants: their token text (quotes
// and undecoded escapes included, UTF-8) decoded one character at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bytecode/format.h"

namespace qxl {

struct Node;

// Longest character name a \x[NAME] or \u[NAME] escape may give; the name
// is collected in a buffer of this size plus its terminating zero.
inline constexpr std::size_t max_character_name_length = 111;

// The character at `cursor` in a constant's text, with its escape sequence
// or UTF-8 sequence; moves the cursor past it.  The text is the whole
// constant, quotes included: a sequence cut short by the closing quote is
// reported as the malformed sequence it is.  Reads never go beyond the end
// of the text (which counts as a zero byte), nor does the cursor; at the
// end the value is 0.  Values may exceed 0xFFFF (named characters).
std::int32_t decode_char(std::string_view text, std::size_t& cursor);

// The characters of a string constant expression (a literal or a chain of
// adjacent ones) in source order, each truncated to 16 bits.
std::u16string decode_string_expression(const Node* n);
// The same into `out`, which it replaces (so that a caller can reuse one
// buffer).
void decode_string_expression(const Node* n, std::u16string& out);

// The value of a character constant: its first character.
std::int32_t char_constant_value(std::string_view token_text);

// A char array's initializer: the current string constant token and those
// that follow, appended to `record` as 16-bit units with a terminating zero
// unless the string exactly fills the array.  `declared_count` is -1 for an
// array without size.  Returns the units stored.
std::int32_t emit_char_array_string(ByteBuffer& record,
                                    std::int32_t declared_count);

// The color scheme record for the current string constant token and those
// that follow; handed to the writer.
void emit_scheme_name();

}  // namespace qxl
