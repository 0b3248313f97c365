#include "driver/diagnostics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "driver/compile.h"
#include "driver/options.h"
#include "driver/session.h"
#include "source/lexer.h"
#include "source/reader.h"
#include "source/tokens.h"

namespace qxl {

DiagnosticsState diagnostics;

void DiagnosticsState::reset() {
  std::string* kept_capture = capture;
  *this = DiagnosticsState{};
  capture = kept_capture;
}

namespace {

// Format into a buffer of the given size, cutting what does not fit.
std::string format_cut(std::size_t buffer_size, const char* format,
                       std::va_list args) {
  std::string text(buffer_size, '\0');
  int n = std::vsnprintf(text.data(), buffer_size, format, args);
  if (n < 0) n = 0;
  text.resize(std::min(static_cast<std::size_t>(n), buffer_size - 1));
  return text;
}

std::string cut(std::string_view text, std::size_t buffer_size) {
  return std::string(text.substr(0, std::min(text.size(), buffer_size - 1)));
}

// "file line: " for the current position.
void write_location(std::string_view file_name, int line) {
  std::string prefix = cut(file_name, console_buffer_size - 16);
  prefix += ' ';
  prefix += std::to_string(line);
  prefix += ": ";
  console_write(prefix);
  if (compile_session != nullptr) session_begin_message(file_name, line);
}

// One complete message line "file line: text\n".
void write_message_line(std::string_view file_name, int line,
                        std::string_view text) {
  end_pending_progress();
  write_location(file_name, line);
  console_write(text);
  console_write("\n");
}

}  // namespace

void console_write(std::string_view text) {
  if (diagnostics.capture != nullptr) {
    diagnostics.capture->append(text);
    return;
  }
  std::FILE* stream = settings.stdout_mode != 0 ? stderr : stdout;
  std::fwrite(text.data(), 1, text.size(), stream);
}

void console_print(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = format_cut(console_buffer_size, format, args);
  va_end(args);
  console_write(text);
}

void console_flush() {
  if (diagnostics.capture != nullptr) return;
  std::fflush(settings.stdout_mode != 0 ? stderr : stdout);
}

void end_pending_progress() {
  if (settings.verbose != 0 && diagnostics.pending_progress != 0)
    console_write("\n");
}

void print_location() {
  end_pending_progress();
  write_location(reader.file_name, reader.line_number);
}

void report_warning(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = format_cut(warning_buffer_size, format, args);
  va_end(args);
  end_pending_progress();
  write_location(reader.file_name, reader.line_number);
  console_write("warning: ");
  console_write(text);
  console_write("\n");
  if (compile_session != nullptr) session_mark_warning();
  diagnostics.pending_progress = 0;
}

void report_at(std::string_view file_name, int line, std::string_view text) {
  write_message_line(file_name, line, cut(text, console_buffer_size));
  diagnostics.pending_progress = 0;
}

void report_error(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = format_cut(error_buffer_size, format, args);
  va_end(args);
  write_message_line(reader.file_name, reader.line_number, text);
  if (compile_session != nullptr) session_mark_error();
  diagnostics.pending_progress = 0;
  ++diagnostics.error_count;
  finish_compile();
}

namespace {
[[noreturn]] void fatal_text(std::string_view text) {
  ++diagnostics.error_count;
  write_message_line(reader.file_name, reader.line_number,
                     cut(text, fatal_buffer_size));
  if (compile_session != nullptr) session_mark_error();
  diagnostics.pending_progress = 0;
  finish_compile();
}
}  // namespace

void report_fatal(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = format_cut(fatal_buffer_size, format, args);
  va_end(args);
  fatal_text(text);
}

void report_error_at(std::string_view file_name, int line,
                     std::string_view text) {
  reader.file_name = std::string(file_name);
  reader.line_number = line;
  fatal_text(text);
}

void report_expected(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::string text = format_cut(expected_buffer_size, format, args);
  va_end(args);

  const int code = lexer.current_token;
  const char* name = token_name(code);
  if (code == tok::end_of_input)
    report_fatal("%s, not end of file", text.c_str());
  if (code >= tok::first_reserved && code <= tok::last_reserved &&
      name != nullptr)
    report_error("%s, not reserved word \"%s\"", text.c_str(), name);
  if (code >= tok::identifier && code < tok::table_size && name != nullptr)
    report_error("%s, not %s", text.c_str(), name);
  report_error("%s", text.c_str());
}

std::vector<unsigned char> allocate(std::size_t byte_count) {
  try {
    return std::vector<unsigned char>(byte_count);
  } catch (const std::bad_alloc&) {
    report_fatal("out of memory");
  } catch (const std::length_error&) {
    report_fatal("out of memory");
  }
}

}  // namespace qxl
