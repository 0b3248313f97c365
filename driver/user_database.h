// The password file, read once, for the home directories of users.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qxl {

struct UserEntry {
  std::string name;
  std::string password;
  std::optional<std::int32_t> uid;
  std::optional<std::int32_t> gid;
  std::string gecos;
  std::string home;
  std::string shell;
};

const UserEntry* find_user_by_name(std::string_view name);
const UserEntry* find_user_by_uid(std::int32_t uid);

}  // namespace qxl
