// Key codes as the editor numbers them, and the short notation people
// write them in ("a", "C-x", "Alt-h", "F4", "Tab").
//
// The codes: a character key is its character (0 to 255); a control key
// is its letter's code less 64 ('@'), so C-a is 1 and C-u 21; an Alt key
// has 0x100 added to the key it modifies (Alt-h, Alt-C-x); function key n
// is 0x200 + n.
//
// The notation, one word for each code:
//   33 to 126           the character itself ("a", "h", "{")
//   9, 13, 27, 32, 127  "Tab", "Return", "Esc", "Space", "Del"
//   0 to 31 otherwise   "C-" and the letter, shown lower case ("C-u"); the
//                       codes 0 and 27 to 31 show '@', '[', '\', ']', '^'
//                       and '_'
//   0x100 + 0 to 127    "Alt-" and that code's word ("Alt-h", "Alt-C-x")
//   0x201 to 0x263      "F1" to "F99"
//   anything else       '#' and the code in decimal ("#200", "#4096")
//
// key_code() reads every word key_text() writes, and also "Enter" for
// Return, "C-" with an upper-case letter (the same code as lower case),
// "C-i", "C-m" and "C-[" for the keys that have names of their own, and
// "#N" for any code up to 0xFFFFFFFF.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qxl {

namespace key {
inline constexpr std::uint32_t tab = 9;
inline constexpr std::uint32_t return_ = 13;
inline constexpr std::uint32_t escape = 27;
inline constexpr std::uint32_t space = 32;
inline constexpr std::uint32_t del = 127;
// A control key is its letter's code less this ('@').
inline constexpr std::uint32_t control_offset = 64;
inline constexpr std::uint32_t control_limit = 32;  // codes below are control keys
inline constexpr std::uint32_t character_limit = 0x100;
inline constexpr std::uint32_t alt = 0x100;
inline constexpr std::uint32_t function = 0x200;
inline constexpr std::uint32_t last_function_number = 99;
}  // namespace key

// The word for a key code.
std::string key_text(std::uint32_t code);

// The code for a word of the notation; nothing for a word it does not
// know.
std::optional<std::uint32_t> key_code(std::string_view text);

// The key that reaches a key table from the first one by the naming rule
// of key tables: "ctl<l>_keys" is reached by C-<l> and "alt<l>_keys" by
// Alt-<l>, for a letter <l>; nothing for any other name.
std::optional<std::uint32_t> key_of_table_name(std::string_view name);

}  // namespace qxl
