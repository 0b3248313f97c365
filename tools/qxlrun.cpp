// qxlrun: loads bytecode files written by qxl and runs one of their
// functions on a reference implementation of the editor's stack machine.
//
//   qxlrun [options] file.b|file.q... [-- arguments]
//
// Exit status: the low byte of the called function's int result (0 when it
// returns none); 1 for a wrong command line and when the program aborts
// through error() or quick_abort(); 2 when a file cannot be compiled,
// read, checked or linked; 3 for a run-time fault.  leave(n) ends the run
// with n.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "driver/search_paths.h"
#include "tools/command_line.h"
#include "tools/disassembler.h"
#include "tools/run/machine.h"
#include "tools/run/program.h"
#include "types/builtins.h"

extern char** environ;

namespace {

constexpr std::string_view usage_text =
    "usage: qxlrun [options] file.b|file.q... [-- arguments]\n"
    "\n"
    "Loads the bytecode files as the editor's loader does and calls one of\n"
    "their functions.  A file whose name ends in .q is compiled first with\n"
    "qxl into a temporary directory; the compiler's messages go to standard\n"
    "error.  Words after -- become the program's argv[1], argv[2], ...\n"
    "\n"
    "--call NAME   Call the function NAME (default main)\n"
    "--steps N     Stop with a fault after N instructions\n"
    "--stack N     Stack size in 4-byte words (default 1048576)\n"
    "--qxl PATH    The compiler for .q files (default: qxl next to qxlrun,\n"
    "              then in its parent directory, then on PATH)\n"
    "--primitives  List the primitives qxlrun provides\n"
    "--help        Show this text\n"
    "--version     Show the version\n"
    "\n"
    "Exit status: the low byte of the function's int result (0 without a\n"
    "result); 1 for a wrong command line and for error() and quick_abort();\n"
    "2 when a file cannot be compiled, read, checked or linked; 3 for a\n"
    "run-time fault, reported on standard error with the function, the\n"
    "source file and the line; leave(N) ends with N.\n";

int usage_error(const std::string& message) {
  return qxl::usage_error("qxlrun", message, usage_text, 1);
}

bool parse_count(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

bool is_source(const std::string& path) {
  return path.size() > 2 && path.compare(path.size() - 2, 2, ".q") == 0;
}

bool executable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

// The compiler: --qxl, else qxl next to this program or in its parent
// directory, else "qxl" looked up on PATH.
std::string find_compiler(const std::string& given) {
  if (!given.empty()) return given;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string dir(self, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    if (executable(dir + "qxl")) return dir + "qxl";
    if (dir.size() > 1) {
      std::string parent = dir.substr(0, dir.size() - 1);
      parent.erase(parent.rfind('/') + 1);
      if (executable(parent + "qxl")) return parent + "qxl";
    }
  }
  return "qxl";
}

// Compiles `source` into `output_base`.b with the compiler's standard
// output sent to our standard error.  Returns false with a reason.
bool compile(const std::string& compiler, const std::string& source,
             const std::string& output_base, std::string& error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, 2, 1);
  std::vector<std::string> words = {compiler, "-n", "-o", output_base, source};
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, compiler.c_str(), &actions, nullptr,
                                   argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = "cannot run the compiler " + compiler + ": " + std::strerror(spawned);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "lost the compiler process";
      return false;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  error = "compiling " + source + " failed";
  return false;
}

// A temporary directory removed, with what qxlrun put in it, at the end.
struct TempDir {
  std::string path;
  std::vector<std::string> files;
  ~TempDir() {
    for (const std::string& f : files) unlink(f.c_str());
    if (!path.empty()) rmdir(path.c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  std::vector<std::string> arguments;
  qxl::run::Options options;
  std::string compiler_option;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    if (arg == "--") {
      for (++i; i < argc; ++i) arguments.emplace_back(argv[i]);
      break;
    }
    if (arg.empty() || arg[0] != '-') {
      files.emplace_back(arg);
    } else if (arg == "--help") {
      std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("qxlrun %s\n", qxl::version_text);
      return 0;
    } else if (arg == "--primitives") {
      for (const qxl::PrimitiveRow& row : qxl::primitive_table())
        if (qxl::run::primitive_implemented(row.name))
          std::printf("%-22s %s\n", std::string(row.name).c_str(),
                      std::string(qxl::run::primitive_behaviour(row.name)).c_str());
      return 0;
    } else if (arg == "--call") {
      const char* v = value();
      if (v == nullptr || *v == '\0') return usage_error("--call needs a function name");
      options.function = v;
    } else if (arg == "--steps" || arg == "--stack") {
      const char* v = value();
      std::uint64_t n = 0;
      if (v == nullptr || !parse_count(v, n) || n == 0)
        return usage_error(std::string(arg) + " needs a positive number");
      if (arg == "--steps") {
        options.max_steps = n;
      } else {
        if (n < 64 || n > (1u << 26))
          return usage_error("--stack takes 64 to 67108864 words");
        options.stack_words = static_cast<std::size_t>(n);
      }
    } else if (arg == "--qxl") {
      const char* v = value();
      if (v == nullptr || *v == '\0') return usage_error("--qxl needs a path");
      compiler_option = v;
    } else {
      return usage_error("unknown option '" + std::string(arg) + "'");
    }
  }
  if (files.empty()) return usage_error("no file given");
  if (arguments.size() > 49) return usage_error("more than 49 program arguments");
  options.arguments.push_back(files.front());
  for (const std::string& a : arguments) options.arguments.push_back(a);

  // Compile the sources first, into one temporary directory.
  TempDir temp;
  std::vector<std::string> load_paths = files;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!is_source(files[i])) continue;
    if (temp.path.empty()) {
      const char* tmpdir = std::getenv("TMPDIR");
      std::string pattern =
          std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
          "/qxlrun-XXXXXX";
      if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "qxlrun: cannot make a temporary directory: %s\n",
                     std::strerror(errno));
        return 2;
      }
      temp.path = pattern;
    }
    const std::string base = temp.path + "/" + std::to_string(i);
    std::string error;
    temp.files.push_back(base + ".b");
    if (!compile(find_compiler(compiler_option), files[i], base, error)) {
      std::fprintf(stderr, "qxlrun: %s\n", error.c_str());
      return 2;
    }
    load_paths[i] = base + ".b";
  }

  qxl::run::Program program;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!qxl::read_file(load_paths[i], bytes, error)) {
      std::fprintf(stderr, "qxlrun: %s: cannot read: %s\n", files[i].c_str(),
                   error.c_str());
      return 2;
    }
    if (auto problem = qxl::run::load_file(program, files[i], bytes)) {
      std::fprintf(stderr, "qxlrun: %s\n", problem->c_str());
      return 2;
    }
  }
  if (auto problem = qxl::run::link(program)) {
    std::fprintf(stderr, "qxlrun: %s\n", problem->c_str());
    return 2;
  }

  const qxl::run::Outcome outcome = qxl::run::run(program, options, {});
  std::fflush(stdout);
  if (outcome.kind == qxl::run::Outcome::Kind::fault)
    std::fprintf(stderr, "qxlrun: %s\n", outcome.message.c_str());
  return outcome.status;
}
