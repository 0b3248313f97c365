#include "driver/options.h"

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "driver/search_paths.h"
#include "source/lexer.h"

namespace qxl {

RunSettings settings;

void RunSettings::reset() { *this = RunSettings{}; }

namespace {

constexpr const char* usage_lines[] = {
    "\nusage: qxl [-flags] file\n\n",
    "-p            Display preprocessed output\n",
    "-s            Leave out debugging info\n",
    "-b            Built-in file, omit id variable\n",
    "-e            Exclude header file definitions\n",
    "-v            Verbose: show progress of compiler\n",
    "-ofile        Set name of output file\n",
    "-dmacro=value Define a macro\n",
    "-dmacro!value Define a macro\n",
    "-idir         Search this directory for included files\n",
    "-w1           Don't search based on source file's location\n",
    "-w2           Don't search based on QLTPATH\n",
    "-w8           Don't search based on executable's location\n",
    "-n            Don't show startup logo\n",
    "-q            Don't warn about unused variables\n",
    "-f            Act as a filter, using stdin/stdout\n",
    "-F            Use stdout for bytecode output\n",
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

[[noreturn]] void unknown_switch(const std::string& word) {
  show_logo();
  console_print("unknown switch '%s'\n", word.c_str());
  show_usage();
}

}  // namespace

std::vector<std::string> split_option_words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_space(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !is_space(text[i])) ++i;
    if (i > start) words.emplace_back(text.substr(start, i - start));
  }
  return words;
}

void add_include_dir(std::string dir) {
  if (settings.include_cursor < settings.include_dirs.size())
    settings.include_dirs[settings.include_cursor] = std::move(dir);
  else
    settings.include_dirs.push_back(std::move(dir));
  ++settings.include_cursor;
}

std::size_t parse_options(const std::vector<std::string>& words) {
  std::size_t i = 0;
  for (; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.empty() || word[0] != '-') break;
    if (word.size() >= 2 && word[1] == '-') return i + 1;  // "--" ends options
    if (word.size() < 2) unknown_switch(word);

    // Every option letter but f may be given in either case; -F is an
    // option of its own.
    const char letter = word[1] == 'F' ? 'F' : lower_ascii(word[1]);
    const std::string text = word.substr(2);
    switch (letter) {
      case 'b': ++settings.builtin_file; break;
      case 'd':
        if (text.empty()) show_usage();
        settings.macro_definitions.push_back(text);
        break;
      case 'e': ++settings.exclude_headers; break;
      case 'f':
        ++settings.filter_mode;
        if (!text.empty()) settings.filter_name = text;
        ++settings.stdout_mode;
        break;
      case 'F': ++settings.stdout_mode; break;
      case 'i': {
        std::string dir = text;
        if (dir.empty()) {
          if (i + 1 >= words.size()) show_usage();
          dir = words[++i];
        }
        if (dir == "-")
          settings.include_cursor = 0;
        else
          add_include_dir(std::move(dir));
        break;
      }
      case 'n':
        if (!text.empty() && is_digit(text[0]))
          settings.logo_suppression = text[0] - '0';
        else
          ++settings.logo_suppression;
        break;
      case 'o':
        if (!text.empty()) {
          settings.output_name = text;
        } else {
          if (i + 1 >= words.size()) show_usage();
          settings.output_name = words[++i];
        }
        break;
      case 'p': ++settings.listing; break;
      case 'q': ++settings.no_unused_warnings; break;
      case 's': ++settings.no_debug_info; break;
      case 'v': ++settings.verbose; break;
      case 'w':
        if (!text.empty() && is_digit(text[0]))
          settings.search_suppression |= integer_constant_value(text);
        else
          settings.search_suppression = 0;
        break;
      default: unknown_switch(word);
    }
  }
  return i;
}

void show_logo() {
  if (settings.logo_suppression != 0 || settings.logo_shown) return;
  settings.logo_shown = true;
  console_print("qxl %s, the QXL compiler of the Quillet text editor\n",
                version_text);
  console_flush();
}

void show_usage() {
  show_logo();
  for (const char* line : usage_lines) console_write(line);
  exit_with_status(1);
}

}  // namespace qxl
