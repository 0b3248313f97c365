// Where the compiler is installed, versioned environment look-ups and the
// small path routines the rest of the program shares.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qxl {

inline constexpr const char* version_text = "13.17";

// Value of the first variable that is set among the versioned forms of
// `base` (QXL1317-UNIX, QXL1317, QXL131-UNIX, ... QXL-UNIX, QXL).
std::optional<std::string> versioned_getenv(std::string_view base);

// Absolute path of the running compiler, symbolic links resolved.
std::string find_executable(std::string_view program_name);

// Index just after the last '/' of the path.  Without keep_trailing a '/'
// at the very end is ignored, so the result is the start of the last
// component; with it the index may be the path's end.
std::size_t file_name_part(std::string_view path, bool keep_trailing);

// Index of the extension's '.' (the last '.' not followed by a '/'), or the
// path's size when there is none.
std::size_t extension_of(std::string_view path);

// Appends '/' when `directory` is not empty and does not end in one, then
// the name.
void join_path(std::string& directory, std::string_view name);

// The directory part of a path with its trailing '/', or "" when the path
// has no '/' followed by another character.
std::string directory_part(std::string_view path);

// Extends the include directory list from QLTPATH (or its default) and the
// executable's directory, unless the search suppression bits forbid it.
void build_include_list();

// ASCII-only character classes: bytes 128 to 255 are never letters.
constexpr bool is_ascii_letter(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool is_ascii_digit(int c) { return c >= '0' && c <= '9'; }
constexpr int upper_ascii(int c) {
  return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

}  // namespace qxl
