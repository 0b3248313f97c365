#include "tools/key_notation.h"

#include <array>

namespace qxl {
namespace {

struct NamedKey {
  std::uint32_t code;
  std::string_view name;
};

// Keys with a name of their own; "Enter" is read but never written.
constexpr std::array<NamedKey, 6> named_keys{{
    {key::tab, "Tab"},
    {key::return_, "Return"},
    {key::escape, "Esc"},
    {key::space, "Space"},
    {key::del, "Del"},
    {key::return_, "Enter"},
}};

constexpr std::uint32_t first_printable = '!';
constexpr std::uint32_t last_printable = '~';
// Alt combines with the keys that have a word of their own: the codes
// below Del and Del itself.
constexpr std::uint32_t alt_base_limit = key::del + 1;

constexpr std::string_view control_prefix = "C-";
constexpr std::string_view alt_prefix = "Alt-";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number without sign; nothing when it is empty, holds another
// character or exceeds `largest`.
std::optional<std::uint32_t> decimal(std::string_view digits,
                                     std::uint32_t largest) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (!is_digit(c)) return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > largest) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> control_code(std::string_view letter) {
  if (letter.size() != 1) return std::nullopt;
  const auto c = static_cast<unsigned char>(letter[0]);
  if (c >= 'a' && c <= 'z') return c - 'a' + 1;
  if (c >= key::control_offset && c < key::control_offset + key::control_limit)
    return c - key::control_offset;
  return std::nullopt;
}

}  // namespace

std::string key_text(std::uint32_t code) {
  for (const NamedKey& named : named_keys)
    if (named.code == code) return std::string(named.name);
  if (code >= first_printable && code <= last_printable)
    return std::string(1, static_cast<char>(code));
  if (code < key::control_limit) {
    char letter = static_cast<char>(code + key::control_offset);
    if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
    return std::string(control_prefix) + letter;
  }
  if (code >= key::alt && code < key::alt + alt_base_limit)
    return std::string(alt_prefix) + key_text(code - key::alt);
  if (code > key::function && code <= key::function + key::last_function_number)
    return "F" + std::to_string(code - key::function);
  return "#" + std::to_string(code);
}

std::optional<std::uint32_t> key_code(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (const NamedKey& named : named_keys)
    if (named.name == text) return named.code;
  if (text.size() == 1) {
    const auto c = static_cast<unsigned char>(text[0]);
    if (c >= first_printable && c <= last_printable) return c;
    return std::nullopt;
  }
  if (text.starts_with(control_prefix))
    return control_code(text.substr(control_prefix.size()));
  if (text.starts_with(alt_prefix)) {
    const auto base = key_code(text.substr(alt_prefix.size()));
    if (!base || *base >= alt_base_limit) return std::nullopt;
    return key::alt + *base;
  }
  if (text[0] == 'F' && text.size() > 1 && text[1] != '0') {
    const auto number = decimal(text.substr(1), key::last_function_number);
    if (!number) return std::nullopt;
    return key::function + *number;
  }
  if (text[0] == '#') return decimal(text.substr(1), UINT32_MAX);
  return std::nullopt;
}

std::optional<std::uint32_t> key_of_table_name(std::string_view name) {
  constexpr std::string_view control_table = "ctl";
  constexpr std::string_view alt_table = "alt";
  constexpr std::string_view table_suffix = "_keys";
  // Both prefixes have the same length.
  const std::size_t letter_at = control_table.size();
  if (name.size() != letter_at + 1 + table_suffix.size() ||
      !name.ends_with(table_suffix))
    return std::nullopt;
  const char letter = name[letter_at];
  if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z')))
    return std::nullopt;
  if (name.starts_with(control_table))
    return control_code(std::string_view(&letter, 1));
  if (name.starts_with(alt_table))
    return key::alt + static_cast<std::uint32_t>(letter);
  return std::nullopt;
}

}  // namespace qxl
