// Key tables, key bindings, color classes and color schemes.
#include <algorithm>
#include <string>

#include "bytecode/format.h"
#include "bytecode/writer.h"
#include "codegen/constant_eval.h"
#include "driver/diagnostics.h"
#include "driver/session.h"
#include "source/constants.h"
#include "source/lexer.h"
#include "source/preprocessor.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/expressions.h"
#include "types/types.h"

namespace qxl {

namespace {

constexpr std::uint32_t refers_to_class = 0x2000000;
constexpr std::uint32_t no_background = 0x1000000;

bool is_class_name_token() {
  return lexer.current_token == tok::identifier ||
         lexer.current_token == tok::kw_default;
}

// Marks the current token's name as a color class and returns its number,
// appending it (and writing its record) the first time.
int color_class_number(Symbol* name) {
  if (name->tag != nullptr && name->tag != color_class_marker)
    report_error("color class already used for structure tag");
  name->tag = color_class_marker;
  auto& classes = declarations.color_classes;
  if (auto found = declarations.color_class_numbers.find(name);
      found != declarations.color_class_numbers.end()) {
    if (compile_session != nullptr)
      session_note_color_class(name, found->second, false);
    return found->second;
  }
  declarations.color_class_numbers.emplace(name,
                                           static_cast<int>(classes.size()));
  classes.push_back(name);
  if (compile_session != nullptr)
    session_note_color_class(name, static_cast<int>(classes.size() - 1), true);
  ByteBuffer record{record::color_class};
  put_name(record, name->name);
  write_color_record(record, in_main_source());
  return static_cast<int>(classes.size() - 1);
}

// class_name = ident | "default"
// Reads a class name ("bad color class name" otherwise) and returns its
// number.
int read_class_name() {
  if (!is_class_name_token()) report_error("bad color class name");
  const int number = color_class_number(symbols.current);
  next_token();
  return number;
}

// scheme_name = string+
// Reads a scheme name, writes its record and returns its number.
int read_scheme_name() {
  if (lexer.current_token != tok::string_const)
    report_error("bad color scheme name");
  if (compile_session != nullptr)
    session_note_color_scheme(symbols.current->name, declarations.last_scheme + 1);
  emit_scheme_name();
  return ++declarations.last_scheme;
}

// What an assignment's two words say, for the language server.
ColorValue decoded_color(std::uint32_t foreground, std::uint32_t background) {
  ColorValue value;
  if ((foreground & refers_to_class) != 0) {
    value.same_as = static_cast<int>(foreground & ~refers_to_class);
    return value;
  }
  value.foreground = foreground;
  value.has_background = background != no_background;
  value.background = background;
  return value;
}

std::uint32_t constant_value() {
  return static_cast<std::uint32_t>(
      evaluate_and_release(parse_assignment_expression()));
}

// color_value = "="? ("color_class" class_name
//     | assignment_expression ("on" assignment_expression)?)
// A color value for the class in the scheme; writes the assignment record.
void read_color_value(int class_number, int scheme) {
  if (lexer.current_token == tok::assign && lexer.assign_op == 0) next_token();
  std::uint32_t foreground;
  std::uint32_t background;
  if (lexer.current_token == tok::kw_color_class) {
    next_token();
    if (!is_class_name_token()) report_error("bad color class name");
    Symbol* name = symbols.current;
    if (declarations.color_class_numbers.count(name) == 0)
      report_error("undefined color class");
    foreground = refers_to_class +
                 static_cast<std::uint32_t>(color_class_number(name));
    background = 0;
    next_token();
  } else {
    foreground = constant_value();
    background = no_background;
    if (lexer.current_token == tok::kw_on) {
      next_token();
      background = constant_value();
    }
  }
  if (compile_session != nullptr)
    session_note_color_value(class_number, scheme,
                             decoded_color(foreground, background));
  ByteBuffer record{record::color_assignment};
  put_u16(record, static_cast<unsigned>(class_number));
  put_u16(record, static_cast<unsigned>(scheme) & 0xFFFF);
  put_u32(record, foreground);
  put_u32(record, background);
  write_color_record(record, in_main_source());
}

// class_item = class_name ("color_scheme" scheme_name color_value
//     | "{" ("color_scheme" scheme_name color_value ";")* "}" | color_value)?
// CLASS-ITEM of a color_class declaration.
void read_class_item() {
  const int number = read_class_name();
  switch (lexer.current_token) {
    case tok::kw_color_scheme: {
      next_token();
      const int scheme = read_scheme_name();
      read_color_value(number, scheme);
      return;
    }
    case tok::lbrace:
      next_token();
      while (lexer.current_token != tok::rbrace) {
        expect_token(tok::kw_color_scheme);
        const int scheme = read_scheme_name();
        read_color_value(number, scheme);
        expect_token(tok::semicolon);
      }
      next_token();
      return;
    case tok::comma:
    case tok::semicolon:
      return;
    default:
      read_color_value(number, -1);
  }
}

// scheme_item = scheme_name ("color_class" class_name color_value
//     | "{" ("color_class" class_name color_value ";")* "}")?
// SCHEME-ITEM of a color_scheme declaration.
void read_scheme_item() {
  const int scheme = read_scheme_name();
  if (lexer.current_token == tok::lbrace) {
    next_token();
    while (lexer.current_token != tok::rbrace) {
      expect_token(tok::kw_color_class);
      read_color_value(read_class_name(), scheme);
      expect_token(tok::semicolon);
    }
    next_token();
  } else if (lexer.current_token == tok::kw_color_class) {
    next_token();
    read_color_value(read_class_name(), scheme);
  }
}

}  // namespace

// keytable_declaration = "keytable" ident ("," ident)* ";"
bool parse_keytable_declaration() {
  if (lexer.current_token != tok::kw_keytable) return false;
  do {
    next_token();
    if (lexer.current_token != tok::identifier)
      report_error("bad key table name");
    declarations.storage_keyword = 0;
    declarations.current = Declarator{symbols.current, type_keytable, nullptr};
    Declaration* d = declare(DeclKind::global);
    d->key_table = declarations.next_key_table++;
    ByteBuffer record{record::key_table};
    put_name(record, symbols.current->name);
    write_plain_record(record);
    next_token();
  } while (lexer.current_token == tok::comma);
  expect_token(tok::semicolon);
  return true;
}

// key_bindings = ("on" key_binding ("," key_binding)*)?
// key_binding = ident "[" expression "]", a key table and a constant key
void parse_key_bindings(void (*bind)(int table, std::int32_t key)) {
  if (lexer.current_token != tok::kw_on) return;
  do {
    next_token();
    const Declaration* d = lexer.current_token == tok::identifier
                               ? symbols.current->declaration
                               : nullptr;
    if (d == nullptr || d->kind != DeclKind::global || d->key_table == 0)
      report_error("bad key table name");
    if (compile_session != nullptr) session_note_use(symbols.current);
    next_token();
    expect_token(tok::lbracket);
    const std::int32_t key = evaluate_and_release(parse_expression());
    expect_token(tok::rbracket);
    bind(d->key_table % 512, key);
  } while (lexer.current_token == tok::comma);
}

// color_declaration = "color_class" class_item ("," class_item)* ";"
//     | "color_scheme" scheme_item ("," scheme_item)* ";"
bool parse_color_declaration() {
  if (lexer.current_token == tok::kw_color_class) {
    do {
      next_token();
      read_class_item();
    } while (lexer.current_token == tok::comma);
    expect_token(tok::semicolon);
    return true;
  }
  if (lexer.current_token == tok::kw_color_scheme) {
    do {
      next_token();
      read_scheme_item();
    } while (lexer.current_token == tok::comma);
    expect_token(tok::semicolon);
    return true;
  }
  return false;
}

}  // namespace qxl
