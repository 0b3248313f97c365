// The password file, read once, for the home directories of users.
//
// The system's name-service libraries are not used: the file is read
// directly into a list of entries, and later lines win over earlier ones
// with the same name or uid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qxl {

struct UserEntry {
  std::string name;
  std::string password;
  std::optional<std::int32_t> uid;  // none when the line ends before it
  std::optional<std::int32_t> gid;
  std::string gecos;
  std::string home;
  std::string shell;
};

// Lines are read into a buffer of this size: at most one less character of
// a line is used, the rest of a longer line is skipped.
inline constexpr std::size_t passwd_line_buffer = 256;

struct UserDatabase {
  // The file read; tests point it elsewhere.  Kept by reset().
  std::string path = "/etc/passwd";
  // Set before the first read, so a file that cannot be opened is never
  // tried again.
  bool loaded = false;
  std::vector<UserEntry> entries;  // in file order

  // Forgets what was read, so that the next look-up reads the file again.
  void reset();
};

extern UserDatabase user_database;

// Adds the entry for one line of the password file.
void add_user_entry(std::string_view line);

// Both load the file on first use; the comparison of names is exact.
const UserEntry* find_user_by_name(std::string_view name);
const UserEntry* find_user_by_uid(std::int32_t uid);

}  // namespace qxl
