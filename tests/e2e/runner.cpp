// End-to-end test runner for the qxl compiler and the tools beside it.
//
//   e2e_runner [--bless] [--tool NAME=PATH]... <path-to-qxl> <case-file>...
//
// Every case file describes one run of qxl (or of a tool named by its
// `program:` line): the input files, the command line, the environment,
// and the expected exit status, standard output, standard error, output
// files and the disassembler's listings of output files.  The case format
// is documented in README.md next to this file.  Each case runs in a fresh
// temporary directory.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kSpace = " \t\r\v\f";
constexpr std::string_view kTmpToken = "@TMP@";
constexpr std::uint64_t kMaxContent = std::uint64_t{1} << 30;  // per section

int g_timeoutSeconds = 60;
volatile sig_atomic_t g_childGroup = 0;  // process group of the running child

// ------------------------------------------------------------------ helpers

std::string_view trim(std::string_view s) {
  auto b = s.find_first_not_of(kSpace);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(kSpace) - b + 1);
}

std::vector<std::string> splitWords(std::string_view s) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  while ((pos = s.find_first_not_of(kSpace, pos)) != std::string_view::npos) {
    auto end = std::min(s.find_first_of(kSpace, pos), s.size());
    words.emplace_back(s.substr(pos, end - pos));
    pos = end;
  }
  return words;
}

std::optional<std::uint64_t> parseNumber(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t pos = 0;
  for (std::size_t hit; !from.empty() && (hit = s.find(from, pos)) != std::string_view::npos;
       pos = hit + from.size())
    out.append(s.substr(pos, hit - pos)).append(to);
  return out.append(s.substr(pos));
}

// Splits text into lines without their '\n'; a final '\n' does not start
// another line, and a last line without '\n' still counts.
std::vector<std::string> splitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    auto nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    lines.emplace_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

bool readFile(const std::string& path, std::string& out, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return error = std::strerror(errno), false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return error = "is a directory", false;
  }
  out.clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = std::strerror(errno);
    if (n <= 0) {
      close(fd);
      return n == 0;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
}

bool writeFile(const std::string& path, std::string_view data, std::string& error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return error = std::strerror(errno), false;
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      close(fd);
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return close(fd) == 0 || (error = std::strerror(errno), false);
}

// ------------------------------------------------------------------ parsing

struct MalformedCase {
  std::size_t line;  // 1-based; 0 when not tied to a line
  std::string message;
};

[[noreturn]] void malformed(std::size_t line, std::string message) {
  throw MalformedCase{line, std::move(message)};
}

enum class Kind { File, Stdout, Stderr, Output, Absent, Listing };

struct Section {
  Kind kind{};
  std::string name;  // empty for stdout/stderr
  bool hex = false, noeol = false, any = false;
  std::uint64_t repeat = 1;
  std::string content;    // after all modifiers, before @TMP@ substitution
  std::size_t begin = 0;  // index of the "===" line in CaseFile::lines
  std::size_t end = 0;    // index one past the last content line
};

struct CaseFile {
  std::string path;
  std::optional<std::string> program;  // from "program:"; qxl when unset
  std::vector<std::string> lines;  // raw lines, kept for --bless
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;
  int status = 0;
  std::optional<std::size_t> statusLine;  // index of the "status:" line
  std::size_t headerInsertAt = 0;         // where --bless adds a status line
  std::optional<std::string> stdinName;
  std::size_t stdinLine = 0;
  std::optional<std::uint64_t> fsizeLimit;
  std::vector<Section> sections;
};

bool isSectionStart(std::string_view line) { return line.starts_with("=== "); }

// Splits the value of "args:" into words, shell style: white space
// separates, '...' groups literally, "..." groups with backslash escapes.
std::vector<std::string> splitArgs(std::string_view s, std::size_t line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (kSpace.find(c) != std::string_view::npos) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'') {
      auto close = s.find('\'', i + 1);
      if (close == std::string_view::npos) malformed(line, "unterminated ' quote in args");
      word.append(s.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i < s.size() && s[i] == '\\') ++i;
        else if (i < s.size() && s[i] == '"') break;
        if (i >= s.size()) malformed(line, "unterminated \" quote in args");
        word += s[i];
      }
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

// Names of files in the temp dir: relative, no empty, "." or ".." parts.
void checkName(const std::string& name, std::size_t line) {
  if (name.empty() || name.front() == '/')
    malformed(line, "file name '" + name + "' must be a relative path");
  for (const auto& part : splitLines(replaceAll(name, "/", "\n")))
    if (part.empty() || part == "." || part == "..")
      malformed(line, "file name '" + name + "' must not contain empty, '.' or '..' parts");
  if (name.back() == '/') malformed(line, "file name '" + name + "' must not end in '/'");
}

Section parseSectionHeader(std::string_view text, std::size_t line) {
  auto words = splitWords(text.substr(4));
  if (words.empty()) malformed(line, "section header without a kind");
  Section s;
  const std::string& kind = words[0];
  if (kind == "file") s.kind = Kind::File;
  else if (kind == "stdout") s.kind = Kind::Stdout;
  else if (kind == "stderr") s.kind = Kind::Stderr;
  else if (kind == "output") s.kind = Kind::Output;
  else if (kind == "absent") s.kind = Kind::Absent;
  else if (kind == "listing") s.kind = Kind::Listing;
  else
    malformed(line, "unknown section kind '" + kind +
                        "' (expected file, stdout, stderr, output, absent or listing)");
  std::size_t i = 1;
  if (s.kind != Kind::Stdout && s.kind != Kind::Stderr) {
    if (words.size() < 2) malformed(line, "'=== " + kind + "' needs a file name");
    s.name = words[i++];
    checkName(s.name, line);
  }
  bool repeatSeen = false;
  for (; i < words.size(); ++i) {
    const std::string& m = words[i];
    bool* flag = m == "hex" ? &s.hex : m == "noeol" ? &s.noeol : m == "any" ? &s.any : nullptr;
    if (flag == nullptr && m != "repeat") malformed(line, "unknown modifier '" + m + "'");
    if (flag != nullptr ? *flag : repeatSeen) malformed(line, "modifier '" + m + "' given twice");
    if (flag != nullptr) {
      *flag = true;
      continue;
    }
    repeatSeen = true;
    std::optional<std::uint64_t> n;
    if (i + 1 < words.size()) n = parseNumber(words[i + 1]);
    if (!n) malformed(line, "'repeat' needs a non-negative count");
    s.repeat = *n;
    ++i;
  }
  if (s.kind == Kind::Absent && (s.hex || s.noeol || s.any || repeatSeen))
    malformed(line, "'absent' takes no modifiers");
  if (s.kind == Kind::File && s.any) malformed(line, "'any' is not allowed on input files");
  if (s.any && (s.hex || s.noeol || repeatSeen))
    malformed(line, "'any' cannot be combined with other modifiers");
  if (s.hex && s.noeol) malformed(line, "'noeol' does not apply to hex content");
  return s;
}

// Decodes the content lines [first, last) of a hex section.
std::string decodeHex(const std::vector<std::string>& lines, std::size_t first, std::size_t last) {
  std::string out;
  int pending = -1;
  std::size_t pendingLine = 0;
  for (std::size_t l = first; l < last; ++l) {
    std::string_view text = lines[l];
    text = text.substr(0, text.find('#'));
    for (char c : text) {
      if (kSpace.find(c) != std::string_view::npos) continue;
      int v = c >= '0' && c <= '9' ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (v < 0) malformed(l + 1, std::string("invalid character '") + c + "' in hex content");
      if (pending < 0) {
        pending = v;
        pendingLine = l + 1;
      } else {
        out += static_cast<char>(pending * 16 + v);
        pending = -1;
      }
    }
  }
  if (pending >= 0) malformed(pendingLine, "odd number of hex digits");
  return out;
}

// Builds a section's content from its lines [begin+1, end) and modifiers.
void fillContent(Section& s, const std::vector<std::string>& lines) {
  std::size_t first = s.begin + 1;
  if ((s.kind == Kind::Absent || s.any) && first < s.end)
    malformed(first + 1, "an '" + std::string(s.any ? "any" : "absent") +
                             "' section must be empty (blank lines count as content)");
  std::string piece;
  if (s.hex) {
    piece = decodeHex(lines, first, s.end);
  } else {
    for (std::size_t l = first; l < s.end; ++l) {
      std::string_view text = lines[l];
      // "\===" stands for "===", "\\===" for "\===", and so on.
      if (text.starts_with('\\') &&
          text.substr(std::min(text.size(), text.find_first_not_of('\\'))).starts_with("==="))
        text.remove_prefix(1);
      piece.append(text).append("\n");
    }
    if (s.noeol && !piece.empty()) piece.pop_back();
  }
  if (s.repeat > 0 && piece.size() > kMaxContent / s.repeat)
    malformed(s.begin + 1, "section content would exceed 1 GiB");
  s.content.reserve(piece.size() * s.repeat);
  for (std::uint64_t i = 0; i < s.repeat; ++i) s.content += piece;
}

// Parses the header lines and sections of a case file.
CaseFile parseCase(const std::string& path) {
  CaseFile c;
  c.path = path;
  std::string text, error;
  if (!readFile(path, text, error)) malformed(0, "cannot read: " + error);
  c.lines = splitLines(text);
  const auto& lines = c.lines;
  auto strayMarker = [&](std::size_t i) {
    if (lines[i].starts_with("===") && !isSectionStart(lines[i]))
      malformed(i + 1, "line starts with '===' but is not a section header '=== KIND ...' "
                       "(write '\\===' for content)");
  };
  std::size_t i = 0;
  bool seenArgs = false, seenStatus = false, seenDirective = false;
  for (; i < lines.size() && !isSectionStart(lines[i]); ++i) {
    strayMarker(i);
    // Only leading space is dropped: env values keep their trailing space.
    std::string_view line = lines[i];
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(kSpace)));
    if (line.empty() || line.starts_with('#')) continue;
    auto colon = line.find(':');
    if (colon == std::string_view::npos)
      malformed(i + 1, "expected a header line 'KEY: VALUE' or a section '=== KIND ...'");
    std::string key(line.substr(0, colon));
    std::string_view value = line.substr(colon + 1);
    std::size_t no = i + 1;
    seenDirective = true;
    c.headerInsertAt = i + 1;
    if (key == "args") {
      if (seenArgs) malformed(no, "'args:' given twice");
      seenArgs = true;
      c.args = splitArgs(value, no);
    } else if (key == "env") {
      value.remove_prefix(std::min(value.size(), value.find_first_not_of(kSpace)));
      auto eq = value.find('=');
      std::string name(value.substr(0, eq));
      if (eq == std::string_view::npos || name.empty() || name.find_first_of(kSpace) != std::string::npos)
        malformed(no, "expected 'env: NAME=value' with a non-empty NAME without white space");
      c.env.emplace_back(name, value.substr(eq + 1));
    } else if (key == "status") {
      auto n = parseNumber(trim(value));
      if (seenStatus) malformed(no, "'status:' given twice");
      if (!n || *n > 255) malformed(no, "'status:' needs a number from 0 to 255");
      seenStatus = true;
      c.status = static_cast<int>(*n);
      c.statusLine = i;
    } else if (key == "stdin") {
      if (c.stdinName) malformed(no, "'stdin:' given twice");
      c.stdinName = std::string(trim(value));
      c.stdinLine = no;
      checkName(*c.stdinName, no);
    } else if (key == "fsize-limit") {
      if (c.fsizeLimit) malformed(no, "'fsize-limit:' given twice");
      c.fsizeLimit = parseNumber(trim(value));
      if (!c.fsizeLimit) malformed(no, "'fsize-limit:' needs a number of bytes");
    } else if (key == "program") {
      if (c.program) malformed(no, "'program:' given twice");
      c.program = std::string(trim(value));
      if (c.program->empty() || c.program->find_first_of(kSpace) != std::string::npos)
        malformed(no, "'program:' needs one name");
    } else if (key != "description") {
      malformed(no, "unknown header key '" + key + "' (expected args, env, status, stdin, "
                    "fsize-limit, program or description)");
    }
  }
  if (!seenDirective) c.headerInsertAt = i;
  while (i < lines.size()) {
    Section s = parseSectionHeader(lines[i], i + 1);
    s.begin = i;
    for (++i; i < lines.size() && !isSectionStart(lines[i]); ++i) strayMarker(i);
    s.end = i;
    fillContent(s, lines);
    c.sections.push_back(std::move(s));
  }

  // Cross-section consistency.
  auto has = [&](Kind k, const std::string& name) {
    return std::any_of(c.sections.begin(), c.sections.end(),
                       [&](const Section& s) { return s.kind == k && s.name == name; });
  };
  if (c.stdinName && !has(Kind::File, *c.stdinName))
    malformed(c.stdinLine, "'stdin: " + *c.stdinName + "' names no '=== file' section");
  for (const auto& s : c.sections) {
    std::size_t no = s.begin + 1;
    if (s.kind == Kind::Output && has(Kind::Absent, s.name))
      malformed(no, "'" + s.name + "' is both an output and absent");
    if (s.kind == Kind::Listing && has(Kind::Absent, s.name))
      malformed(no, "'" + s.name + "' is both listed and absent");
    for (const auto& t : c.sections) {
      if (t.kind == s.kind && t.name == s.name && t.any != s.any)
        malformed(no, "sections for the same target disagree about 'any'");
      bool files = (s.kind == Kind::File || s.kind == Kind::Output) &&
                   (t.kind == Kind::File || t.kind == Kind::Output);
      if (files && t.name.starts_with(s.name + "/"))
        malformed(no, "'" + s.name + "' is used both as a file and as the directory of '" +
                          t.name + "'");
    }
  }
  return c;
}

// ------------------------------------------------------------------ running

struct RunResult {
  std::string startError;  // set when the program could not be started
  bool timedOut = false;
  int signal = 0;  // terminating signal, 0 when it exited
  int status = 0;
  std::string out, err;
};

extern "C" void forwardTermination(int sig) {
  if (g_childGroup > 0) kill(-g_childGroup, SIGKILL);
  signal(sig, SIG_DFL);
  raise(sig);
}

std::vector<std::string> childEnvironment(const CaseFile& c, const std::string& tmp) {
  std::vector<std::pair<std::string, std::string>> env;
  auto set = [&](const std::string& name, const std::string& value) {
    auto it = std::find_if(env.begin(), env.end(), [&](const auto& e) { return e.first == name; });
    if (it != env.end()) it->second = value;
    else env.emplace_back(name, value);
  };
  const char* path = std::getenv("PATH");
  set("PATH", path != nullptr ? path : "/usr/bin:/bin");
  set("HOME", tmp);
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(name)) set(name, v);
  // The child runs elsewhere, so a relative TMPDIR is made absolute.
  if (const char* v = std::getenv("TMPDIR")) {
    std::error_code ec;
    auto abs = *v != '\0' ? fs::absolute(v, ec) : fs::path();
    set("TMPDIR", ec ? v : abs.lexically_normal().string());
  }
  for (const auto& [name, value] : c.env) set(name, replaceAll(value, kTmpToken, tmp));
  std::vector<std::string> out;
  for (const auto& [name, value] : env) out.push_back(name + "=" + value);
  return out;
}

// One program run: the case's main run, or a listing of an output file.
struct Launch {
  std::string binary;                     // absolute path
  std::vector<std::string> args;          // after argv[0], @TMP@ replaced
  std::string input;                      // standard input
  std::optional<std::uint64_t> fsizeLimit;
};

Launch mainLaunch(const std::string& binary, const CaseFile& c, const std::string& tmp) {
  Launch l{binary, {}, c.stdinName ? tmp + "/" + *c.stdinName : "/dev/null", c.fsizeLimit};
  for (const auto& a : c.args) l.args.push_back(replaceAll(a, kTmpToken, tmp));
  return l;
}

// Runs a program in `tmp`, collecting stdout and stderr through pipes (read
// with poll, so neither can fill up and block the child) and enforcing the
// timeout.  The child leads its own process group so that a timeout or an
// interrupted runner takes down anything it started.  argv[0] is the last
// component of the program's path.
RunResult runProgram(const Launch& launch, const CaseFile& c, const std::string& tmp) {
  RunResult r;
  const std::string& binary = launch.binary;
  std::vector<std::string> argStrings{fs::path(binary).filename().string()};
  argStrings.insert(argStrings.end(), launch.args.begin(), launch.args.end());
  std::vector<std::string> envStrings = childEnvironment(c, tmp);
  std::vector<char*> argv, envp;
  for (auto& s : argStrings) argv.push_back(s.data());
  for (auto& s : envStrings) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  const std::string& input = launch.input;
  int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
  int outPipe[2], errPipe[2], execPipe[2];
  if (in < 0) return r.startError = "cannot open " + input + ": " + std::strerror(errno), r;
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
      pipe2(execPipe, O_CLOEXEC) != 0) {
    std::perror("e2e_runner: pipe");
    std::exit(2);
  }
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    int failure[2] = {0, 0};  // {step, errno}
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, launch.fsizeLimit ? SIG_IGN : SIG_DFL);
    struct rlimit limit {};
    if (launch.fsizeLimit) limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(*launch.fsizeLimit);
    if (dup2(in, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0) failure[0] = 1;
    else if (chdir(tmp.c_str()) != 0) failure[0] = 2;
    else if (launch.fsizeLimit && setrlimit(RLIMIT_FSIZE, &limit) != 0) failure[0] = 3;
    else execve(binary.c_str(), argv.data(), envp.data());
    if (failure[0] == 0) failure[0] = 4;
    failure[1] = errno;
    [[maybe_unused]] auto ignored = write(execPipe[1], failure, sizeof failure);
    _exit(127);
  }
  close(in);
  close(outPipe[1]);
  close(errPipe[1]);
  close(execPipe[1]);
  if (pid < 0) {
    r.startError = std::string("fork failed: ") + std::strerror(errno);
    for (int fd : {outPipe[0], errPipe[0], execPipe[0]}) close(fd);
    return r;
  }
  setpgid(pid, pid);
  g_childGroup = pid;

  int failure[2] = {0, 0};
  ssize_t got;
  while ((got = read(execPipe[0], failure, sizeof failure)) < 0 && errno == EINTR) {}
  close(execPipe[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    static const char* const steps[] = {"", "redirect", "chdir to temp dir", "set fsize limit", "exec"};
    r.startError = std::string("could not ") + steps[failure[0]] + " " + binary + ": " +
                   std::strerror(failure[1]);
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(g_timeoutSeconds);
  auto remainingMs = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return std::clamp<long long>(left.count(), 0, INT_MAX);
  };
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  char buf[65536];
  while ((fds[0].fd >= 0 || fds[1].fd >= 0) && !r.timedOut) {
    int n = poll(fds, 2, static_cast<int>(remainingMs()));
    if (n < 0 && errno != EINTR) {
      std::perror("e2e_runner: poll");
      std::exit(2);
    }
    if (n == 0) r.timedOut = true;
    for (int k = 0; k < 2 && n > 0; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      ssize_t len = read(fds[k].fd, buf, sizeof buf);
      if (len > 0) {
        sinks[k]->append(buf, static_cast<std::size_t>(len));
      } else if (len == 0 || errno != EINTR) {
        close(fds[k].fd);
        fds[k].fd = -1;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);

  // Both pipes are closed: the child has exited or closed them itself.
  auto killGroup = [pid] {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
  };
  if (r.timedOut) killGroup();
  int wstatus = 0;
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, decltype(pause)(50))) {
    pid_t w = waitpid(pid, &wstatus, r.timedOut ? 0 : WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) break;
    if (w != 0) continue;
    if (remainingMs() > 0) {
      std::this_thread::sleep_for(pause);
    } else {
      r.timedOut = true;
      killGroup();
    }
  }
  g_childGroup = 0;
  if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
  else r.status = WEXITSTATUS(wstatus);
  return r;
}

// ---------------------------------------------------------------- comparing

// What one of stdout, stderr or an output file must contain: the
// concatenation of the case's sections for it (none means empty).
struct Expectation {
  Kind kind{};
  std::string name;
  std::vector<const Section*> sections;

  std::string label() const {
    return kind == Kind::Stdout   ? "stdout"
           : kind == Kind::Stderr ? "stderr"
           : kind == Kind::Output ? "output " + name
                                  : "listing " + name;
  }
  bool any() const { return !sections.empty() && sections.front()->any; }
  bool binary() const {
    return std::any_of(sections.begin(), sections.end(), [](const Section* s) { return s->hex; });
  }
  // @TMP@ is substituted in text sections only; hex means exact bytes.
  std::string bytes(const std::string& tmp) const {
    std::string out;
    for (const Section* s : sections) out += s->hex ? s->content : replaceAll(s->content, kTmpToken, tmp);
    return out;
  }
};

std::vector<Expectation> collectExpectations(const CaseFile& c) {
  std::vector<Expectation> exps{{Kind::Stdout, "", {}}, {Kind::Stderr, "", {}}};
  for (const auto& s : c.sections) {
    if (s.kind == Kind::File || s.kind == Kind::Absent) continue;
    auto it = std::find_if(exps.begin(), exps.end(),
                           [&](const Expectation& e) { return e.kind == s.kind && e.name == s.name; });
    if (it == exps.end()) it = exps.insert(exps.end(), Expectation{s.kind, s.name, {}});
    it->sections.push_back(&s);
  }
  return exps;
}

std::string escapeBytes(std::string_view s) {
  std::string out;
  char buf[8];
  for (unsigned char b : s) {
    if (b >= 0x20 && b < 0x7f) {
      out += static_cast<char>(b);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    }
  }
  return out;
}

std::size_t firstDifference(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  return static_cast<std::size_t>(std::mismatch(a.begin(), a.begin() + n, b.begin()).first - a.begin());
}

// One line of text starting at `start`, cut to a window around byte `at`,
// escaped, with '$' for its newline.
std::string showLine(std::string_view text, std::size_t start, std::size_t at) {
  if (start >= text.size()) return "(end of text)";
  std::size_t nl = text.find('\n', start);
  std::size_t end = nl == std::string_view::npos ? text.size() : nl;
  std::size_t from = at - start > 60 ? at - 40 : start;
  std::size_t to = std::min(end, from + 120);
  std::string out = (from > start ? "..." : "") + escapeBytes(text.substr(from, to - from));
  if (to < end) return out + "...";
  return out + (nl == std::string_view::npos ? " (end of text, no newline)" : "$");
}

// Numbered listing of `text`, whole when short, else around line `focus`.
std::string listLines(std::string_view text, std::size_t focus) {
  if (text.empty()) return "  (empty)\n";
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '\n') starts.push_back(i + 1);
  std::size_t n = starts.size(), first = 1, last = n;
  if (n > 30) {
    first = focus > 5 ? focus - 5 : 1;
    last = std::min(n, focus + 5);
    if (first > last) first = last > 10 ? last - 10 : 1;
  }
  std::string out;
  if (first > 1) out += "  ... (" + std::to_string(first - 1) + " lines before)\n";
  char buf[32];
  for (std::size_t l = first; l <= last; ++l) {
    std::snprintf(buf, sizeof buf, "%c%6zu| ", l == focus ? '>' : ' ', l);
    std::size_t s = starts[l - 1], e = l < n ? starts[l] - 1 : text.size();
    if (l == n && text.back() == '\n') e = text.size() - 1;
    std::string_view line = text.substr(s, e - s);
    out += buf + escapeBytes(line.substr(0, 200));
    if (line.size() > 200) out += "... (" + std::to_string(line.size() - 200) + " more bytes)";
    out += e < text.size() ? "$\n" : " (no newline at end)\n";
  }
  if (last < n) out += "  ... (" + std::to_string(n - last) + " lines after)\n";
  return out;
}

std::string explainText(std::string_view expected, std::string_view actual) {
  std::size_t d = firstDifference(expected, actual);
  std::size_t lineStart = 0;  // start of the line holding the difference
  if (auto nl = d > 0 ? expected.rfind('\n', d - 1) : std::string_view::npos; nl != std::string_view::npos)
    lineStart = nl + 1;
  std::size_t line = static_cast<std::size_t>(std::count(expected.begin(), expected.begin() + d, '\n')) + 1;
  return "first difference at line " + std::to_string(line) + ", column " +
         std::to_string(d - lineStart + 1) + ":\n" +
         "  expected: " + showLine(expected, lineStart, d) + "\n" +
         "  actual:   " + showLine(actual, lineStart, d) + "\n" +
         "expected (" + std::to_string(expected.size()) + " bytes):\n" + listLines(expected, line) +
         "actual (" + std::to_string(actual.size()) + " bytes):\n" + listLines(actual, line) +
         "('$' marks a newline; bytes outside printable ASCII are shown as \\xNN)\n";
}

// Hex dump of rows [fromRow, toRow] (16 bytes each), marking `markRow`.
std::string hexRows(std::string_view data, std::size_t fromRow, std::size_t toRow, std::size_t markRow) {
  if (data.empty()) return "  (empty)\n";
  if (fromRow * 16 >= data.size()) return "  (ends at offset " + std::to_string(data.size()) + ")\n";
  std::string out;
  char buf[32];
  for (std::size_t row = fromRow; row <= toRow && row * 16 < data.size(); ++row) {
    std::snprintf(buf, sizeof buf, "%c %08zx ", row == markRow ? '>' : ' ', row * 16);
    out += buf;
    std::string ascii;
    for (std::size_t k = 0; k < 16; ++k) {
      std::size_t i = row * 16 + k;
      if (k == 8) out += ' ';
      if (i >= data.size()) {
        out += "   ";
        continue;
      }
      auto b = static_cast<unsigned char>(data[i]);
      std::snprintf(buf, sizeof buf, " %02x", b);
      out += buf;
      ascii += b >= 0x20 && b < 0x7f ? static_cast<char>(b) : '.';
    }
    out += "  |" + ascii + "|\n";
  }
  return out;
}

std::string explainBytes(std::string_view expected, std::string_view actual) {
  std::size_t d = firstDifference(expected, actual);
  char buf[160];
  if (d < expected.size() && d < actual.size())
    std::snprintf(buf, sizeof buf, "first difference at offset %zu (0x%zx): expected 0x%02x, actual 0x%02x\n",
                  d, d, static_cast<unsigned char>(expected[d]), static_cast<unsigned char>(actual[d]));
  else if (d < expected.size())
    std::snprintf(buf, sizeof buf, "actual ends at offset %zu (0x%zx); expected continues\n", d, d);
  else
    std::snprintf(buf, sizeof buf, "actual has extra bytes from offset %zu (0x%zx)\n", d, d);
  std::size_t row = d / 16, from = row >= 2 ? row - 2 : 0;
  return buf + ("expected (" + std::to_string(expected.size()) + " bytes):\n") +
         hexRows(expected, from, row + 2, row) +
         "actual (" + std::to_string(actual.size()) + " bytes):\n" + hexRows(actual, from, row + 2, row);
}

// The last few lines of some output, for context when a run went wrong.
std::string tail(std::string_view text, std::size_t maxLines) {
  auto lines = splitLines(text);
  std::string out;
  std::size_t skip = lines.size() > maxLines ? lines.size() - maxLines : 0;
  if (skip > 0) out += "  ... (" + std::to_string(skip) + " lines before)\n";
  for (std::size_t i = skip; i < lines.size(); ++i)
    out += "  " + escapeBytes(lines[i].substr(0, 300)) + "\n";
  return out;
}

struct Problem {
  std::string summary, detail;
};

struct Verdict {
  std::vector<Problem> problems;
  bool statusWrong = false;
  std::vector<std::optional<std::string>> rewrite;  // per expectation: new content for --bless
  std::string unblessable;                          // why --bless cannot fix this run
};

// The disassembler's run on one output file, for its `listing` sections.
struct ListingRun {
  std::string name;
  RunResult run;
};

// Why a listing run did not produce a listing, or nothing when it did.
std::optional<std::string> listingFailure(const RunResult& run) {
  if (!run.startError.empty()) return run.startError;
  if (run.timedOut) return "timed out after " + std::to_string(g_timeoutSeconds) + " s";
  if (run.signal != 0)
    return "crashed with signal " + std::to_string(run.signal) + " (" + strsignal(run.signal) + ")";
  if (run.status != 0) return "exit status " + std::to_string(run.status);
  return std::nullopt;
}

// Checks a finished run (and its listings) against the case.
Verdict judge(const CaseFile& c, const RunResult& run, const std::vector<Expectation>& exps,
              const std::vector<ListingRun>& listings, const std::string& tmp) {
  Verdict v;
  v.rewrite.resize(exps.size());
  auto stderrContext = [&] { return run.err.empty() ? std::string() : "stderr was:\n" + tail(run.err, 20); };
  if (!run.startError.empty()) {
    v.problems.push_back({run.startError, ""});
  } else if (run.timedOut) {
    v.problems.push_back({"timed out after " + std::to_string(g_timeoutSeconds) + " s", stderrContext()});
  } else if (run.signal != 0) {
    v.problems.push_back({"crashed with signal " + std::to_string(run.signal) + " (" +
                              strsignal(run.signal) + ")", stderrContext()});
  }
  if (!v.problems.empty()) {
    v.unblessable = v.problems.front().summary;
    return v;
  }
  if (run.status != c.status) {
    v.statusWrong = true;
    v.problems.push_back({"exit status " + std::to_string(run.status) + ", expected " +
                              std::to_string(c.status),
                          exps[1].any() ? stderrContext() : ""});
  }
  for (std::size_t i = 0; i < exps.size(); ++i) {
    const Expectation& e = exps[i];
    std::string actual, error;
    if (e.kind == Kind::Stdout) actual = run.out;
    else if (e.kind == Kind::Stderr) actual = run.err;
    else if (e.kind == Kind::Listing) {
      auto it = std::find_if(listings.begin(), listings.end(),
                             [&](const ListingRun& l) { return l.name == e.name; });
      if (it == listings.end()) {
        v.problems.push_back({"qxldis was not run on " + e.name, ""});
        v.unblessable = v.problems.back().summary;
        continue;
      }
      if (auto failure = listingFailure(it->run)) {
        v.problems.push_back({"qxldis failed on " + e.name + ": " + *failure,
                              it->run.err.empty() ? "" : "its stderr was:\n" + tail(it->run.err, 20)});
        v.unblessable = v.problems.back().summary;
        continue;
      }
      actual = it->run.out;
    } else if (!readFile(tmp + "/" + e.name, actual, error)) {
      bool missing = access((tmp + "/" + e.name).c_str(), F_OK) != 0;
      v.problems.push_back(
          {"output " + e.name + (missing ? " was not created" : " unreadable: " + error), ""});
      v.unblessable = v.problems.back().summary;
      continue;
    }
    if (e.any()) continue;
    std::string expected = e.bytes(tmp);
    if (expected == actual) continue;
    v.problems.push_back({e.label() + " differs",
                          e.binary() ? explainBytes(expected, actual) : explainText(expected, actual)});
    v.rewrite[i] = std::move(actual);
  }
  for (const auto& s : c.sections) {
    struct stat st {};
    if (s.kind == Kind::Absent && lstat((tmp + "/" + s.name).c_str(), &st) == 0) {
      v.problems.push_back({s.name + " exists but should be absent", ""});
      v.unblessable = s.name + " exists";
    }
  }
  return v;
}

// ------------------------------------------------------------------ blessing

// Printable ASCII (plus tab) and well-formed UTF-8 above the C1 controls.
bool isPrintableText(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b == '\n' || b == '\t' || (b >= 0x20 && b < 0x7f)) {
      ++i;
      continue;
    }
    std::size_t len = b >= 0xc2 && b <= 0xdf   ? 2
                      : b >= 0xe0 && b <= 0xef ? 3
                      : b >= 0xf0 && b <= 0xf4 ? 4
                                               : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t cp = b & (0x7f >> len);
    for (std::size_t k = 1; k < len; ++k) {
      auto cont = static_cast<unsigned char>(s[i + k]);
      if ((cont & 0xc0) != 0x80) return false;
      cp = cp << 6 | (cont & 0x3f);
    }
    static constexpr std::uint32_t minimum[] = {0, 0, 0xa0, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

// Renders a section holding `bytes`: as text when `preferText` and the
// bytes are printable (the temp dir path written back as @TMP@), else hex.
std::vector<std::string> renderSection(const std::string& header, std::string_view bytes,
                                       bool preferText, const std::string& tmp) {
  std::vector<std::string> out;
  if (preferText && isPrintableText(bytes) && bytes.find(kTmpToken) == std::string_view::npos) {
    std::string text = replaceAll(bytes, tmp, kTmpToken);
    bool noeol = !text.empty() && text.back() != '\n';
    out.push_back(header + (noeol ? " noeol" : ""));
    for (auto& line : splitLines(text)) {
      // Escape lines that read back as a section start or an escape.
      std::string_view rest = line;
      rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of('\\')));
      out.push_back(rest.starts_with("===") ? "\\" + line : line);
    }
    return out;
  }
  out.push_back(header + " hex");
  for (std::size_t i = 0; i < bytes.size(); i += 16) {
    std::string row;
    char buf[4];
    for (std::size_t k = i; k < std::min(bytes.size(), i + 16); ++k) {
      std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(bytes[k]));
      if (!row.empty()) row += ' ';
      row += buf;
    }
    out.push_back(row);
  }
  return out;
}

// Rewrites the case file so that it expects what the run produced, leaving
// every other line as it was.
bool bless(const CaseFile& c, const RunResult& run, const std::vector<Expectation>& exps,
           const Verdict& v, const std::string& tmp, std::string& error) {
  struct Edit {
    std::size_t begin, end;  // replaces lines [begin, end)
    std::vector<std::string> lines;
  };
  std::vector<Edit> edits;
  if (v.statusWrong) {
    std::string line = "status: " + std::to_string(run.status);
    if (c.statusLine) edits.push_back({*c.statusLine, *c.statusLine + 1, {line}});
    else edits.push_back({c.headerInsertAt, c.headerInsertAt, {line}});
  }
  for (std::size_t i = 0; i < exps.size(); ++i) {
    if (!v.rewrite[i]) continue;
    const Expectation& e = exps[i];
    std::string header = "=== " + (e.kind == Kind::Stdout    ? std::string("stdout")
                                   : e.kind == Kind::Stderr  ? std::string("stderr")
                                   : e.kind == Kind::Listing ? std::string("listing ").append(e.name)
                                                            : std::string("output ").append(e.name));
    bool preferText = e.kind != Kind::Output || !e.binary();
    auto lines = renderSection(header, *v.rewrite[i], preferText, tmp);
    if (e.sections.empty()) {
      edits.push_back({c.lines.size(), c.lines.size(), std::move(lines)});
      continue;
    }
    for (const Section* s : e.sections) {
      edits.push_back({s->begin, s->end, std::move(lines)});
      lines.clear();  // later pieces of the same target are dropped
    }
  }
  std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
    return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
  });
  std::string text;
  std::size_t cursor = 0;
  auto emit = [&](const std::string& line) { text.append(line).append("\n"); };
  for (const Edit& edit : edits) {
    for (; cursor < edit.begin; ++cursor) emit(c.lines[cursor]);
    for (const auto& line : edit.lines) emit(line);
    cursor = std::max(cursor, edit.end);
  }
  for (; cursor < c.lines.size(); ++cursor) emit(c.lines[cursor]);
  return writeFile(c.path, text, error);
}

// ---------------------------------------------------------------- reporting

enum class Outcome { Pass, Blessed, Fail, Malformed };

std::string indent(std::string_view text, std::string_view prefix) {
  std::string out;
  for (const auto& line : splitLines(text)) out.append(prefix).append(line).append("\n");
  return out;
}

std::optional<std::string> makeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qxl-e2e-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  std::error_code ec;
  auto canonical = fs::canonical(pattern, ec);
  return ec ? pattern : canonical.string();
}

// Writes the input files (pieces with the same name concatenated).
bool writeInputs(const CaseFile& c, const std::string& tmp, std::string& error) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& s : c.sections) {
    if (s.kind != Kind::File) continue;
    auto it = std::find_if(files.begin(), files.end(), [&](const auto& f) { return f.first == s.name; });
    if (it == files.end()) it = files.insert(files.end(), {s.name, ""});
    it->second += s.content;
  }
  for (const auto& [name, content] : files) {
    std::error_code ec;
    fs::create_directories(fs::path(tmp + "/" + name).parent_path(), ec);
    if (ec || !writeFile(tmp + "/" + name, content, error)) {
      error = "cannot write input " + name + ": " + (ec ? ec.message() : error);
      return false;
    }
  }
  return true;
}

// The programs a case can run: qxl, and the tools given with --tool.
struct Programs {
  std::string qxl;
  std::vector<std::pair<std::string, std::string>> tools;  // name, absolute path

  const std::string* find(const std::string& name) const {
    if (name == "qxl") return &qxl;
    for (const auto& [toolName, path] : tools)
      if (toolName == name) return &path;
    return nullptr;
  }
};

// Runs the disassembler on each output file that the case has a listing
// section for, once per file.
std::vector<ListingRun> runListings(const std::string& qxldis, const CaseFile& c,
                                    const std::string& tmp) {
  std::vector<ListingRun> runs;
  for (const auto& s : c.sections) {
    if (s.kind != Kind::Listing ||
        std::any_of(runs.begin(), runs.end(), [&](const ListingRun& l) { return l.name == s.name; }))
      continue;
    runs.push_back({s.name, runProgram({qxldis, {s.name}, "/dev/null", std::nullopt}, c, tmp)});
  }
  return runs;
}

Outcome runCase(const Programs& programs, const std::string& path, bool blessMode) {
  CaseFile c;
  try {
    c = parseCase(path);
  } catch (const MalformedCase& m) {
    std::cout << "MALFORMED " << path << (m.line > 0 ? ":" + std::to_string(m.line) : "") << ": "
              << m.message << "\n";
    return Outcome::Malformed;
  }
  auto tmp = makeTempDir();
  if (!tmp) {
    std::cout << "FAIL " << path << ": cannot create temp dir: " << std::strerror(errno) << "\n";
    return Outcome::Fail;
  }
  std::string error;
  Verdict v;
  bool blessed = false;
  const std::string programName = c.program.value_or("qxl");
  const std::string* binary = programs.find(programName);
  const std::string* qxldis = programs.find("qxldis");
  bool listed = std::any_of(c.sections.begin(), c.sections.end(),
                            [](const Section& s) { return s.kind == Kind::Listing; });
  if (binary == nullptr) {
    v.problems.push_back({"program '" + programName + "' needs --tool " + programName +
                              "=PATH on the runner's command line", ""});
  } else if (listed && qxldis == nullptr) {
    v.problems.push_back({"'=== listing' sections need --tool qxldis=PATH on the runner's "
                          "command line", ""});
  } else if (!writeInputs(c, *tmp, error)) {
    v.problems.push_back({error, ""});
  } else {
    RunResult run = runProgram(mainLaunch(*binary, c, *tmp), c, *tmp);
    std::vector<ListingRun> listings;
    if (run.startError.empty() && !run.timedOut && run.signal == 0 && listed)
      listings = runListings(*qxldis, c, *tmp);
    auto exps = collectExpectations(c);
    v = judge(c, run, exps, listings, *tmp);
    if (blessMode && !v.problems.empty() && v.unblessable.empty()) {
      if (bless(c, run, exps, v, *tmp, error)) {
        std::cout << "BLESSED " << path << "\n";
        v.problems.clear();
        blessed = true;
      } else {
        v.unblessable = "cannot rewrite the case file: " + error;
      }
    } else if (v.problems.empty()) {
      std::cout << "PASS " << path << "\n";
    }
  }
  if (!v.problems.empty()) {
    std::string reasons;
    for (const auto& p : v.problems) reasons += (reasons.empty() ? "" : "; ") + p.summary;
    std::cout << "FAIL " << path << ": " << reasons << "\n";
    for (const auto& p : v.problems)
      if (!p.detail.empty()) std::cout << "  " << p.summary << ":\n" << indent(p.detail, "    ");
    if (blessMode && !v.unblessable.empty()) std::cout << "  not blessed: " << v.unblessable << "\n";
  }
  if (std::getenv("E2E_KEEP") != nullptr) {
    std::cout << "  kept temp dir " << *tmp << "\n";
  } else {
    std::error_code ec;
    fs::remove_all(*tmp, ec);
    if (ec) std::cout << "  warning: could not remove " << *tmp << ": " << ec.message() << "\n";
  }
  std::cout.flush();
  return !v.problems.empty() ? Outcome::Fail : blessed ? Outcome::Blessed : Outcome::Pass;
}

// An executable file, as an absolute path; nothing when it is not one.
std::optional<std::string> executable(const std::string& path) {
  std::error_code ec;
  std::string absolute = fs::absolute(path, ec).lexically_normal().string();
  struct stat st {};
  if (ec || stat(absolute.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      access(absolute.c_str(), X_OK) != 0)
    return std::nullopt;
  return absolute;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* usage =
      "usage: e2e_runner [--bless] [--tool NAME=PATH]... <path-to-qxl> <case-file>...\n";
  std::vector<std::string> args(argv + 1, argv + argc);
  bool blessMode = false;
  Programs programs;
  std::size_t first = 0;
  for (; first < args.size() && args[first].starts_with("--"); ++first) {
    const std::string& arg = args[first];
    if (arg == "--bless") {
      blessMode = true;
      continue;
    }
    std::string given;
    if (arg == "--tool" && first + 1 < args.size()) given = args[++first];
    else if (arg.starts_with("--tool=")) given = arg.substr(7);
    else {
      std::cerr << "e2e_runner: unknown option " << arg << "\n" << usage;
      return 2;
    }
    auto eq = given.find('=');
    std::string name = given.substr(0, eq);
    if (eq == std::string::npos || name.empty() || name == "qxl" ||
        name.find_first_of(kSpace) != std::string::npos || programs.find(name) != nullptr) {
      std::cerr << "e2e_runner: --tool needs NAME=PATH with a new NAME other than qxl, not '"
                << given << "'\n";
      return 2;
    }
    auto path = executable(given.substr(eq + 1));
    if (!path) {
      std::cerr << "e2e_runner: " << given.substr(eq + 1) << " is not an executable file\n";
      return 2;
    }
    programs.tools.emplace_back(name, *path);
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(first));
  if (args.size() < 2) {
    std::cerr << usage;
    return 2;
  }
  if (const char* t = std::getenv("E2E_TIMEOUT")) {
    auto n = parseNumber(t);
    if (!n || *n == 0 || *n > 86400) {
      std::cerr << "e2e_runner: E2E_TIMEOUT must be a number of seconds\n";
      return 2;
    }
    g_timeoutSeconds = static_cast<int>(*n);
  }
  auto qxl = executable(args.front());
  if (!qxl) {
    std::cerr << "e2e_runner: " << args.front() << " is not an executable file\n";
    return 2;
  }
  programs.qxl = *qxl;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, forwardTermination);

  int passed = 0, blessed = 0, failed = 0, bad = 0;
  for (std::size_t i = 1; i < args.size(); ++i) {
    switch (runCase(programs, args[i], blessMode)) {
      case Outcome::Pass: ++passed; break;
      case Outcome::Blessed: ++blessed; break;
      case Outcome::Fail: ++failed; break;
      case Outcome::Malformed: ++bad; break;
    }
  }
  std::cout << passed << " passed, " << failed << " failed";
  if (blessed > 0) std::cout << ", " << blessed << " blessed";
  if (bad > 0) std::cout << ", " << bad << " malformed";
  std::cout << "\n";
  return bad > 0 ? 2 : failed > 0 ? 1 : 0;
}
