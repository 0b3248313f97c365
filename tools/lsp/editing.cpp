#include "tools/lsp/editing.h"

#include <algorithm>
#include <set>
#include <tuple>

#include "driver/compile.h"
#include "driver/search_paths.h"
#include "source/symbols.h"
#include "source/tokens.h"
#include "types/builtins.h"
#include "types/declarations.h"
#include "types/types.h"

namespace qxl::lsp {

PrimitiveTexts primitive_texts;

namespace {

// Protocol symbol kinds.

constexpr std::string_view variadic_label = "...";

void make_primitive_texts() {
  reset_compiler_state();
  init_symbol_table();
  install_builtin_names();
  const TypeNames names = built_in_type_names();
  for (const PrimitiveRow& row : primitive_table()) {
    primitive_texts.prototypes.push_back(c_prototype(names, row));
    const Type* result = decode_type_code(row.result_code, 0);
    primitive_texts.results.push_back(result != nullptr ? type_text(result) : "void");
  }
}

std::size_t row_index(const PrimitiveRow& row) {
  if (primitive_texts.prototypes.empty()) make_primitive_texts();
  const std::span<const PrimitiveRow> table = primitive_table();
  const auto index = static_cast<std::size_t>(&row - table.data());
  return std::min(index, table.size() - 1);
}

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

bool is_identifier(std::string_view text) {
  if (text.empty() || (text[0] >= '0' && text[0] <= '9')) return false;
  return std::all_of(text.begin(), text.end(), is_word_char);
}

bool is_reserved_word(std::string_view word) {
  for (int code = tok::first_reserved; code <= tok::last_reserved; ++code)
    if (const char* name = token_name(code); name != nullptr && word == name)
      return true;
  return false;
}

const PrimitiveRow* primitive_row(std::string_view name) {
  for (const PrimitiveRow& row : primitive_table())
    if (row.name == name) return &row;
  return nullptr;
}

bool in_table(std::span<const VariableRow> table, std::string_view name) {
  return std::any_of(table.begin(), table.end(),
                     [name](const VariableRow& row) { return row.name == name; });
}

// What a name the compiler knows before reading a source is, or null.
const char* built_in_kind(std::string_view word) {
  if (is_reserved_word(word)) return "a reserved word";
  if (primitive_row(word) != nullptr) return "a primitive of the editor";
  if (in_table(builtin_variable_table(), word)) return "a built-in variable";
  if (in_table(builtin_type_name_table(), word)) return "a built-in type name";
  for (const char* macro : predefined_macro_names)
    if (word == macro) return "a predefined macro";
  return nullptr;
}

// The end of the comment, string or character constant starting at `at`
// (just past it, at most text.size()), or `at` when none starts there.
std::size_t skip_literal(std::string_view text, std::size_t at) {
  const char c = text[at];
  const char next = at + 1 < text.size() ? text[at + 1] : '\0';
  if (c == '/' && next == '*') {
    const std::size_t end = text.find("*/", at + 2);
    return end == std::string_view::npos ? text.size() : end + 2;
  }
  if (c == '/' && next == '/') {
    const std::size_t end = text.find('\n', at);
    return end == std::string_view::npos ? text.size() : end;
  }
  if (c != '"' && c != '\'') return at;
  // A constant ends at its closing quote, or unterminated at the line's end.
  std::size_t i = at + 1;
  while (i < text.size() && text[i] != c && text[i] != '\n')
    i += text[i] == '\\' ? 2 : 1;
  return std::min(i + 1, text.size());
}

char opener_of(char closer) {
  switch (closer) {
    case ')': return '(';
    case ']': return '[';
    case '}': return '{';
    default: return '\0';
  }
}

// The identifier that ends just before `end`, white space between them
// passed over; an empty range when there is none.
std::pair<std::size_t, std::size_t> name_before(std::string_view text,
                                                std::size_t end) {
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' ||
                     text[end - 1] == '\n' || text[end - 1] == '\r'))
    --end;
  std::size_t start = end;
  while (start > 0 && is_word_char(text[start - 1])) --start;
  if (!is_identifier(text.substr(start, end - start))) return {end, end};
  return {start, end};
}

}  // namespace

const CPrototype& primitive_prototype(const PrimitiveRow& row) {
  return primitive_texts.prototypes[row_index(row)];
}

const std::string& primitive_result_text(const PrimitiveRow& row) {
  return primitive_texts.results[row_index(row)];
}

std::string primitive_reference(const PrimitiveRow& row) {
  std::string words;
  if (row.max_words < 0)
    words = "any number of";
  else if (row.min_words == row.max_words)
    words = std::to_string(row.max_words);
  else
    words = std::to_string(row.min_words) + " to " + std::to_string(row.max_words);
  return "primitive " + std::to_string(row.number) + ", " + words +
         " argument words, signature `" + std::string(row.signature) + "`";
}

std::optional<OpenCall> open_call_at(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  struct Open {
    char bracket;
    std::size_t at;
    int commas;
  };
  std::vector<Open> open;
  std::size_t i = 0;
  while (i < offset) {
    const std::size_t past = skip_literal(text, i);
    if (past != i) {
      i = past;
      continue;
    }
    const char c = text[i];
    if (c == '(' || c == '[' || c == '{') {
      open.push_back({c, i, 0});
    } else if (const char opener = opener_of(c); opener != '\0') {
      // A closer without its opener closes what is open up to the one it
      // matches, if any, so that a half-typed line does not stick.
      const auto match = std::find_if(open.rbegin(), open.rend(),
                                      [opener](const Open& o) { return o.bracket == opener; });
      open.erase(match == open.rend() ? open.begin() : std::prev(match.base()), open.end());
    } else if (c == ',' && !open.empty()) {
      ++open.back().commas;
    }
    ++i;
  }
  for (auto o = open.rbegin(); o != open.rend(); ++o) {
    if (o->bracket == '{') break;
    if (o->bracket != '(') continue;
    const auto [start, end] = name_before(text, o->at);
    if (start == end || is_reserved_word(text.substr(start, end - start))) continue;
    return OpenCall{start, end, o->commas};
  }
  return std::nullopt;
}

std::string new_name_refusal(std::string_view new_name) {
  if (!is_identifier(new_name)) return "'" + to_wire(new_name) + "' is not an identifier";
  if (const char* kind = built_in_kind(new_name))
    return "'" + std::string(new_name) + "' is " + kind;
  return {};
}

namespace {

std::string file_base_name(const std::string& path) {
  return path.substr(file_name_part(path, true));
}

// --- Signature help ----------------------------------------------------

Json parameter_json(std::size_t start, std::size_t end, std::string_view note) {
  Json parameter{{"label", {start, end}}};
  if (!note.empty()) parameter["documentation"] = std::string(note);
  return parameter;
}

Json signature_answer(Json signature, int active) {
  signature["activeParameter"] = active;
  return {{"signatures", Json::array({std::move(signature)})},
          {"activeSignature", 0},
          {"activeParameter", active}};
}

Json primitive_signature(const PrimitiveRow& row, int argument) {
  const CPrototype& prototype = primitive_prototype(row);
  Json parameters = Json::array();
  for (const PrototypeParameter& p : prototype.parameters)
    parameters.push_back(parameter_json(p.start, p.end, p.optional ? "optional" : ""));
  if (prototype.variadic) {
    parameters.push_back(parameter_json(prototype.variadic_start, prototype.variadic_end,
                                        "any number of further arguments"));
    // Every argument past the fixed ones is one of the "...".
    argument = std::min(argument, static_cast<int>(parameters.size()) - 1);
  }
  return signature_answer({{"label", to_wire(prototype.text)},
                           {"documentation", primitive_reference(row)},
                           {"parameters", std::move(parameters)}},
                          argument);
}

// A parameter list as written, comments left out and white space runs
// made one space, split at the commas outside brackets.
struct WrittenParameters {
  std::vector<std::string> parameters;
  bool typed = false;  // some parameter has a type as well as a name
};

// The parameter list after a declared name ending at `name_end`, or
// nothing when no complete list follows it.
std::optional<WrittenParameters> parameters_after(std::string_view text,
                                                  std::size_t name_end) {
  std::size_t i = name_end;
  while (i < text.size()) {
    const std::size_t past = skip_literal(text, i);
    if (past != i && text[i] == '/') {
      i = past;
    } else if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r') {
      ++i;
    } else {
      break;
    }
  }
  if (i >= text.size() || text[i] != '(') return std::nullopt;
  WrittenParameters written;
  std::string current;
  int depth = 0;
  auto finish = [&written, &current] {
    while (!current.empty() && current.back() == ' ') current.pop_back();
    written.typed = written.typed || current.find(' ') != std::string::npos;
    written.parameters.push_back(std::move(current));
    current.clear();
  };
  for (++i; i < text.size(); ++i) {
    const std::size_t past = skip_literal(text, i);
    if (past != i) {
      if (text[i] != '/') current.append(text.substr(i, past - i));
      else if (!current.empty() && current.back() != ' ') current += ' ';
      i = past - 1;
      continue;
    }
    const char c = text[i];
    if (c == ')' && depth == 0) {
      finish();
      if (written.parameters.size() == 1 &&
          (written.parameters[0].empty() || written.parameters[0] == "void"))
        written.parameters.clear();
      return written;
    }
    if (c == ',' && depth == 0) {
      finish();
      continue;
    }
    if (c == '(' || c == '[') ++depth;
    if ((c == ')' || c == ']') && depth > 0) --depth;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (!current.empty() && current.back() != ' ') current += ' ';
      continue;
    }
    if (c == '{' || c == '}' || c == ';') return std::nullopt;
    current += c;
  }
  return std::nullopt;
}

Json function_signature(const Analysis& analysis, std::size_t index, int argument) {
  const NameRecord& name = analysis.session.names[index];
  // The fullest of its declarations as written: a prototype with types
  // says more than an old-style definition's list of names.
  std::optional<WrittenParameters> best;
  const Occurrence* best_site = nullptr;
  for (const Occurrence& o : analysis.occurrences) {
    if (o.name != index || !o.site) continue;
    std::optional<WrittenParameters> written =
        parameters_after(analysis.files[o.file].text, o.end);
    if (!written) continue;
    if (best && std::pair(written->typed, written->parameters.size()) <=
                    std::pair(best->typed, best->parameters.size()))
      continue;
    best = std::move(written);
    best_site = &o;
  }
  if (!best) return nullptr;
  std::string label = (name.type.empty() ? "void" : name.type) + " " + name.name + "(";
  Json parameters = Json::array();
  for (std::size_t i = 0; i < best->parameters.size(); ++i) {
    if (i != 0) label += ", ";
    const std::size_t start = label.size();
    label += best->parameters[i];
    parameters.push_back(parameter_json(start, label.size(), ""));
  }
  label += ")";
  if (!best->parameters.empty() && best->parameters.back() == variadic_label)
    argument = std::min(argument, static_cast<int>(best->parameters.size()) - 1);
  const Document& file = analysis.files[best_site->file];
  const std::string where = file_base_name(file.path) + " line " +
                            std::to_string(file.position_of(best_site->start).line + 1);
  return signature_answer({{"label", to_wire(label)},
                           {"documentation", std::string(name.command ? "command" : "function") +
                                                 ", declared at " + to_wire(where)},
                           {"parameters", std::move(parameters)}},
                          argument);
}

}  // namespace

Json signature_help(const Analysis& analysis, const Document& document, Position at) {
  const std::optional<OpenCall> call = open_call_at(document.text, document.offset_of(at));
  if (!call) return nullptr;
  const std::string_view called =
      std::string_view(document.text).substr(call->name_start, call->name_end - call->name_start);
  const std::vector<NameRecord>& names = analysis.session.names;
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i].name == called && is_function_kind(names[i]))
      return function_signature(analysis, i, call->argument);
  if (const PrimitiveRow* row = primitive_row(called))
    return primitive_signature(*row, call->argument);
  return nullptr;
}

// --- Renaming ----------------------------------------------------------

namespace {

// Why the places of a name in this analysis cannot all be changed, or "".
// Every declaration and use must have been found in the text, and be in a
// file the editor can change; otherwise the renamed program would still
// name the old one somewhere.
std::string places_refusal(const Analysis& analysis, std::size_t index,
                           const std::map<std::string, Document>& open) {
  const NameRecord& name = analysis.session.names[index];
  std::size_t expected = name.sites.size();
  for (const NameUse& use : analysis.session.uses) expected += use.name == index;
  std::size_t found = 0;
  for (const Occurrence& o : analysis.occurrences) {
    if (o.name != index) continue;
    ++found;
    const Document& file = analysis.files[o.file];
    if (open.count(file.uri) == 0)
      return "'" + name.name + "' occurs in " + to_wire(file_base_name(file.path)) +
             ", which is not open in the editor";
  }
  if (found < expected)
    return "not every place of '" + name.name + "' could be found in the text";
  return {};
}

// Why `new_name` would change the meaning of the program: a name already
// declared where it would meet the renamed one (any global, or a local
// of the same function).
std::string clash(const Analysis& analysis, std::size_t index, std::string_view new_name) {
  const NameRecord& renamed = analysis.session.names[index];
  for (const NameRecord& other : analysis.session.names) {
    if (other.name != new_name || &other == &renamed || other.sites.empty()) continue;
    const bool apart = is_frame_kind(other) && is_frame_kind(renamed) && !renamed.sites.empty() &&
                       (other.sites.front().file != renamed.sites.front().file ||
                        other.scope_end.line < renamed.sites.front().line ||
                        renamed.scope_end.line < other.sites.front().line);
    if (apart) continue;
    const int file = other.sites.front().file;
    const std::string where =
        file >= 0 && static_cast<std::size_t>(file) < analysis.session.files.size()
            ? file_base_name(analysis.session.files[file])
            : std::string("?");
    return "a name '" + std::string(new_name) + "' is already declared at " + to_wire(where) +
           " line " + std::to_string(other.sites.front().line);
  }
  return {};
}

const Occurrence* first_site(const Analysis& analysis, std::size_t index) {
  for (const Occurrence& o : analysis.occurrences)
    if (o.name == index && o.site) return &o;
  return nullptr;
}

}  // namespace

RenameTarget rename_target(const Analysis& analysis, const Document& document,
                           Position at, const std::map<std::string, Document>& open) {
  RenameTarget target;
  target.at = occurrence_at(analysis, document, at);
  if (target.at == nullptr) {
    const std::string& text = document.text;
    std::size_t start = document.offset_of(at);
    std::size_t end = start;
    while (start > 0 && is_word_char(text[start - 1])) --start;
    while (end < text.size() && is_word_char(text[end])) ++end;
    const std::string word = text.substr(start, end - start);
    if (word.empty()) {
      target.refusal = "there is no name here";
    } else if (const char* kind = built_in_kind(word)) {
      target.refusal = "'" + to_wire(word) + "' is " + kind + " and cannot be renamed";
    } else {
      target.refusal = "'" + to_wire(word) + "' is not a name the program declares";
    }
    return target;
  }
  target.name = target.at->name;
  target.refusal = places_refusal(analysis, target.name, open);
  return target;
}

std::vector<NameInAnalysis> same_name_elsewhere(
    const Analysis& analysis, std::size_t index,
    const std::map<std::string, Analysis>& analyses) {
  std::vector<NameInAnalysis> found;
  const Occurrence* site = first_site(analysis, index);
  if (site == nullptr) return found;
  const std::string& path = analysis.files[site->file].path;
  const std::string& name = analysis.session.names[index].name;
  for (const auto& [uri, other] : analyses) {
    if (&other == &analysis) continue;
    for (std::size_t i = 0; i < other.session.names.size(); ++i) {
      if (other.session.names[i].name != name) continue;
      const Occurrence* there = first_site(other, i);
      if (there != nullptr && there->start == site->start &&
          other.files[there->file].path == path)
        found.push_back({&other, i});
    }
  }
  return found;
}

Json rename_edit(const std::vector<NameInAnalysis>& places,
                 const std::map<std::string, Document>& open,
                 std::string_view new_name, std::string& refusal) {
  refusal = new_name_refusal(new_name);
  if (!refusal.empty()) return nullptr;
  Json changes = Json::object();
  std::set<std::pair<std::string, std::size_t>> done;
  for (const auto& [analysis, index] : places) {
    refusal = places_refusal(*analysis, index, open);
    if (refusal.empty()) refusal = clash(*analysis, index, new_name);
    if (!refusal.empty()) return nullptr;
    for (const Occurrence& o : analysis->occurrences) {
      const Document& file = analysis->files[o.file];
      if (o.name != index || !done.emplace(file.uri, o.start).second) continue;
      changes[file.uri].push_back(
          {{"range", occurrence_range(*analysis, o)}, {"newText", std::string(new_name)}});
    }
  }
  return {{"changes", std::move(changes)}};
}

// --- Workspace symbols -------------------------------------------------

bool matches_query(std::string_view name, std::string_view query) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  std::size_t next = 0;
  for (char c : name)
    if (next < query.size() && lower(c) == lower(query[next])) ++next;
  return next == query.size();
}

Json workspace_symbols(const std::map<std::string, Analysis>& analyses,
                       std::string_view query) {
  Json list = Json::array();
  std::set<std::tuple<std::string, std::size_t, std::string>> listed;
  for (const auto& [uri, analysis] : analyses) {
    const std::vector<NameRecord>& names = analysis.session.names;
    // One place per name and file, as the document's outline has it: the
    // first, but for a function its last (the definition), which the
    // locals and parameters after it belong to.
    std::map<std::pair<std::size_t, int>, const Occurrence*> chosen;
    for (const Occurrence& o : analysis.occurrences) {
      if (!o.site) continue;
      const auto [entry, added] = chosen.emplace(std::pair(o.name, o.file), &o);
      if (!added && is_function_kind(names[o.name])) entry->second = &o;
    }
    std::set<const Occurrence*> listed_sites;
    for (const auto& [key, o] : chosen) listed_sites.insert(o);
    // In the order of the text, every declaration of a name outside a
    // function ends the function before it: the parameters of a prototype
    // after a definition are not that function's.
    std::vector<const Occurrence*> sites;
    for (const Occurrence& o : analysis.occurrences)
      if (o.site) sites.push_back(&o);
    std::sort(sites.begin(), sites.end(), [](const Occurrence* a, const Occurrence* b) {
      return std::tie(a->file, a->start) < std::tie(b->file, b->start);
    });
    std::string function;
    int function_file = -1;
    for (const Occurrence* o : sites) {
      const NameRecord& name = names[o->name];
      const Document& file = analysis.files[o->file];
      const bool shown = listed_sites.count(o) != 0;
      if (!is_frame_kind(name)) {
        function = shown && is_function_kind(name) ? name.name : std::string();
        function_file = o->file;
      }
      if (!shown) continue;
      if (is_frame_kind(name) && (function.empty() || function_file != o->file)) continue;
      if (!matches_query(name.name, query)) continue;
      if (!listed.emplace(file.uri, o->start, name.name).second) continue;
      list.push_back(
          {{"name", name.name},
           {"kind", is_function_kind(name)  ? symbol_kind::function
                    : name.type_name   ? symbol_kind::structure
                                       : symbol_kind::variable},
           {"location", {{"uri", file.uri}, {"range", occurrence_range(analysis, *o)}}},
           {"containerName", is_frame_kind(name) ? function : to_wire(file_base_name(file.path))}});
    }
  }
  return list;
}

// --- Requests ----------------------------------------------------------

namespace {

enum class EditingRequest { signature_help, prepare_rename, rename, workspace_symbols };

const std::map<std::string, EditingRequest, std::less<>> editing_requests = {
    {"textDocument/signatureHelp", EditingRequest::signature_help},
    {"textDocument/prepareRename", EditingRequest::prepare_rename},
    {"textDocument/rename", EditingRequest::rename},
    {"workspace/symbol", EditingRequest::workspace_symbols},
};

Json answer(Server& server, const Json& params, EditingRequest request) {
  if (request == EditingRequest::workspace_symbols) {
    const Json& query = member(params, "query");
    if (!query.is_string()) throw BadParams{"query is not a string"};
    if (!server.stale.empty()) run_analyses(server);
    return workspace_symbols(server.analyses, from_wire(query.get<std::string>()));
  }
  const std::string uri = string_member(member(params, "textDocument"), "uri");
  const Position at = position_param(params);
  const auto document = server.documents.find(uri);
  if (document == server.documents.end()) throw BadParams{"document not open: " + uri};
  // A rename reads the analyses of the other documents too.
  if (!server.stale.empty() || server.analyses.count(uri) == 0) run_analyses(server);
  const Analysis& analysis = server.analyses.at(uri);
  if (request == EditingRequest::signature_help)
    return signature_help(analysis, document->second, at);
  const RenameTarget target = rename_target(analysis, document->second, at, server.documents);
  if (request == EditingRequest::prepare_rename) {
    if (!target.refusal.empty()) return nullptr;
    return {{"range", occurrence_range(analysis, *target.at)},
            {"placeholder", analysis.session.names[target.name].name}};
  }
  if (!target.refusal.empty()) throw BadParams{target.refusal};
  // The other open documents that read the same declaration (a header's
  // name used by every program including it) change with it.
  std::vector<NameInAnalysis> places{{&analysis, target.name}};
  for (const NameInAnalysis& other : same_name_elsewhere(analysis, target.name, server.analyses))
    places.push_back(other);
  std::string refusal;
  Json edit = rename_edit(places, server.documents,
                          from_wire(string_member(params, "newName")), refusal);
  if (!refusal.empty()) throw BadParams{refusal};
  return edit;
}

}  // namespace

bool answer_editing_request(Server& server, const Incoming& message) {
  const auto request = editing_requests.find(message.method);
  if (request == editing_requests.end()) return false;
  try {
    server.outgoing.push_back(
        make_response(message.id, answer(server, message.params, request->second)));
  } catch (const BadParams& bad) {
    server.outgoing.push_back(make_error(message.id, error_code::invalid_params, bad.message));
  }
  return true;
}

}  // namespace qxl::lsp
