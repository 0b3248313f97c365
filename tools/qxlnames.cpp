// qxlnames: prints the names the compiler knows before it reads a source
// (reserved words, directives, predefined macros, the editor's built-in
// types, primitives and variables), as JSON or as a Markdown reference.
//
//   qxlnames [--json | --markdown]
//
// Everything comes from the compiler's own tables, so the reference in
// docs/, the editor kits' syntax files and anything else built from this
// output cannot drift from what the compiler accepts.
//
// Exit status: 0; 1 when the output cannot be written; 2 for a wrong
// command line.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "driver/compile.h"
#include "driver/search_paths.h"
#include "tools/c_prototypes.h"
#include "tools/command_line.h"
#include "source/symbols.h"
#include "source/tokens.h"
#include "types/builtins.h"
#include "types/declarations.h"
#include "types/types.h"

namespace {

using nlohmann::ordered_json;

constexpr std::string_view usage_text =
    "usage: qxlnames [--json | --markdown]\n"
    "\n"
    "Prints the names the compiler knows before it reads a source: reserved\n"
    "words, directives, predefined macros, and the editor's built-in types,\n"
    "primitives and variables, from the compiler's own tables.\n"
    "\n"
    "--json       JSON (the default)\n"
    "--markdown   The Markdown reference of the user guide\n"
    "--help       Show this text\n"
    "--version    Show the version\n";

// What a reserved word does, for syntax colouring and the reference.
enum class WordClass { statement, type, storage, construct };

struct ClassifiedWord {
  std::string_view word;
  WordClass word_class;
};

constexpr ClassifiedWord word_classes[] = {
    {"save_var", WordClass::statement},   {"save_spot", WordClass::statement},
    {"int", WordClass::type},             {"char", WordClass::type},
    {"struct", WordClass::type},          {"union", WordClass::type},
    {"enum", WordClass::type},            {"spot", WordClass::type},
    {"short", WordClass::type},           {"user", WordClass::storage},
    {"window", WordClass::storage},       {"color_class", WordClass::construct},
    {"typedef", WordClass::storage},      {"static", WordClass::storage},
    {"command", WordClass::storage},      {"buffer", WordClass::storage},
    {"keytable", WordClass::construct},   {"goto", WordClass::statement},
    {"return", WordClass::statement},     {"sizeof", WordClass::statement},
    {"break", WordClass::statement},      {"continue", WordClass::statement},
    {"if", WordClass::statement},         {"else", WordClass::statement},
    {"for", WordClass::statement},        {"do", WordClass::statement},
    {"while", WordClass::statement},      {"switch", WordClass::statement},
    {"case", WordClass::statement},       {"default", WordClass::statement},
    {"on", WordClass::construct},         {"on_exit", WordClass::statement},
    {"volatile", WordClass::storage},     {"zeroed", WordClass::storage},
    {"color_scheme", WordClass::construct}, {"byte", WordClass::type},
};

// One row per reserved word, in the order of their token codes.
constexpr bool words_classified() {
  constexpr int count = qxl::tok::last_reserved - qxl::tok::first_reserved + 1;
  if (std::size(word_classes) != count) return false;
  for (int i = 0; i < count; ++i)
    if (word_classes[i].word != qxl::token_name(qxl::tok::first_reserved + i))
      return false;
  return true;
}
static_assert(words_classified(), "every reserved word needs its class");

const char* class_name(WordClass c) {
  switch (c) {
    case WordClass::statement: return "statement";
    case WordClass::type: return "type";
    case WordClass::storage: return "storage";
    case WordClass::construct: return "construct";
  }
  return "";
}

// --- The document --------------------------------------------------------

const char* scope_of(int number) {
  if ((number & qxl::storage_flag::buffer) != 0) return "buffer";
  if ((number & qxl::storage_flag::window) != 0) return "window";
  return "global";
}

ordered_json names_document() {
  qxl::reset_compiler_state();
  qxl::init_symbol_table();
  qxl::install_builtin_names();
  const qxl::TypeNames names = qxl::built_in_type_names();

  ordered_json doc;
  doc["version"] = qxl::version_text;

  ordered_json& words = doc["keywords"] = ordered_json::array();
  for (const ClassifiedWord& w : word_classes)
    words.push_back({{"name", w.word}, {"class", class_name(w.word_class)}});

  ordered_json& directives = doc["directives"] = ordered_json::array();
  for (const char* name : qxl::directive_names) directives.push_back(name + 1);

  ordered_json& macros = doc["predefined_macros"] = ordered_json::array();
  for (const char* name : qxl::predefined_macro_names) macros.push_back(name);

  ordered_json& types = doc["types"] = ordered_json::array();
  for (const qxl::VariableRow& row : qxl::builtin_type_name_table()) {
    const qxl::Type* type = qxl::decode_type_code(row.type_code, 0);
    types.push_back({{"name", row.name},
                     {"type", qxl::type_text(type)},
                     {"size", qxl::type_size(type, false)}});
  }

  ordered_json& primitives = doc["primitives"] = ordered_json::array();
  for (const qxl::PrimitiveRow& row : qxl::primitive_table()) {
    const qxl::CPrototype prototype = qxl::c_prototype(names, row);
    ordered_json parameters = ordered_json::array();
    for (const qxl::PrototypeParameter& p : prototype.parameters)
      parameters.push_back({{"c_type", p.c_type},
                            {"signature", p.signature},
                            {"optional", p.optional}});
    const qxl::Type* result = qxl::decode_type_code(row.result_code, 0);
    primitives.push_back(
        {{"name", row.name},
         {"number", row.number},
         {"c_signature", prototype.text},
         {"result", result != nullptr ? ordered_json(qxl::type_text(result))
                                      : ordered_json(nullptr)},
         {"result_c_type", qxl::c_declaration(names, row.result_code, 0, "")},
         {"parameters", parameters},
         {"variadic", prototype.variadic},
         {"signature", row.signature},
         {"min_words", row.min_words},
         {"max_words", row.max_words}});
  }

  ordered_json& variables = doc["variables"] = ordered_json::array();
  int index = 0;
  for (const qxl::VariableRow& row : qxl::builtin_variable_table()) {
    const qxl::Type* type = qxl::decode_type_code(row.type_code, row.array_count);
    variables.push_back(
        {{"name", row.name},
         {"number", row.number},
         {"index", index++},
         {"scope", scope_of(row.number)},
         {"c_declaration",
          qxl::c_declaration(names, row.type_code, row.array_count, row.name)},
         {"type", qxl::type_text(type)},
         {"array_count", row.array_count},
         {"placeholder", row.name.front() == '@'}});
  }
  return doc;
}

// --- Markdown ------------------------------------------------------------

std::string escape_cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|' || c == '*' || c == '_' || c == '[' || c == ']' || c == '<')
      out += '\\';
    out += c;
  }
  return out;
}

std::string code(const std::string& text) { return "`" + text + "`"; }

std::string markdown(const ordered_json& doc) {
  std::string md;
  auto line = [&md](const std::string& text = {}) { md += text + "\n"; };
  line("# Built-in names of the editor");
  line();
  line("This reference is generated by `qxlnames --markdown` from the "
       "compiler's own tables (qxl " + doc["version"].get<std::string>() +
       "); `qxlnames --json` gives the same");
  line("data for programs. Do not edit it by hand.");
  line();
  line("The signatures are written as C prototypes. `void` as a result means "
       "that the primitive");
  line("returns nothing; `void *` as a parameter takes a pointer to anything; "
       "`struct *` takes a");
  line("structure of any shape. Parameters in `[...]` are optional (each of "
       "them and every one");
  line("after it may be left out), and `...` admits any number of further "
       "arguments of any type.");
  line("\"Words\" are the 4-byte argument words a call passes with only the "
       "required arguments and");
  line("with all of them (a pointer takes three). \"Type\" is the type as the "
       "compiler's messages");
  line("name it.");
  line();

  line("## Reserved words");
  line();
  line("| Word | Class |");
  line("|---|---|");
  for (const auto& w : doc["keywords"])
    line("| " + code(w["name"]) + " | " + w["class"].get<std::string>() + " |");
  line();
  std::string list;
  for (const auto& d : doc["directives"])
    list += (list.empty() ? "" : ", ") + code("#" + d.get<std::string>());
  line("Directives: " + list + ".");
  line();
  list.clear();
  for (const auto& m : doc["predefined_macros"])
    list += (list.empty() ? "" : ", ") + code(m);
  line("Predefined macros, each with the body `(1)`: " + list + ".");
  line();

  line("## Built-in types (" + std::to_string(doc["types"].size()) + ")");
  line();
  line("| Name | Size | Type |");
  line("|---|---:|---|");
  for (const auto& t : doc["types"])
    line("| " + code(t["name"]) + " | " + std::to_string(t["size"].get<long>()) +
         " | " + escape_cell(t["type"]) + " |");
  line();

  line("## Primitives (" + std::to_string(doc["primitives"].size()) + ")");
  line();
  line("| Number | Signature | Result type | Words |");
  line("|---:|---|---|---|");
  for (const auto& p : doc["primitives"]) {
    const int min = p["min_words"], max = p["max_words"];
    std::string words = max < 0 ? "any" : min == max ? std::to_string(max)
                                                     : std::to_string(min) +
                                                           " to " +
                                                           std::to_string(max);
    line("| " + std::to_string(p["number"].get<int>()) + " | " +
         code(p["c_signature"]) + " | " +
         (p["result"].is_null() ? "none" : escape_cell(p["result"])) + " | " +
         words + " |");
  }
  line();

  line("## Built-in variables (" + std::to_string(doc["variables"].size()) +
       ")");
  line();
  line("The number is the variable's position in the table, plus 1024 for a "
       "variable with a value");
  line("in every buffer and 2048 for one with a value in every window. The "
       "rows named `@rsvd`");
  line("only keep the numbering; no program can name them.");
  line();
  line("| Number | Declaration | Type | Value per |");
  line("|---:|---|---|---|");
  for (const auto& v : doc["variables"]) {
    const std::string scope = v["scope"];
    line("| " + std::to_string(v["number"].get<int>()) + " | " +
         code(v["c_declaration"]) + " | " + escape_cell(v["type"]) + " | " +
         (scope == "global" ? "editor" : scope) + " |");
  }
  return md;
}

int write_out(std::string_view text) {
  return qxl::write_standard_output("qxlnames", text);
}

}  // namespace

int main(int argc, char** argv) {
  bool as_markdown = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      as_markdown = false;
    } else if (arg == "--markdown") {
      as_markdown = true;
    } else if (arg == "--help") {
      return write_out(usage_text);
    } else if (arg == "--version") {
      return write_out(std::string("qxlnames ") + qxl::version_text + "\n");
    } else {
      return qxl::usage_error(
          "qxlnames", "unknown option '" + std::string(arg) + "'", usage_text,
          2);
    }
  }
  const ordered_json doc = names_document();
  return write_out(as_markdown ? markdown(doc) : doc.dump(1) + "\n");
}
