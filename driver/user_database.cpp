#include "driver/user_database.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qxl {

UserDatabase user_database;

void UserDatabase::reset() {
  std::string kept_path = std::move(path);
  *this = UserDatabase{};
  path = std::move(kept_path);
}

namespace {

// A field read as a decimal number, as strtol reads it (no digits give 0).
std::int32_t decimal_field(const std::string& text) {
  return static_cast<std::int32_t>(std::strtol(text.c_str(), nullptr, 10));
}

void load_passwd() {
  if (user_database.loaded) return;
  user_database.loaded = true;
  std::FILE* file = std::fopen(user_database.path.c_str(), "re");
  if (file == nullptr) return;
  std::string text;
  for (;;) {
    text.clear();
    int c = 0;
    while (text.size() < passwd_line_buffer - 1 &&
           (c = std::getc(file)) != EOF) {
      text += static_cast<char>(c);
      if (c == '\n') break;
    }
    if (text.empty()) break;  // end of file
    if (text.back() != '\n')  // a long line: its rest is skipped
      while ((c = std::getc(file)) != EOF && c != '\n') {
      }
    if (text.front() != '\n') add_user_entry(text);
  }
  std::fclose(file);
}

}  // namespace

void add_user_entry(std::string_view line) {
  // A line ends at its newline (or at a zero byte, as text does).
  line = line.substr(0, line.find_first_of(std::string_view("\n\0", 2)));
  std::vector<std::string> fields;
  for (;;) {
    const std::size_t colon = line.find(':');
    fields.emplace_back(line.substr(0, colon));
    if (colon == std::string_view::npos || fields.size() == 7) break;
    line.remove_prefix(colon + 1);
  }
  UserEntry& entry = user_database.entries.emplace_back();
  entry.name = fields[0];
  if (fields.size() > 1) entry.password = fields[1];
  if (fields.size() > 2) entry.uid = decimal_field(fields[2]);
  if (fields.size() > 3) entry.gid = decimal_field(fields[3]);
  if (fields.size() > 4) entry.gecos = fields[4];
  if (fields.size() > 5) entry.home = fields[5];
  if (fields.size() > 6) entry.shell = fields[6];
}

const UserEntry* find_user_by_name(std::string_view name) {
  load_passwd();
  for (auto it = user_database.entries.rbegin();
       it != user_database.entries.rend(); ++it)
    if (it->name == name) return &*it;
  return nullptr;
}

const UserEntry* find_user_by_uid(std::int32_t uid) {
  load_passwd();
  for (auto it = user_database.entries.rbegin();
       it != user_database.entries.rend(); ++it)
    if (it->uid == uid) return &*it;
  return nullptr;
}

}  // namespace qxl
