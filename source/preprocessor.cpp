#include "source/preprocessor.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "codegen/constant_eval.h"
#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "driver/search_paths.h"
#include "driver/session.h"
#include "source/lexer.h"
#include "source/macros.h"
#include "source/symbols.h"
#include "types/expressions.h"

namespace qxl {

PreprocessorState preprocessor;

void PreprocessorState::reset() { *this = PreprocessorState{}; }

namespace {

constexpr unsigned char byte_order_mark[] = {0xEF, 0xBB, 0xBF};

// Reads until at least `count` bytes wait in the buffer or the file ends.
void fill_at_least(std::size_t count) {
  if (reader.buffer.size() < input_buffer_size)
    reader.buffer.resize(input_buffer_size);
  if (reader.position > 0 && reader.left > 0)
    std::copy_n(reader.buffer.begin() + static_cast<long>(reader.position),
                reader.left, reader.buffer.begin());
  reader.position = 0;
  while (reader.left < count) {
    ssize_t n = ::read(reader.fd, reader.buffer.data() + reader.left,
                       input_block_size - reader.left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reader.left += static_cast<std::size_t>(n);
  }
  seal_buffer();
}

bool is_white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\v';
}

// Opens a file for reading; -1 when it cannot be opened or is a directory
// (which opens, but cannot be read as a source).
int open_for_reading(const std::string& path) {
  if (compile_session != nullptr) {
    const int held = session_open_text(path);
    if (held >= 0) return held;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

}  // namespace

void open_main_source(std::string_view name) {
  open_input_buffer();
  // The language server's standard input carries its messages, never a
  // source.
  if (settings.filter_mode != 0 && compile_session == nullptr) {
    reader.fd = STDIN_FILENO;
    reader.source_is_utf8 = false;
    start_source(name, -1);
    return;
  }

  std::string path(name);
  if (path.find('.', file_name_part(path, true)) == std::string::npos)
    path += ".q";
  const int fd = open_for_reading(path);
  if (fd < 0) {
    console_print("%s: can't open %s\n", path.c_str(), "file");
    exit_with_status(1);
  }
  reader.fd = fd;
  reader.source_is_utf8 = false;
  start_source(path, 1);
}

void start_source(std::string_view name, int mode) {
  reader.file_name = mode <= 0 ? "Buffer " + std::string(name)
                               : std::string(name);
  reader.line_number = 1;
  fill_at_least(sizeof byte_order_mark);
  if (reader.left >= sizeof byte_order_mark &&
      std::equal(std::begin(byte_order_mark), std::end(byte_order_mark),
                 reader.buffer.begin() + static_cast<long>(reader.position))) {
    reader.position += sizeof byte_order_mark;
    reader.left -= sizeof byte_order_mark;
    reader.source_is_utf8 = true;
  }
}

namespace {

// One directive line as read: its own position and its text, "#" and the
// rest of the line with continuation lines joined, comments and trailing
// white space removed.
struct DirectiveLine {
  std::string file;
  int line_number = 0;
  std::string text;
};

// A directive line split at its name: the name runs from the '#' to the
// first white space, the argument starts after the white space that
// follows.  Both view the line's text.
struct Directive {
  TokenCode code = directive::unknown;
  std::string_view name;
  std::string_view argument;
};

// directive_line = "#" (quoted | comment | "\\" newline | character)* newline
// Reads the rest of the directive line into the token text, with
// continuation lines joined and comments removed, and returns it.  The
// line's newline has been counted by then, so every message of a directive
// carries the number of the line after it, except the note about an
// unknown name, which uses the position kept here.
DirectiveLine collect_directive_line() {
  DirectiveLine collected;
  collected.file = reader.file_name;
  collected.line_number = reader.line_number;

  reader.in_directive_line = true;
  set_token_text("#");
  char quote = 0;
  std::size_t line_comment = std::string::npos;
  std::size_t block_comment = std::string::npos;
  for (;;) {
    int c = read_char();
    if (c == end_of_input || c == '\n') {
      --reader.token_length;  // the line's end is not part of its text
      break;
    }
    if (line_comment != std::string::npos) continue;
    if (c == '\\') {
      int next = read_char();
      if (next == '\n') {
        reader.token_length -= 2;  // continuation: drop backslash, newline
        continue;
      }
      if (next == end_of_input) {
        --reader.token_length;
        break;
      }
      continue;  // the escaped character is taken unexamined
    }
    const std::size_t at = reader.token_length - 1;
    if (block_comment != std::string::npos) {
      if (c == '/' && at > block_comment + 2 &&
          reader.token_text[at - 1] == '*') {
        reader.token_length = block_comment;  // remove the whole comment
        block_comment = std::string::npos;
      }
      continue;
    }
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = static_cast<char>(c);
    } else if (c == '/' && at > 0 && reader.token_text[at - 1] == '/') {
      line_comment = at - 1;
    } else if (c == '*' && at > 0 && reader.token_text[at - 1] == '/') {
      block_comment = at - 1;
    }
  }
  if (line_comment != std::string::npos) reader.token_length = line_comment;
  while (reader.token_length > 0 &&
         is_white(reader.token_text[reader.token_length - 1]))
    --reader.token_length;
  reencode_token_text();
  reader.in_directive_line = false;

  collected.text = std::string(token_text());
  return collected;
}

// directive = directive_name (white_space+ argument)?
// directive_name = "#" non_white_character*
// Splits the line's text and looks the name up: a name that is not one
// of the directives has the code of none.
Directive name_directive(std::string_view text) {
  std::size_t name_end = 0;
  while (name_end < text.size() && !is_white(text[name_end])) ++name_end;
  std::size_t argument_start = name_end;
  while (argument_start < text.size() && is_white(text[argument_start]))
    ++argument_start;
  Directive named;
  named.name = text.substr(0, name_end);
  named.argument = text.substr(argument_start);
  named.code = lookup_symbol(named.name, directive::unknown);
  return named;
}

// Executes a named directive; `line` is where it was written.
void run_directive(const Directive& d, const DirectiveLine& line) {
  switch (d.code) {
    case directive::include:
      include_file(d.argument, false);
      break;
    case directive::tryinclude:
      include_file(d.argument, true);
      break;
    case directive::define:
      define_directive(d.argument);
      if (compile_session != nullptr)
        session_note_macro(symbols.current, line.file, line.line_number);
      break;
    case directive::undef:
      undef_directive(d.argument);
      if (compile_session != nullptr)
        session_note_undef(symbols.current, line.file, line.line_number);
      break;
    case directive::if_:
      if (evaluate_condition(d.argument) == 0) skip_conditional(true);
      break;
    case directive::ifdef:
    case directive::ifndef: {
      // "#ifdef" name | "#ifndef" name: the whole argument is the name, and
      // it is looked up even when empty (the table notes that; no macro has
      // the empty name).  Any definition counts, even one not visible at
      // this depth.
      lookup_symbol(d.argument, tok::identifier);
      if (compile_session != nullptr)
        session_note_macro_reference(symbols.current, line.file, line.line_number);
      const bool defined = macro_has_definition(symbols.current);
      if (defined != (d.code == directive::ifdef)) skip_conditional(true);
      break;
    }
    case directive::else_:
    case directive::elif:
      // Reached only when the part before was compiled.
      skip_conditional(false);
      break;
    case directive::line:
      line_directive(d.argument);
      break;
    case directive::endif:
      break;
    default:
      // A bare '#' (so also "# define") is ignored.
      if (d.name.size() > 1)
        report_at(line.file, line.line_number,
                  "unknown preprocessor directive");
      break;
  }
}

}  // namespace

// Collects the directive line, names the directive and runs it; the token
// text and the current symbol of the scan it interrupted are kept.
void process_directive() {
  const std::string saved_token(token_text());
  Symbol* const saved_current = symbols.current;

  const DirectiveLine line = collect_directive_line();
  run_directive(name_directive(line.text), line);

  set_token_text(saved_token);
  symbols.current = saved_current;
}

std::string join_include_path(std::string_view directory,
                              std::string_view name) {
  if (!directory.empty() && directory.front() == '"')
    directory.remove_prefix(1);
  if (!name.empty() && name.front() == '"') name.remove_prefix(1);
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// include_directive = ("#include" | "#tryinclude") include_name
// include_name = "\"" path "\"" | "<" path ">"
void include_file(std::string_view argument, bool try_only) {
  const bool angled = argument.size() >= 2 && argument.front() == '<' &&
                      argument.back() == '>';
  const bool quoted = argument.size() >= 2 && argument.front() == '"' &&
                      argument.back() == '"';
  if (!angled && !quoted) report_fatal("bad #include syntax");
  const std::string name(argument.substr(1, argument.size() - 2));

  std::vector<std::string> candidates;
  if (!name.empty() && (name.front() == '/' || name.front() == '~')) {
    candidates.push_back(name);
  } else {
    if (quoted &&
        (settings.search_suppression & search_off::source_directory) == 0)
      candidates.push_back(join_include_path(settings.source_directory, name));
    for (const std::string& directory : settings.include_dirs)
      candidates.push_back(join_include_path(directory, name));
  }

  for (const std::string& path : candidates) {
    const int fd = open_for_reading(path);
    if (fd < 0) continue;
    // A file already entered under this path text is not read again.
    if (std::find(preprocessor.included_files.begin(),
                  preprocessor.included_files.end(),
                  path) != preprocessor.included_files.end()) {
      ::close(fd);
      return;
    }
    if (preprocessor.include_stack.size() >= max_include_nesting) {
      ::close(fd);
      report_fatal("#include nested more than %zu deep", max_include_nesting);
    }
    preprocessor.included_files.push_back(path);
    preprocessor.include_stack.push_back(take_current_file());
    reader.fd = fd;
    open_input_buffer();
    reader.source_is_utf8 = false;
    start_source(path, 1);
    if (settings.listing != 0)
      console_print("#line %d \"%s\"\n", reader.line_number,
                    reader.file_name.c_str());
    return;
  }
  if (!try_only) report_fatal("can't open #include file %s", name.c_str());
}

// skipped_part = (line | nested_part)* ("#endif" | "#else" | "#elif" condition)
// nested_part = "#if..." (line | nested_part)* "#endif"
// "#else" and a true "#elif" end the skip only with allow_else.
void skip_conditional(bool allow_else) {
  const std::string start_file = reader.file_name;
  const int start_line = reader.line_number;
  int nesting = 0;
  // Only the beginning of a skipped line matters, and of an #elif line the
  // condition; the text kept is bounded like any directive line.
  std::string line;
  for (;;) {
    line.clear();
    bool cut = false;
    bool any = false;
    for (int c; (c = read_raw_byte()) != end_of_input;) {
      any = true;
      if (c == '\r') continue;
      if (line.size() < token_text_capacity)
        line += static_cast<char>(c);
      else
        cut = true;
      if (c == '\n') break;
    }
    if (!any)
      report_error_at(start_file, start_line, "unterminated #if or #ifdef");
    ++reader.line_number;

    const std::string_view text = line;
    if (text.starts_with("#if")) {
      ++nesting;
    } else if (text.starts_with("#endif")) {
      if (nesting == 0) return;
      --nesting;
    } else if (nesting == 0 && allow_else) {
      if (text.starts_with("#else")) return;
      if (text.starts_with("#elif")) {
        if (cut) report_error("token buffer overflow");
        if (evaluate_condition(text.substr(5)) != 0) return;
      }
    }
  }
}

// condition = expression, the whole text, evaluated as a constant
int evaluate_condition(std::string_view text) {
  // The reader views the text while it is parsed.
  const std::string condition(text);

  const std::string_view saved_source = reader.string_source;
  const bool saved_reading_string = reader.reading_string;
  const bool saved_end_is_eof = reader.source_end_is_eof;
  const int saved_pushed_char = reader.pushed_char;
  const int saved_listing = settings.listing;
  const bool saved_parsing_condition = preprocessor.parsing_condition;
  const LexerState saved_lexer = lexer;
  Symbol* const saved_current = symbols.current;

  reader.string_source = condition;
  reader.reading_string = true;
  reader.source_end_is_eof = true;
  reader.pushed_char = no_pushed_char;
  settings.listing = 0;
  preprocessor.parsing_condition = true;
  lexer.held_token = tok::end_of_input;
  lexer.held_symbol = nullptr;
  lexer.defined_test = LexerState::DefinedTest::none;

  next_token();
  const int value = evaluate_and_release(parse_expression());
  if (lexer.current_token != tok::end_of_input)
    report_error("bad #if expression syntax");

  reader.string_source = saved_source;
  reader.reading_string = saved_reading_string;
  reader.source_end_is_eof = saved_end_is_eof;
  reader.pushed_char = saved_pushed_char;
  settings.listing = saved_listing;
  preprocessor.parsing_condition = saved_parsing_condition;
  lexer = saved_lexer;
  symbols.current = saved_current;
  return value;
}

// line_directive = "#line" digit* white_space* ("\"" file_name "\"")?
void line_directive(std::string_view argument) {
  // Line numbers are plain ints here, as the reader counts them; a number
  // too large to go on counting from is refused.
  constexpr long largest_line = 999'999'999;
  long line = 0;
  std::size_t at = 0;
  for (; at < argument.size() && is_ascii_digit(argument[at]); ++at) {
    line = line * 10 + (argument[at] - '0');
    if (line > largest_line) report_error("bad #line syntax");
  }
  reader.line_number = static_cast<int>(line);
  while (at < argument.size() && is_white(argument[at])) ++at;
  const std::string_view file = argument.substr(at);
  if (!file.empty()) {
    if (file.size() < 2 || file.front() != '"' || file.back() != '"')
      report_error("bad #line syntax");
    reader.file_name = std::string(file.substr(1, file.size() - 2));
  }
  if (settings.listing != 0)
    console_print("#line %d \"%s\"\n", reader.line_number,
                  reader.file_name.c_str());
}

bool in_main_source() { return preprocessor.include_stack.empty(); }

void pop_include_frame() {
  if (reader.fd >= 0) ::close(reader.fd);
  restore_current_file(std::move(preprocessor.include_stack.back()));
  preprocessor.include_stack.pop_back();
}

void drain_input() {
  for (;;) {
    if (reader.fd >= 0) {
      // Only a pipe on standard input (filter mode) is read to its end, so
      // that the program writing the source into it can finish.  Reading the
      // rest of a file would only cost time after an early error, and a
      // device such as /dev/zero never ends.
      struct stat info {};
      const bool pipe_to_finish = reader.fd == STDIN_FILENO &&
                                  ::fstat(reader.fd, &info) == 0 &&
                                  S_ISFIFO(info.st_mode);
      std::vector<unsigned char> scratch(pipe_to_finish ? input_block_size : 0);
      while (pipe_to_finish) {
        ssize_t n = ::read(reader.fd, scratch.data(), scratch.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        reader.bytes_read += static_cast<std::uint64_t>(n);
      }
      // Standard input is left open: the process does not own it.
      if (reader.fd != STDIN_FILENO) ::close(reader.fd);
      reader.fd = -1;
    }
    reader.left = 0;
    if (preprocessor.include_stack.empty()) return;
    pop_include_frame();
  }
}

}  // namespace qxl
