// qxlrun: loads bytecode files written by qxl and runs one of their
// functions on a reference implementation of the editor's stack machine,
// alone, in an editor session replaying keys, or as a test runner.
//
//   qxlrun [options] program.q|program.b [arguments...]
//   qxlrun --test [options] file.q|file.b...
//
// Exit status: the low byte of the called function's int result (0 when it
// returns none); 1 for a wrong command line and when the program aborts
// through error() or quick_abort() (--test: when a test fails); 2 when a
// file cannot be compiled, read, checked or linked; 3 for a run-time fault
// (also a key that --dispatch cannot run).  leave(n) ends the run with n.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "driver/search_paths.h"
#include "tools/command_line.h"
#include "tools/disassembler.h"
#include "tools/key_notation.h"
#include "tools/run/machine.h"
#include "tools/run/program.h"
#include "tools/run/session.h"
#include "types/builtins.h"

extern char** environ;

namespace {

constexpr std::string_view usage_text =
    "usage: qxlrun [options] program.q|program.b [arguments...]\n"
    "       qxlrun --test [options] file.q|file.b...\n"
    "\n"
    "Loads the program (and the files of --with) as the editor's loader\n"
    "does and calls one of its functions; the words after the program are\n"
    "its argv[1], argv[2], ... (argv[0] is the program).  A file whose name\n"
    "ends in .q, or whose first line begins with #!, is compiled first with\n"
    "qxl into a temporary directory; a #! line is left out, the lines after\n"
    "it keep their numbers.  The compiler's messages go to standard error.\n"
    "-- ends the options.\n"
    "\n"
    "--with FILE      Link FILE with the program (repeatable)\n"
    "-I DIR           Pass -i DIR to the compiler (repeatable)\n"
    "-D NAME[=VALUE]  Pass -dNAME[=VALUE] to the compiler (repeatable)\n"
    "--call NAME      Call the function NAME (default main)\n"
    "--steps N        Stop with a fault after N instructions (per test)\n"
    "--stack N        Stack size in 4-byte words (default 1048576)\n"
    "--qxl PATH       The compiler for .q files (default: qxl next to\n"
    "                 qxlrun, then in its parent directory, then on PATH)\n"
    "\n"
    "Editor sessions:\n"
    "--buffer FILE    Start with the text of FILE in the buffer (UTF-8\n"
    "                 after a byte-order mark, else Latin-1)\n"
    "--point N        Start with point at N (0 to the buffer's size)\n"
    "--write-buffer FILE\n"
    "                 Write the buffer to FILE (- for standard output) at\n"
    "                 the end of the run, however it ends: UTF-8, no BOM\n"
    "--arg N          A numeric argument: iter N and has_arg 1 for the\n"
    "                 function called, or the first command of --dispatch\n"
    "                 (without it iter is 1 and has_arg 0)\n"
    "--keys KEYS      Keys for the program to read, in the key notation,\n"
    "                 separated by blanks: \"C-x h Alt-s F4 a Space\"\n"
    "--keys-file FILE The same, read from FILE (appended to --keys)\n"
    "--dispatch       Run the keys through the key tables as the editor's\n"
    "                 main loop does, instead of calling a function\n"
    "--keytable NAME  The key table keys start in (default: the first)\n"
    "--prefix [TABLE:]KEY=TABLE2\n"
    "                 KEY in TABLE (default: the starting one) is a prefix:\n"
    "                 the next key is looked up in TABLE2 (repeatable);\n"
    "                 ctl<l>_keys and alt<l>_keys need none: C-<l>, Alt-<l>\n"
    "\n"
    "--test           Run every function whose name begins with test_ in\n"
    "                 the files, each in a fresh machine; report in TAP\n"
    "--primitives     List the primitives qxlrun provides\n"
    "--help           Show this text\n"
    "--version        Show the version\n"
    "\n"
    "Exit status: the low byte of the function's int result (0 without a\n"
    "result); 1 for a wrong command line and for error() and quick_abort()\n"
    "(--dispatch: when a command ended so; --test: when a test fails); 2\n"
    "when a file cannot be compiled, read, checked or linked; 3 for a\n"
    "run-time fault, reported on standard error with the function, the\n"
    "source file and the line and a backtrace of the active calls, and for\n"
    "a key that --dispatch cannot run; leave(N) ends with N.\n";

constexpr int status_usage = 1;
constexpr int status_file = 2;
constexpr int status_fault = 3;
constexpr int status_test_failed = 1;
constexpr std::size_t max_program_arguments = 49;

int usage_error(const std::string& message) {
  return qxl::usage_error("qxlrun", message, usage_text, status_usage);
}

int file_error(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "qxlrun: %s\n", message.c_str());
  return status_file;
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

// A decimal int, with an optional sign, within the 32-bit range.
bool parse_int(std::string_view text, std::int32_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
  std::uint64_t magnitude = 0;
  if (text.size() > 10 || !parse_count(text, magnitude)) return false;
  if (magnitude > (negative ? 2147483648u : 2147483647u)) return false;
  value = static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(magnitude)
                                             : static_cast<std::int64_t>(magnitude));
  return true;
}

bool ends_with(const std::string& text, std::string_view tail) {
  return text.size() > tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool executable(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

bool read_text(const std::string& path, std::string& text, std::string& error) {
  std::vector<std::uint8_t> bytes;
  if (!qxl::read_file(path, bytes, error)) return false;
  text.assign(bytes.begin(), bytes.end());
  return true;
}

bool write_text(const std::string& path, std::string_view text) {
  if (path == "-")
    return qxl::write_standard_output("qxlrun", text) == 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (out) return true;
  std::fprintf(stderr, "qxlrun: cannot write the buffer to %s: %s\n",
               path.c_str(), std::strerror(errno));
  return false;
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

// Replaces every occurrence of `from` in `text` with `to`.
std::string replace_all(std::string text, const std::string& from,
                        const std::string& to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// One run of the compiler.
struct Compile {
  std::string compiler;
  std::vector<std::string> options;  // -i DIR and -dNAME words
  std::string source;                // the file given to the compiler
  std::string output_base;           // it writes output_base.b
  // A copy: its name in the compiler's messages becomes the original's.
  std::string copy_of;
};

// Runs the compiler with its standard output (its messages) sent to our
// standard error.  Returns false with a reason.
bool compile(const Compile& c, std::string& error) {
  int pipe_ends[2] = {-1, -1};
  const bool filtered = !c.copy_of.empty();
  if (filtered && pipe(pipe_ends) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (filtered) {
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
  } else {
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
  }
  std::vector<std::string> words = {c.compiler, "-n", "-o", c.output_base};
  words.insert(words.end(), c.options.begin(), c.options.end());
  words.push_back("--");  // a source whose name begins with '-' stays one
  words.push_back(c.source);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, c.compiler.c_str(), &actions, nullptr,
                                   argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (filtered) {
    close(pipe_ends[1]);
    std::string messages;
    char chunk[4096];
    for (;;) {
      const ssize_t n = read(pipe_ends[0], chunk, sizeof chunk);
      if (n > 0) {
        messages.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    close(pipe_ends[0]);
    messages = replace_all(std::move(messages), c.source, c.copy_of);
    std::fwrite(messages.data(), 1, messages.size(), stderr);
  }
  if (spawned != 0) {
    error = "cannot run the compiler " + c.compiler + ": " + std::strerror(spawned);
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
  error = "compiling " + (filtered ? c.copy_of : c.source) + " failed";
  return false;
}

// A temporary directory removed, with what qxlrun put in it, at the end.
struct TempDir {
  std::string path;
  std::vector<std::string> files;
  std::vector<std::string> directories;
  ~TempDir() {
    for (const std::string& f : files) unlink(f.c_str());
    for (auto d = directories.rbegin(); d != directories.rend(); ++d)
      rmdir(d->c_str());
    if (!path.empty()) rmdir(path.c_str());
  }
  bool make(std::string& error) {
    if (!path.empty()) return true;
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") +
        "/qxlrun-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      error = std::string("cannot make a temporary directory: ") +
              std::strerror(errno);
      return false;
    }
    path = pattern;
    return true;
  }
};

// The command line, taken apart.
struct CommandLine {
  bool test_mode = false;
  std::vector<std::string> files;  // the program (or the tests), then --with
  std::size_t main_files = 0;      // how many of them are the program or tests
  std::vector<std::string> arguments;
  std::vector<std::string> compiler_options;
  std::string compiler;
  qxl::run::Options options;
  bool arg_given = false;
  std::string buffer_file;
  bool point_given = false;
  std::uint64_t point = 0;
  std::string write_buffer;
  std::string keys;
  std::vector<std::string> key_files;
  bool dispatch = false;
  std::string keytable;
  std::vector<std::string> prefixes;
};

// How parsing the command line ends: go on, or exit with `status`.
struct ParseEnd {
  bool exit = false;
  int status = 0;
};

ParseEnd stop(int status) { return {true, status}; }

ParseEnd parse_command_line(int argc, char** argv, CommandLine& cl) {
  std::vector<std::string> with;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> const char* {
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    auto needs = [&](const char* v, const std::string& what) {
      if (v != nullptr && *v != '\0') return false;
      usage_error(std::string(arg) + " needs " + what);
      return true;
    };
    if (arg == "--" || arg.empty() || arg[0] != '-') {
      if (arg == "--") ++i;
      if (cl.test_mode) {
        for (; i < argc; ++i) cl.files.emplace_back(argv[i]);
        break;
      }
      if (i >= argc) break;
      cl.files.emplace_back(argv[i]);
      // The older form "program -- arguments": that "--" is left out.
      if (i + 1 < argc && std::string_view(argv[i + 1]) == "--") ++i;
      for (++i; i < argc; ++i) cl.arguments.emplace_back(argv[i]);
      break;
    }
    if (arg == "--help") {
      std::fwrite(usage_text.data(), 1, usage_text.size(), stdout);
      return stop(0);
    }
    if (arg == "--version") {
      std::printf("qxlrun %s\n", qxl::version_text);
      return stop(0);
    }
    if (arg == "--primitives") {
      for (const qxl::PrimitiveRow& row : qxl::primitive_table())
        if (qxl::run::primitive_implemented(row.name))
          std::printf("%-22s %s\n", std::string(row.name).c_str(),
                      std::string(qxl::run::primitive_behaviour(row.name)).c_str());
      return stop(0);
    }
    if (arg == "--test") {
      cl.test_mode = true;
    } else if (arg == "--dispatch") {
      cl.dispatch = true;
    } else if (arg == "--call") {
      const char* v = value();
      if (needs(v, "a function name")) return stop(status_usage);
      cl.options.function = v;
    } else if (arg == "--steps" || arg == "--stack") {
      const char* v = value();
      std::uint64_t n = 0;
      if (v == nullptr || !parse_count(v, n) || n == 0)
        return stop(usage_error(std::string(arg) + " needs a positive number"));
      if (arg == "--steps") {
        cl.options.max_steps = n;
      } else {
        if (n < 64 || n > (1u << 26))
          return stop(usage_error("--stack takes 64 to 67108864 words"));
        cl.options.stack_words = static_cast<std::size_t>(n);
      }
    } else if (arg == "--qxl") {
      const char* v = value();
      if (needs(v, "a path")) return stop(status_usage);
      cl.compiler = v;
    } else if (arg == "--with") {
      const char* v = value();
      if (needs(v, "a file")) return stop(status_usage);
      with.emplace_back(v);
    } else if (arg == "-I" || arg == "-D" ||
               ((arg.starts_with("-I") || arg.starts_with("-D")) && arg.size() > 2)) {
      const bool include = arg[1] == 'I';
      const char* v = arg.size() > 2 ? argv[i] + 2 : value();
      if (needs(v, include ? "a directory" : "a macro name"))
        return stop(status_usage);
      if (include) {
        cl.compiler_options.push_back("-i");
        cl.compiler_options.emplace_back(v);
      } else {
        if (*v == '=') return stop(usage_error("-D needs a macro name before '='"));
        cl.compiler_options.push_back(std::string("-d") + v);
      }
    } else if (arg == "--buffer") {
      const char* v = value();
      if (needs(v, "a file")) return stop(status_usage);
      cl.buffer_file = v;
    } else if (arg == "--point") {
      const char* v = value();
      if (v == nullptr || !parse_count(v, cl.point))
        return stop(usage_error("--point needs a position (0 or more)"));
      cl.point_given = true;
    } else if (arg == "--write-buffer") {
      const char* v = value();
      if (needs(v, "a file or -")) return stop(status_usage);
      cl.write_buffer = v;
    } else if (arg == "--arg") {
      const char* v = value();
      std::int32_t n = 0;
      if (v == nullptr || !parse_int(v, n))
        return stop(usage_error("--arg needs a number from -2147483648 to 2147483647"));
      cl.options.has_arg = true;
      cl.options.iter = n;
      cl.arg_given = true;
    } else if (arg == "--keys") {
      const char* v = value();
      if (v == nullptr) return stop(usage_error("--keys needs keys"));
      cl.keys += ' ';
      cl.keys += v;
    } else if (arg == "--keys-file") {
      const char* v = value();
      if (needs(v, "a file")) return stop(status_usage);
      cl.key_files.emplace_back(v);
    } else if (arg == "--keytable") {
      const char* v = value();
      if (needs(v, "a key table name")) return stop(status_usage);
      cl.keytable = v;
    } else if (arg == "--prefix") {
      const char* v = value();
      if (needs(v, "[TABLE:]KEY=TABLE")) return stop(status_usage);
      cl.prefixes.emplace_back(v);
    } else {
      return stop(usage_error("unknown option '" + std::string(arg) + "'"));
    }
  }
  if (cl.files.empty())
    return stop(usage_error(cl.test_mode ? "no test file given" : "no file given"));
  if (cl.test_mode && (cl.dispatch || !cl.write_buffer.empty()))
    return stop(usage_error("--test does not go with --dispatch or --write-buffer"));
  if (cl.dispatch && cl.options.function != "main")
    return stop(usage_error("--dispatch does not go with --call"));
  if (cl.arguments.size() > max_program_arguments)
    return stop(usage_error("more than 49 program arguments"));
  cl.main_files = cl.files.size();
  cl.files.insert(cl.files.end(), with.begin(), with.end());
  return {};
}

bool starts_with_shebang(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char head[2] = {0, 0};
  in.read(head, 2);
  return in.gcount() == 2 && head[0] == '#' && head[1] == '!';
}

// Compiles the sources among the files into `temp` and gives the bytecode
// file to load for each.  A file whose first line begins with #! is
// compiled from a copy with that line emptied, in a directory of its own
// under the same base name; the original's directory is searched first
// for its includes, as the compiler searches a source's own directory.
bool compile_sources(const CommandLine& cl, TempDir& temp,
                     std::vector<std::string>& load_paths,
                     qxl::run::Program& program, int& status) {
  load_paths = cl.files;
  for (std::size_t i = 0; i < cl.files.size(); ++i) {
    const std::string& file = cl.files[i];
    const bool shebang = starts_with_shebang(file);
    if (!shebang && !ends_with(file, ".q")) continue;
    std::string error;
    if (!temp.make(error)) {
      status = file_error(error);
      return false;
    }
    Compile c;
    c.compiler = find_compiler(cl.compiler);
    c.output_base = temp.path + "/" + std::to_string(i);
    c.source = file;
    if (shebang) {
      std::string text;
      if (!read_text(file, text, error)) {
        status = file_error(file + ": cannot read: " + error);
        return false;
      }
      text.erase(0, std::min(text.find('\n'), text.size()));
      const std::string directory = c.output_base + ".src";
      if (mkdir(directory.c_str(), 0700) != 0) {
        status = file_error("cannot make a temporary directory: " +
                            std::string(std::strerror(errno)));
        return false;
      }
      temp.directories.push_back(directory);
      std::string base = file.substr(qxl::file_name_part(file, true));
      if (!ends_with(base, ".q")) base += ".q";
      c.source = directory + "/" + base;
      c.copy_of = file;
      temp.files.push_back(c.source);
      std::ofstream copy(c.source, std::ios::binary);
      copy.write(text.data(), static_cast<std::streamsize>(text.size()));
      copy.close();
      if (!copy) {
        status = file_error("cannot write " + c.source);
        return false;
      }
      c.options = {"-i", qxl::directory_part(file)};
      program.shown_names[c.source] = file;
    }
    c.options.insert(c.options.end(), cl.compiler_options.begin(),
                     cl.compiler_options.end());
    temp.files.push_back(c.output_base + ".b");
    if (!compile(c, error)) {
      status = file_error(error);
      return false;
    }
    load_paths[i] = c.output_base + ".b";
  }
  return true;
}

// The starting table and the prefix keys of --dispatch.
bool dispatch_settings(const CommandLine& cl, const qxl::run::Program& program,
                       qxl::run::DispatchSettings& settings, int& status) {
  auto table = [&](const std::string& name, std::size_t& index) {
    const auto found = qxl::run::find_key_table(program, name);
    if (found) index = *found;
    return found.has_value();
  };
  if (!cl.keytable.empty()) {
    if (!table(cl.keytable, settings.root)) {
      status = usage_error("the program has no key table " + cl.keytable);
      return false;
    }
  } else if (program.key_tables.empty()) {
    status = usage_error("--dispatch: the program has no key table");
    return false;
  }
  for (const std::string& text : cl.prefixes) {
    qxl::run::PrefixKey p;
    p.from = settings.root;
    const std::size_t equals = text.rfind('=');
    const std::size_t colon = text.find(':');
    std::string key_word =
        text.substr(0, equals == std::string::npos ? text.size() : equals);
    if (colon != std::string::npos && colon < key_word.size() && colon > 0) {
      if (!table(text.substr(0, colon), p.from)) {
        status = usage_error("--prefix " + text + ": the program has no key table " +
                             text.substr(0, colon));
        return false;
      }
      key_word = key_word.substr(colon + 1);
    }
    const auto key = qxl::key_code(key_word);
    if (equals == std::string::npos || !key) {
      status = usage_error("--prefix " + text + ": expected [TABLE:]KEY=TABLE");
      return false;
    }
    p.key = *key;
    if (!table(text.substr(equals + 1), p.to)) {
      status = usage_error("--prefix " + text + ": the program has no key table " +
                           text.substr(equals + 1));
      return false;
    }
    settings.prefixes.push_back(p);
  }
  // The tables the naming rule gives a key (ctlx_keys for C-x, alth_keys
  // for Alt-h) are reached by it from the starting table, unless a --prefix
  // or a binding of that table takes the key.
  const auto& root_bindings = program.key_tables[settings.root].bindings;
  for (std::size_t t = 0; t < program.key_tables.size(); ++t) {
    const auto key =
        qxl::key_of_table_name(qxl::run::source_name(program.key_tables[t].name));
    if (!key || t == settings.root || root_bindings.contains(*key)) continue;
    const bool given = std::any_of(
        settings.prefixes.begin(), settings.prefixes.end(),
        [&](const qxl::run::PrefixKey& p) { return p.from == settings.root && p.key == *key; });
    if (!given) settings.prefixes.push_back({settings.root, *key, t});
  }
  return true;
}

void report(const qxl::run::Outcome& outcome) {
  std::fflush(stdout);
  if (outcome.kind != qxl::run::Outcome::Kind::fault) return;
  std::string text = "qxlrun: " + outcome.message + "\n";
  for (const std::string& line : qxl::run::backtrace_lines(outcome.calls))
    text += line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

int run_main(int argc, char** argv) {
  CommandLine cl;
  if (const ParseEnd end = parse_command_line(argc, argv, cl); end.exit)
    return end.status;

  // Keys and the buffer first: a mistake in them is found before any
  // compiling.
  for (const std::string& file : cl.key_files) {
    std::string text, error;
    if (!read_text(file, text, error))
      return file_error("cannot read the key file " + file + ": " + error);
    cl.keys += ' ';
    cl.keys += text;
  }
  if (auto bad = qxl::run::parse_key_script(cl.keys, cl.options.keys))
    return usage_error("unknown key '" + *bad + "' in the keys");
  if (!cl.buffer_file.empty()) {
    std::string bytes, error;
    if (!read_text(cl.buffer_file, bytes, error))
      return file_error("cannot read the buffer file " + cl.buffer_file + ": " +
                        error);
    cl.options.buffer_text = qxl::run::decode_buffer_file(bytes);
    if (cl.options.buffer_text.size() > cl.options.limits.buffer_characters)
      return file_error("the buffer file " + cl.buffer_file +
                        " holds more than 256M characters");
  }
  if (cl.point_given) {
    if (cl.point > cl.options.buffer_text.size())
      return usage_error("--point " + std::to_string(cl.point) +
                         " lies outside the buffer (" +
                         std::to_string(cl.options.buffer_text.size()) +
                         " characters)");
    cl.options.point = static_cast<int>(cl.point);
  }
  // argv[0] is the program, or for --test the first test file.
  cl.options.arguments.push_back(cl.files.front());
  for (const std::string& a : cl.arguments) cl.options.arguments.push_back(a);

  TempDir temp;
  qxl::run::Program program;
  std::vector<std::string> load_paths;
  int status = 0;
  if (!compile_sources(cl, temp, load_paths, program, status)) return status;
  for (std::size_t i = 0; i < cl.files.size(); ++i) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (!qxl::read_file(load_paths[i], bytes, error))
      return file_error(cl.files[i] + ": cannot read: " + error);
    if (auto problem = qxl::run::load_file(program, cl.files[i], bytes))
      return file_error(*problem);
  }
  if (auto problem = qxl::run::link(program)) return file_error(*problem);

  if (cl.test_mode) {
    std::vector<std::size_t> test_files;
    for (std::size_t i = 0; i < cl.main_files; ++i) test_files.push_back(i);
    const auto tests = qxl::run::find_tests(program, test_files);
    std::string tap;
    const std::size_t failed = qxl::run::run_tests(
        program, tests, cl.options, [&tap](std::string_view s) { tap.append(s); });
    if (qxl::write_standard_output("qxlrun", tap) != 0) return status_usage;
    return failed == 0 ? 0 : status_test_failed;
  }

  qxl::run::Outcome outcome;
  qxl::run::Machine machine;
  if (cl.dispatch) {
    qxl::run::DispatchSettings settings;
    if (!dispatch_settings(cl, program, settings, status)) return status;
    try {
      qxl::run::start_machine(machine, program, cl.options, {});
      outcome = qxl::run::dispatch_keys(machine, settings, cl.options.has_arg,
                                        cl.options.iter);
    } catch (const qxl::run::Fault& failure) {
      outcome.kind = qxl::run::Outcome::Kind::fault;
      outcome.status = status_fault;
      outcome.message = failure.message;
    }
  } else {
    auto found = program.names.find(qxl::run::stored_name(cl.options.function));
    if (found == program.names.end() || !found->second.is_function)
      return file_error("no function named " + cl.options.function);
    try {
      qxl::run::start_machine(machine, program, cl.options, {});
      outcome = qxl::run::call_from_top(machine, found->second.index,
                                        cl.options.has_arg, cl.options.iter);
    } catch (const qxl::run::Fault& failure) {
      outcome.kind = qxl::run::Outcome::Kind::fault;
      outcome.status = status_fault;
      outcome.message = failure.message;
    }
  }
  report(outcome);
  if (!cl.write_buffer.empty() &&
      !write_text(cl.write_buffer,
                  qxl::run::encode_buffer_file(machine.buffer.text)))
    return status_file;
  return outcome.status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run_main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "qxlrun: out of memory\n");
    return status_fault;
  }
}
