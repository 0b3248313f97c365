#include "driver/search_paths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace qxl {

namespace {

// The version tag: the upper-cased letters and digits of the version text.
std::string version_tag() {
  std::string tag;
  for (const char* p = version_text; *p != '\0'; ++p)
    if (is_ascii_letter(*p) || is_ascii_digit(*p))
      tag += static_cast<char>(upper_ascii(*p));
  return tag;
}

std::optional<std::string> real_path(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

bool is_executable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> versioned_getenv(std::string_view base) {
  std::string tag = version_tag();
  for (;;) {
    std::string name(base);
    name += tag;
    const std::string unix_name = name + "-UNIX";
    if (const char* value = std::getenv(unix_name.c_str())) return value;
    if (const char* value = std::getenv(name.c_str())) return value;
    if (tag.empty()) return std::nullopt;
    tag.pop_back();
  }
}

std::string find_executable(std::string_view program_name) {
  std::vector<char> link(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", link.data(), PATH_MAX);
  if (n > 0) {
    std::string text(link.data(), static_cast<std::size_t>(n));
    return real_path(text).value_or(text);
  }

  // No /proc: look for the program the way the shell found it.
  const std::string fallback =
      std::string("/usr/local/quillet") + version_text + "/bin/";
  std::string candidate;
  if (program_name.find('/') != std::string_view::npos) {
    candidate = program_name;
  } else if (const char* path = std::getenv("PATH")) {
    std::string_view entries(path);
    candidate = fallback + std::string(program_name);
    for (;;) {
      std::size_t colon = entries.find(':');
      std::string dir(entries.substr(0, colon));
      join_path(dir, program_name);
      if (is_executable(dir)) {
        candidate = dir;
        break;
      }
      if (colon == std::string_view::npos) break;
      entries.remove_prefix(colon + 1);
    }
  }
  if (!is_executable(candidate)) candidate = fallback + "quillet";
  return real_path(candidate).value_or(candidate);
}

std::size_t file_name_part(std::string_view path, bool keep_trailing) {
  std::size_t result = 0;
  for (std::size_t i = 0; i < path.size(); ++i)
    if (path[i] == '/' && (keep_trailing || i + 1 < path.size()))
      result = i + 1;
  return result;
}

std::size_t extension_of(std::string_view path) {
  std::size_t dot = path.size();
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '.') dot = i;
    else if (path[i] == '/') dot = path.size();
  }
  return dot;
}

void join_path(std::string& directory, std::string_view name) {
  if (!directory.empty() && directory.back() != '/') directory += '/';
  directory += name;
}

std::string directory_part(std::string_view path) {
  return std::string(path.substr(0, file_name_part(path, false)));
}

void build_include_list() {}

}  // namespace qxl
