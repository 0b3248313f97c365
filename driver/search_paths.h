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

// Whether the executable sits in an installed product layout: a directory
// whose name begins with "qui" holding bin/, or an application bundle
// (a directory whose name contains ".app") holding Contents/bin/.
bool installed_layout(std::string_view executable_path);
bool installed_layout();  // for settings.executable_path

// The search path used when QLTPATH is not set: the customization
// directory (QLTCUSTDIR, else ~/.quillet), the executable's directory (its
// product directory when installed) unless use_executable is false, and
// the standard product directory, joined by ':'.
std::string default_search_path(bool use_executable);

// Extends the include directory list from QLTPATH (or its default: then
// the executable's directory too, unless installed), each entry with
// "include/" joined to it.  The driver skips it under search suppression
// bit 2.
void build_include_list();

// The path with a leading "~" or "~user" replaced by the home directory,
// from HOME or the user database; unchanged when the path has no leading
// '~' or the home directory is not known.
std::string expand_home(std::string_view path);

// The same through HOME or the system shell (used only while the
// executable is looked for without /proc): the expansion, or none when the
// path has no leading '~' or the shell gives no answer.
std::optional<std::string> expand_home_by_shell(std::string_view path);

// ASCII-only character classes: bytes 128 to 255 are never letters.
constexpr bool is_ascii_letter(int c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
constexpr bool is_ascii_digit(int c) { return c >= '0' && c <= '9'; }
constexpr int upper_ascii(int c) {
  return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

}  // namespace qxl
