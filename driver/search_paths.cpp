#include "driver/search_paths.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "driver/options.h"
#include "driver/user_database.h"

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

namespace {

// The shell's "~name" expansion is only asked for names of these
// characters, so the command can hold nothing but the name.
bool is_user_name_char(char c) {
  return is_ascii_letter(c) || is_ascii_digit(c) || c == '-';
}

// The home directory followed by the rest of the path after the "~name",
// with one leading '/' of the rest skipped.
std::string join_home(std::string home, std::string_view rest) {
  if (home.empty() || home.back() != '/') home += '/';
  if (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
  home += rest;
  return home;
}

// The first line the system shell prints for "echo <word>", or none when
// the shell cannot be run, fails, says nothing or says too much.
std::optional<std::string> shell_echo(const std::string& word) {
  const std::string command = "echo " + word;
  int ends[2];
  if (::pipe(ends) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    return std::nullopt;
  }
  if (child == 0) {
    ::dup2(ends[1], STDOUT_FILENO);
    ::close(ends[0]);
    ::close(ends[1]);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::execlp("sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ends[1]);
  // The answer must fit a line buffer of this size with its newline.
  constexpr std::size_t line_size = 256;
  std::string output;
  char block[512];
  for (;;) {
    const ssize_t n = ::read(ends[0], block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output.size() < line_size)
      output.append(block, static_cast<std::size_t>(n));
  }
  ::close(ends[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return std::nullopt;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  const std::size_t newline = output.find('\n');
  if (newline == std::string::npos ? output.size() >= line_size - 1
                                   : newline >= line_size - 1)
    return std::nullopt;
  output.resize(std::min(newline, output.size()));
  if (output.empty()) return std::nullopt;
  return output;
}

// The path after expand_home_by_shell, or as it is.
std::string shell_expanded(const std::string& path) {
  return expand_home_by_shell(path).value_or(path);
}

}  // namespace

std::string find_executable(std::string_view program_name) {
  std::vector<char> link(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", link.data(), PATH_MAX);
  // The system's answer is already the file's own path, with no link in
  // it left to resolve.
  if (n > 0) return std::string(link.data(), static_cast<std::size_t>(n));

  // No /proc: look for the program the way the shell found it.
  const std::string product_bin =
      std::string("/usr/local/quillet") + version_text + "/bin/";
  std::string candidate;
  if (program_name.find('/') != std::string_view::npos) {
    candidate = program_name;
  } else if (const char* path = std::getenv("PATH")) {
    std::string_view entries(path);
    candidate = product_bin + std::string(program_name);
    for (;;) {
      std::size_t colon = entries.find(':');
      std::string dir(entries.substr(0, colon));
      join_path(dir, program_name);
      if (is_executable(shell_expanded(dir))) {
        candidate = dir;
        break;
      }
      if (colon == std::string_view::npos) break;
      entries.remove_prefix(colon + 1);
    }
  }
  if (!is_executable(shell_expanded(candidate)))
    candidate = product_bin + "quillet";
  const std::string expanded = shell_expanded(candidate);
  return real_path(expanded).value_or(expanded);
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

bool installed_layout(std::string_view executable_path) {
  // Splits "parent/component/" into its parts.
  auto last_component = [](std::string_view& directory) {
    if (!directory.empty() && directory.back() == '/')
      directory.remove_suffix(1);
    const std::size_t start = file_name_part(directory, true);
    const std::string_view component = directory.substr(start);
    directory = directory.substr(0, start);
    return component;
  };
  std::string_view directory =
      executable_path.substr(0, file_name_part(executable_path, true));
  if (!last_component(directory).starts_with("bin")) return false;
  const std::string_view product = last_component(directory);
  if (product.starts_with("qui")) return true;
  if (product != "Contents") return false;
  return last_component(directory).find(".app") != std::string_view::npos;
}

bool installed_layout() { return installed_layout(settings.executable_path); }

std::string default_search_path(bool use_executable) {
  const std::optional<std::string> custom = versioned_getenv("QLTCUSTDIR");
  std::string path = custom && !custom->empty() ? *custom : "~/.quillet";
  path += ':';
  const std::string& executable = settings.executable_path;
  const std::size_t name_start = file_name_part(executable, true);
  if (use_executable && name_start > 0) {
    std::string directory = executable.substr(0, name_start - 1);
    if (installed_layout(executable))
      directory.resize(file_name_part(directory, true) - 1);
    path += directory;
    path += ':';
  }
  path += "/usr/local/quillet";
  path += version_text;
  return path;
}

void build_include_list() {
  std::optional<std::string> value = versioned_getenv("QLTPATH");
  const bool use_default = !value;
  if (use_default)
    value = default_search_path(
        (settings.search_suppression & search_off::executable_directory) == 0);

  std::string_view pieces = *value;
  for (;;) {
    const std::size_t colon = pieces.find(':');
    std::string directory = expand_home(pieces.substr(0, colon));
    join_path(directory, "include/");
    add_include_dir(std::move(directory));
    if (colon == std::string_view::npos) break;
    pieces.remove_prefix(colon + 1);
  }
  // Not under bit 8 either: a compiler run from where it was built finds
  // the headers beside it.
  if (use_default && !installed_layout())
    add_include_dir(settings.executable_path.substr(
        0, file_name_part(settings.executable_path, true)));
}

std::string expand_home(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::string(path);
  std::size_t end = 1;
  while (end < path.size() && is_user_name_char(path[end])) ++end;
  const std::string_view name = path.substr(1, end - 1);

  std::string home;
  if (!name.empty()) {
    constexpr std::size_t longest_name = 256;
    const UserEntry* user =
        name.size() <= longest_name ? find_user_by_name(name) : nullptr;
    if (user == nullptr) return std::string(path);
    home = user->home;
  } else if (end == path.size() || path[end] == '/') {
    if (const char* value = std::getenv("HOME")) {
      home = value;
    } else if (const UserEntry* user = find_user_by_uid(
                   static_cast<std::int32_t>(::getuid()))) {
      home = user->home;
    } else {
      return std::string(path);
    }
  } else {
    return std::string(path);
  }
  return join_home(std::move(home), path.substr(end));
}

std::optional<std::string> expand_home_by_shell(std::string_view path) {
  if (path.empty() || path.front() != '~') return std::nullopt;
  if (path.size() == 1 || path[1] == '/') {
    if (const char* value = std::getenv("HOME"))
      return join_home(value, path.substr(1));
  }
  std::size_t end = 1;
  while (end < path.size() && is_user_name_char(path[end])) ++end;
  const std::optional<std::string> home =
      shell_echo(std::string(path.substr(0, end)));
  if (!home) return std::nullopt;
  return join_home(*home, path.substr(end));
}

}  // namespace qxl
