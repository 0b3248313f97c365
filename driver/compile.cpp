#include "driver/compile.h"

#include <unicode/uchar.h>
#include <unicode/uclean.h>
#include <unicode/putil.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "bytecode/writer.h"
#include "codegen/code_buffer.h"
#include "codegen/functions.h"
#include "codegen/statements.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "driver/search_paths.h"
#include "driver/unicode_data.h"
#include "driver/user_database.h"
#include "source/lexer.h"
#include "source/macros.h"
#include "source/preprocessor.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/builtins.h"
#include "types/declarations.h"
#include "types/expressions.h"
#include "types/nodes.h"
#include "types/types.h"

namespace qxl {

namespace {

constexpr const char* unicode_data_name = "icudt34l";

// Guards against a failure inside the finish sequence starting it again
// more than once.
int finish_depth = 0;

}  // namespace

void reset_compiler_state() {
  settings.reset();
  diagnostics.reset();
  clear_symbol_table();
  reader.reset();
  lexer.reset();
  macros.reset();
  preprocessor.reset();
  writer.reset();
  type_arena.reset();
  declarations.reset();
  expression_parser.reset();
  builtin_types = BuiltinTypes{};
  user_database.reset();
  node_pool.reset();
  code.reset();
  statements.reset();
  finish_depth = 0;
}

namespace {

// Points the Unicode library at its data next to the executable, and turns
// character names on when the library works.
void set_up_unicode_data() {
  const std::string exe_dir =
      settings.executable_path.substr(
          0, file_name_part(settings.executable_path, true));
  std::string path = exe_dir + unicode_data_name + ".dat";
  if (::access(path.c_str(), R_OK) != 0)
    path = exe_dir + "../" + unicode_data_name + ".dat";

  u_setDataDirectory(directory_part(path).c_str());
  attach_unicode_data();
  UErrorCode status = U_ZERO_ERROR;
  u_init(&status);
  if (status != U_ZERO_ERROR || u_foldCase('A', U_FOLD_CASE_DEFAULT) != 'a') {
    console_print("Data file %s missing, Unicode character names disabled.\n",
                  path.c_str());
    return;
  }
  settings.unicode_names = true;
}

// The output name: the -o name or the source's file-name part, with its
// extension replaced by ".b" (".B" when the name has no lower-case letter).
std::string derive_output_name() {
  std::string name = settings.output_name;
  if (name.empty())
    name = settings.main_source_name.substr(
        file_name_part(settings.main_source_name, true));
  bool has_lower = false;
  for (char c : name) has_lower = has_lower || (c >= 'a' && c <= 'z');
  name.resize(extension_of(name));
  name += has_lower ? ".b" : ".B";
  return name;
}

// Splits a -d text into name and body at its first '=', else its first '!'.
std::pair<std::string, std::string> split_definition(const std::string& text) {
  std::size_t at = text.find('=');
  if (at == std::string::npos) at = text.find('!');
  if (at == std::string::npos) return {text, "(1)"};
  return {text.substr(0, at), text.substr(at + 1)};
}

void predefine_macros() {
  for (const char* name : predefined_macro_names)
    define_macro_text(name, "(1)");
  for (const std::string& text : settings.macro_definitions) {
    auto [name, body] = split_definition(text);
    if (settings.verbose != 0)
      console_print("#define %s %s\n", name.c_str(), body.c_str());
    define_macro_text(name, body);
  }
}

void compile(const std::vector<std::string>& args) {
  settings.executable_path =
      find_executable(args.empty() ? std::string_view() : args[0]);

  std::vector<std::string> words;
  if (auto value = versioned_getenv("QXL"); value && !value->empty())
    words = split_option_words(*value);
  if (!args.empty()) words.insert(words.end(), args.begin() + 1, args.end());

  const std::size_t first_file = parse_options(words);
  if ((settings.search_suppression & search_off::qltpath) == 0)
    build_include_list();
  if (words.size() - first_file != 1) show_usage();
  show_logo();
  set_up_unicode_data();

  settings.main_source_name = words[first_file];
  settings.source_directory = directory_part(
      settings.filter_mode != 0 && !settings.filter_name.empty()
          ? settings.filter_name
          : settings.main_source_name);

  init_symbol_table();
  install_builtin_names();
  open_main_source(settings.main_source_name);

  if (settings.verbose != 0) {
    console_print("Include path:\n");
    for (const std::string& dir : settings.include_dirs)
      console_print("%s\n", dir.c_str());
  }

  output_open(derive_output_name());
  output_write(file_header(0, 0));

  predefine_macros();
  next_token();
  compile_unit();
  finish_compile();
}

}  // namespace

namespace {

bool leave_process_at_exit = false;

}  // namespace

// A build that records its own run profile (see scripts/profiled-build.sh)
// has this function, which writes the profile; the normal end of the
// process would call it, leaving at once does not.  Elsewhere it is null.
extern "C" void __gcov_dump(void) __attribute__((weak));

void set_leave_process_at_exit(bool leave) { leave_process_at_exit = leave; }

void exit_with_status(int status) {
  if (leave_process_at_exit) {
    console_flush();
    std::fflush(nullptr);
    if (__gcov_dump != nullptr) __gcov_dump();
    std::_Exit(status);
  }
  throw CompileExit{status};
}

void finish_compile() {
  if (++finish_depth > 2) exit_with_status(1);
  if (settings.verbose != 0 && finish_depth == 1) console_write("\n");
  if (diagnostics.error_count == 0) {
    if (settings.builtin_file == 0)
      write_id_variable(settings.filter_name.empty() ? settings.main_source_name
                                                     : settings.filter_name);
    write_end();
    output_rewind();
    output_write(file_header(
        static_cast<std::uint32_t>(writer.string_pool.size()),
        static_cast<std::uint32_t>(writer.debug_names.size())));
  }
  drain_input();
  output_close(diagnostics.error_count);
  if (diagnostics.error_count != 0 && settings.stdout_mode == 0)
    remove_output();
  exit_with_status(diagnostics.error_count != 0 ? 1 : 0);
}

int run_qxl(const std::vector<std::string>& args) {
  reset_compiler_state();
  try {
    try {
      compile(args);
    } catch (const std::bad_alloc&) {
      report_fatal("out of memory");
    } catch (const std::length_error&) {
      report_fatal("out of memory");
    }
  } catch (const CompileExit& exit) {
    console_flush();
    return exit.status;
  } catch (const std::bad_alloc&) {
    // Memory ran out again while the finish sequence handled the first
    // failure: give up on the output.
    remove_output();
    return 1;
  }
  return 0;
}

}  // namespace qxl
