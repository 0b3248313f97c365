// Run settings: what the options given in QXL and on the command line ask
// for.  Every other module reads them; only the driver writes them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qxl {

// Search suppression bits of -w.
namespace search_off {
inline constexpr std::uint32_t source_directory = 1;
inline constexpr std::uint32_t qltpath = 2;
inline constexpr std::uint32_t executable_directory = 8;
}  // namespace search_off

struct RunSettings {
  int verbose = 0;
  int listing = 0;             // -p: echo the preprocessed token stream
  int no_debug_info = 0;       // -s
  int no_unused_warnings = 0;  // -q
  int exclude_headers = 0;     // -e
  int builtin_file = 0;        // -b: no id variable
  int logo_suppression = 0;    // -n, -n<digit>
  std::uint32_t search_suppression = 0;  // -w<number>
  int filter_mode = 0;   // lower-case -f: source on standard input
  int stdout_mode = 0;   // -f or -F: bytecode on standard output
  std::string filter_name;
  std::vector<std::string> macro_definitions;  // -d texts, in order
  // Include directories in search order.  -i- moves the insertion cursor
  // back to the front so that later entries overwrite earlier ones.
  std::vector<std::string> include_dirs;
  std::size_t include_cursor = 0;
  std::string output_name;
  std::string source_directory;
  std::string executable_path;
  std::string main_source_name;
  bool unicode_names = false;
  bool logo_shown = false;

  void reset();
};

extern RunSettings settings;

// Splits an option text at white space (no quoting, no escapes).
std::vector<std::string> split_option_words(std::string_view text);

// Reads the options from the front of the word list into `settings` and
// returns the index of the first word that is not an option.  Ends the run
// with the usage text on a bad option.
std::size_t parse_options(const std::vector<std::string>& words);

// Adds a directory to the include list at the insertion cursor.
void add_include_dir(std::string dir);

void show_logo();
[[noreturn]] void show_usage();

}  // namespace qxl
