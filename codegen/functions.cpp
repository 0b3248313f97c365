#include "codegen/functions.h"

#include <algorithm>
#include <array>
#include <vector>

#include "bytecode/writer.h"
#include "codegen/code_buffer.h"
#include "codegen/statements.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "source/lexer.h"
#include "source/preprocessor.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/initializers.h"
#include "types/nodes.h"
#include "types/types.h"

namespace qxl {

namespace {

// One "#" per top-level declaration under -v, after the file's name when
// it changed.
void show_progress() {
  if (settings.verbose == 0) return;
  if (reader.file_name != diagnostics.progress_file) {
    console_print("\n%s: ", reader.file_name.c_str());
    diagnostics.progress_file = reader.file_name;
  }
  console_write("#");
  ++diagnostics.pending_progress;
  console_flush();
}

void bind_key(int table, std::int32_t key) { add_binding(table, key); }

bool is_function_type(const Type* t) {
  return t != nullptr && t->kind == TypeKind::function;
}

// global_initializer = ("=" initializer)?, the "=" required for an open array
// The variable record of a global, written once its declarator and any
// initializer are read.
void write_global(Declaration* d, int flags) {
  Type* type = d->type;
  const bool buffer = d->storage == Storage::buffer;
  const bool window = d->storage == Storage::window;
  const bool open_array = type->kind == TypeKind::pointer && type->count == -1;
  const bool initialized =
      lexer.current_token == tok::assign && lexer.assign_op == 0;
  ByteBuffer image;
  if (initialized || open_array) {
    expect_token(tok::assign);
    // The initializer completes the size of an open array; a type shared
    // through a typedef is copied first so that it stays open.
    if (open_array) d->type = type = make_type(TypeKind::pointer, type->sub, -1);
    initialize(image, type, true);
  }
  const std::int64_t size = rounded_size(type);
  if (size > 0xFFFFFFFFLL) report_fatal("compiler limit exceeded");
  // A buffer or window variable always carries `size` bytes of data, zeros
  // when it has no initializer (its image is completed to that length).
  if (buffer || window) image.resize(static_cast<std::size_t>(size), 0);

  ByteBuffer record;
  put_u8(record, buffer                        ? record::buffer_variable
                 : window                      ? record::window_variable
                 : initialized || open_array   ? record::initialized_variable
                                               : record::variable);
  put_u8(record, static_cast<unsigned>(storage_class_of(type) | flags));
  put_name(record, d->symbol->name);
  const std::string signature = type_signature(type, 0, false);
  record.insert(record.end(), signature.begin(), signature.end());
  put_u8(record, 0);
  put_u32(record, static_cast<std::uint32_t>(size));
  record.insert(record.end(), image.begin(), image.end());
  write_variable_record(record, in_main_source());
}

// A declarator that is not the function of a definition or prototype: a
// function name, a type name or a global variable.
void declare_plain(Type* full, bool has_type, int flags) {
  if (!has_type && flags == 0 && declarations.storage_keyword == 0)
    report_error("unrecognized declaration");
  Declarator& d = declarations.current;
  d.chain = full;
  if (is_function_type(full)) {
    d.chain = full->sub;
    declare_function();
  } else if (declarations.storage_keyword == tok::kw_typedef) {
    declare(DeclKind::global);
  } else {
    write_global(declare(DeclKind::global), flags);
  }
}

// function = function_declarator ("(" parameter_list ")" | key_bindings)
//     (parameter_declaration* block | ";")
// A function declarator at the start of a declaration: a definition or a
// prototype.  Returns false when it only declares the name ("int f();"),
// so that the declaration goes on like one of variables.
bool compile_function(Type* full, bool parameter_list) {
  Symbol* name = declarations.current.name;
  open_function(name->name, declarations.storage_keyword == tok::kw_command);
  Type* result = parameter_list ? full : full->sub;
  if (parameter_list) {
    next_token();
    if (parse_parameter_list() > 0 &&
        declarations.storage_keyword == tok::kw_command)
      report_error("commands take no arguments");
    expect_token(tok::rparen);
  } else {
    parse_key_bindings(bind_key);
  }
  const TokenCode storage = declarations.storage_keyword;
  if (storage == tok::kw_window || storage == tok::kw_buffer ||
      storage == tok::kw_typedef)
    report_error("bad storage class for function");
  if (result != nullptr &&
      (result->kind == TypeKind::function ||
       (result->kind == TypeKind::pointer && result->count != 0)))
    report_error("function return value too complex");
  declarations.current = Declarator{name, result, nullptr};
  Declaration* declaration = declare_function();

  if (!parameter_list && (lexer.current_token == tok::semicolon ||
                          lexer.current_token == tok::comma ||
                          lexer.current_token == tok::assign))
    return false;
  if (lexer.current_token == tok::lbrace || is_type_start()) {
    const int argument_words = parse_parameter_declarations();
    check_prototype(declaration, param_signature(parameter_types()));
    emit_debug_record(true);
    compile_function_body(result);
    close_function(argument_words);
    close_scope(0, false);
    return true;
  }
  if (lexer.current_token != tok::semicolon)
    report_error("expected function definition");
  check_prototype(declaration, param_signature(parameter_types()));
  next_token();
  close_scope(0, true);
  return true;
}

// declarators = function
//     | declarator global_initializer ("," declarator global_initializer)* ";"
// where a first "()" declarator may carry key_bindings.
// One declaration after its storage classes and type.
void compile_declarators(Type* base, bool has_type, int flags) {
  for (bool first = true;; first = false) {
    declarations.current = Declarator{};
    parse_declarator(2);
    const Declarator& d = declarations.current;
    const bool parameter_list = lexer.current_token == tok::lparen;
    Type* full = attach_base(d.chain, d.innermost, base);
    if (first && (parameter_list || is_function_type(full))) {
      if (compile_function(full, parameter_list)) return;
    } else {
      declare_plain(full, has_type, flags);
    }
    if (lexer.current_token != tok::comma) break;
    next_token();
  }
  expect_token(tok::semicolon);
}

}  // namespace

// unit = (keytable_declaration | color_declaration
//     | storage_class* type_specifier? (";" | declarators))*
void compile_unit() {
  while (lexer.current_token != tok::end_of_input) {
    show_progress();
    if (parse_keytable_declaration() || parse_color_declaration()) continue;
    declarations.storage_keyword = 0;
    const int flags = parse_storage_classes(true);
    const bool has_type = is_type_start();
    Type* base = has_type ? parse_type_specifier() : type_int;
    if (lexer.current_token == tok::semicolon) {
      next_token();
      continue;
    }
    compile_declarators(base, has_type, flags);
  }
}

void check_prototype(Declaration* function, const std::string& signature) {
  if (!function->has_signature) {
    function->has_signature = true;
    function->signature = signature;
    return;
  }
  const std::string& recorded = function->signature;
  if (recorded.empty() || signature.empty() || recorded == signature) return;
  const auto count = [](std::string_view s) {
    return static_cast<int>(std::count(s.begin(), s.end(), ';'));
  };
  const int recorded_count = count(recorded);
  const int new_count = count(signature);
  const char* name = function->symbol->name.c_str();
  if (recorded_count != new_count)
    report_error("%s previously declared with %d parameters, not %d", name,
                 recorded_count, new_count);
  std::size_t at = 0;
  while (at < signature.size() && at < recorded.size() &&
         signature[at] == recorded[at])
    ++at;
  const int parameter =
      new_count - count(std::string_view(signature).substr(at)) + 1;
  report_error("parameter %d doesn't match prior declaration of %s", parameter,
               name);
}

std::string describe_type_code(std::string_view code) {
  std::string words;
  std::size_t i = 0;
  for (;;) {
    if (i < code.size() && code[i] == '*') {
      words += "ptr to ";
      ++i;
    } else if (i < code.size() && code[i] == '[') {
      words += "array of ";
      ++i;
      while (i < code.size() && code[i] >= '0' && code[i] <= '9')
        words += code[i++];
      words += ' ';
    } else {
      break;
    }
  }
  const char base = i < code.size() ? code[i] : '\0';
  switch (base) {
    case '(': return words + "function ";
    case '.': return words + "spot ";
    case 'B': return words + "byte ";
    case 'C': return words + "char ";
    case 'I': return words + "int ";
    case 'O': return words + "color_class ";
    case 'S': return words + "struct ";
    case 'T': return words + "short ";
    case 'U': return words + "union ";
    default: return words + "error";
  }
}

namespace {

// The type code string of an argument, as parameters are written.
std::string argument_code(const Node* argument) {
  return type_signature(argument->type, 0, true);
}

// The code letter of a type of one letter: promoted to int where an
// argument is, written as it is where a pointer points to it; 0 for any
// other type.
char scalar_code(const Type* t, bool promote) {
  if (t == nullptr) return 0;
  switch (t->kind) {
    case TypeKind::int_: return 'I';
    case TypeKind::char_: return promote ? 'I' : 'C';
    case TypeKind::short_: return promote ? 'I' : 'T';
    case TypeKind::byte: return 'B';
    case TypeKind::spot: return '.';
    default: return 0;
  }
}

// The type code of an argument, as argument_code gives it, laid out in
// `shortcut` for a scalar or a pointer to one, the most common arguments,
// else built in `built`.
std::string_view argument_code_of(const Node* argument,
                                  std::array<char, 2>& shortcut,
                                  std::string& built) {
  const Type* t = argument->type;
  if (const char c = scalar_code(t, true)) {
    shortcut[0] = c;
    return {shortcut.data(), 1};
  }
  if (t != nullptr && t->kind == TypeKind::pointer) {
    if (const char c = scalar_code(t->sub, false)) {
      shortcut = {'*', c};
      return {shortcut.data(), 2};
    }
  }
  built = argument_code(argument);
  return built;
}

// Equal codes, a short and a byte counting as the same.
bool same_code(std::string_view parameter, std::string_view argument) {
  if (parameter.size() != argument.size()) return false;
  for (std::size_t i = 0; i < parameter.size(); ++i) {
    const char p = parameter[i];
    const char a = argument[i];
    if (p == a) continue;
    if ((p == 'T' ? 'B' : p) != (a == 'T' ? 'B' : a)) return false;
  }
  return true;
}

}  // namespace

void check_arguments(std::string_view function_name,
                     const Declaration* callee,
                     std::span<Node* const> arguments) {
  if (callee == nullptr || !callee->has_signature) return;
  const std::string_view name = function_name;
  std::string_view rest = callee->signature;
  bool optional_reached = false;

  int number = 0;
  // Built once for the call: the code of an argument that is neither a
  // scalar nor a pointer to one.
  std::string built;
  for (const Node* argument : arguments) {
    ++number;
    if (!rest.empty() && rest.front() == '>') return;
    // The parameter's code runs to the next ';', most often one or two
    // characters on.
    std::size_t end = 0;
    while (end < rest.size() && rest[end] != ';') ++end;
    if (end == rest.size())
      report_error("too many parameters in call to %s", std::string(name).c_str());
    std::string_view parameter = rest.substr(0, end);
    rest.remove_prefix(end + 1);
    if (!parameter.empty() && parameter.front() == '?') {
      optional_reached = true;
      parameter.remove_prefix(1);
    }
    if (argument == null_pointer_node()) continue;
    std::array<char, 2> shortcut{};
    const std::string_view code = argument_code_of(argument, shortcut, built);
    if (same_code(parameter, code)) continue;
    if (parameter == "*V" && !code.empty() && code.front() == '*') continue;
    if (parameter == "*S-" &&
        (code.rfind("*S", 0) == 0 || code.rfind("*U", 0) == 0))
      continue;
    report_error("parameter %d of %s doesn't match declaration: %svs %s",
                 number, std::string(name).c_str(), describe_type_code(code).c_str(),
                 describe_type_code(parameter).c_str());
  }
  if (!rest.empty() && rest.front() != '?' && rest.front() != '>' &&
      !optional_reached)
    report_error("too few parameters in call to %s", std::string(name).c_str());
}

}  // namespace qxl
