#include "tools/lsp/analysis.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "driver/search_paths.h"
#include "source/tokens.h"
#include "types/builtins.h"
#include "types/declarations.h"
#include "types/types.h"
#include "tools/lsp/editing.h"

namespace qxl::lsp {

namespace {

// How many lines before the recorded one a name is looked for: a name is
// recorded at the line of the token after it, which may be further down.
constexpr int lines_looked_back = 3;

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The byte range of a 1-based line, newline excluded.
std::pair<std::size_t, std::size_t> line_bounds(const Document& d, int line) {
  if (line < 1 || static_cast<std::size_t>(line) > d.line_starts.size())
    return {d.text.size(), d.text.size()};
  const std::size_t index = static_cast<std::size_t>(line - 1);
  const std::size_t start = d.line_starts[index];
  const std::size_t end = index + 1 < d.line_starts.size()
                              ? d.line_starts[index + 1] - 1
                              : d.text.size();
  return {start, std::max(start, end)};
}

// Finds the first whole-word occurrence of `name` on the line, or near
// above it, that no other place has taken yet.
bool find_place(const Document& d, int line, const std::string& name,
                std::set<std::size_t>& taken, std::size_t& at) {
  for (int back = 0; back <= lines_looked_back && line - back >= 1; ++back) {
    const auto [start, end] = line_bounds(d, line - back);
    std::size_t from = start;
    while (from < end) {
      const std::size_t hit = d.text.find(name, from);
      if (hit == std::string::npos || hit + name.size() > end) break;
      from = hit + 1;
      if (hit > 0 && is_word_char(d.text[hit - 1])) continue;
      if (hit + name.size() < d.text.size() &&
          is_word_char(d.text[hit + name.size()]))
        continue;
      if (!taken.insert(hit).second) continue;
      at = hit;
      return true;
    }
  }
  return false;
}

}  // namespace

void locate_names(Analysis& analysis, const std::map<std::string, Document>& open) {
  const CompileSession& session = analysis.session;
  analysis.files.clear();
  analysis.occurrences.clear();
  for (const std::string& name : session.files) {
    Document file;
    file.path = normal_path(name);
    file.uri = path_to_uri(file.path);
    const auto held = session.texts.find(file.path);
    if (held != session.texts.end()) {
      file.set_text(held->second);
    } else {
      file.set_text(read_whole_file(file.path));
    }
    for (const auto& [uri, document] : open)
      if (normal_path(document.path) == file.path) file.uri = uri;
    analysis.files.push_back(std::move(file));
  }
  std::vector<std::set<std::size_t>> taken(analysis.files.size());
  auto place = [&](std::size_t name, const SourcePlace& where, bool site) {
    if (where.file < 0 || static_cast<std::size_t>(where.file) >= analysis.files.size())
      return;
    const std::string& text = session.names[name].name;
    std::size_t at = 0;
    if (!find_place(analysis.files[where.file], where.line, text,
                    taken[where.file], at))
      return;
    analysis.occurrences.push_back({name, where.file, at, at + text.size(), site});
  };
  for (std::size_t i = 0; i < session.names.size(); ++i)
    for (const SourcePlace& site : session.names[i].sites) place(i, site, true);
  for (const NameUse& use : session.uses) place(use.name, use.place, false);
}

Analysis analyze(const Document& main, const std::map<std::string, Document>& open,
                 const std::vector<std::string>& options) {
  Analysis analysis;
  analysis.path = normal_path(main.path);
  analysis.version = main.version;
  for (const auto& [uri, document] : open)
    analysis.session.texts[normal_path(document.path)] = document.text;
  analysis.session.texts[analysis.path] = main.text;
  run_session(analysis.session, options, analysis.path);
  locate_names(analysis, open);
  return analysis;
}

namespace {

Json position_json(Position p) { return {{"line", p.line}, {"character", p.character}}; }

Json range_json(Position start, Position end) {
  return {{"start", position_json(start)}, {"end", position_json(end)}};
}

int severity_of(MessageKind kind) {
  switch (kind) {
    case MessageKind::error: return severity::error;
    case MessageKind::warning: return severity::warning;
    case MessageKind::note: return severity::information;
  }
  return severity::information;
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view white = " \t\r\n\f\v";
  const std::size_t first = text.find_first_not_of(white);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(white) - first + 1);
}

// The range of a 1-based line of the document: the token's text on it
// when the token is there, else the whole line.
Json line_range(const Document& document, int line, std::string_view token) {
  const std::size_t count = document.line_starts.size();
  const std::size_t index =
      std::min(static_cast<std::size_t>(std::max(line, 1) - 1),
               count == 0 ? 0 : count - 1);
  const std::size_t start = count == 0 ? 0 : document.line_starts[index];
  std::size_t end = index + 1 < count ? document.line_starts[index + 1] - 1
                                      : document.text.size();
  if (end > start && document.text[end - 1] == '\r') --end;
  const std::string_view text =
      std::string_view(document.text).substr(start, end - start);
  token = trimmed(token);
  if (!token.empty()) {
    const std::size_t at = text.find(token);
    if (at != std::string_view::npos)
      return range_json(document.position_of(start + at),
                        document.position_of(start + at + token.size()));
  }
  return range_json(document.position_of(start), document.position_of(end));
}

}  // namespace

Json diagnostics_params(const Analysis& analysis, const Document& document) {
  Json list = Json::array();
  bool error_shown = false;
  for (const MessageRecord& record : analysis.session.messages) {
    Json item;
    item["severity"] = severity_of(record.kind);
    item["source"] = "qxl";
    item["message"] = to_wire(record.text);
    error_shown = error_shown || record.kind == MessageKind::error;
    if (normal_path(record.file) == analysis.path) {
      item["range"] = line_range(document, record.line, record.token);
    } else {
      // A message about an included file: at the #include line, with the
      // place in the header as related information.
      item["range"] = line_range(document, record.main_line, {});
      const Position at{std::max(record.line, 1) - 1, 0};
      item["relatedInformation"] = Json::array(
          {{{"location",
             {{"uri", path_to_uri(normal_path(record.file))},
              {"range", range_json(at, at)}}},
            {"message", to_wire(record.text)}}});
    }
    list.push_back(std::move(item));
  }
  // A compile that failed without a located message (a bad option word, a
  // source that cannot be read) shows what it printed on the first line.
  if (analysis.session.status != 0 && !error_shown) {
    std::string text;
    std::string_view rest = analysis.session.console;
    while (!rest.empty()) {
      const std::size_t end = std::min(rest.find('\n'), rest.size());
      const std::string_view line = rest.substr(0, end);
      rest.remove_prefix(std::min(end + 1, rest.size()));
      if (line.rfind("qxl ", 0) == 0 || trimmed(line).empty()) continue;
      if (!text.empty()) text += '\n';
      text += line;
    }
    if (text.empty()) text = "compile failed";
    list.push_back({{"severity", severity::error},
                    {"source", "qxl"},
                    {"message", to_wire(text)},
                    {"range", line_range(document, 1, {})}});
  }
  Json params{{"uri", document.uri}, {"diagnostics", std::move(list)}};
  params["version"] = analysis.version;
  return params;
}

}  // namespace qxl::lsp

namespace qxl::lsp {

namespace {

// Completion and symbol kinds of the protocol.
namespace item_kind {
inline constexpr int function = 3;
inline constexpr int variable = 6;
inline constexpr int keyword = 14;
inline constexpr int structure = 22;
}  // namespace item_kind
namespace symbol_kind {
inline constexpr int function = 12;
inline constexpr int variable = 13;
inline constexpr int structure = 23;
}  // namespace symbol_kind

int file_of(const Analysis& analysis, const Document& document) {
  const std::string path = normal_path(document.path);
  for (std::size_t i = 0; i < analysis.files.size(); ++i)
    if (analysis.files[i].path == path) return static_cast<int>(i);
  return -1;
}

const Occurrence* occurrence_at(const Analysis& analysis,
                                const Document& document, Position at) {
  const int file = file_of(analysis, document);
  if (file < 0) return nullptr;
  const std::size_t offset = analysis.files[file].offset_of(at);
  for (const Occurrence& o : analysis.occurrences)
    if (o.file == file && o.start <= offset && offset <= o.end) return &o;
  return nullptr;
}

Json occurrence_range(const Analysis& analysis, const Occurrence& o) {
  const Document& file = analysis.files[o.file];
  return range_json(file.position_of(o.start), file.position_of(o.end));
}

Json occurrence_location(const Analysis& analysis, const Occurrence& o) {
  return {{"uri", analysis.files[o.file].uri},
          {"range", occurrence_range(analysis, o)}};
}

std::string_view word_at(const Document& document, Position at) {
  const std::string& text = document.text;
  std::size_t start = document.offset_of(at);
  std::size_t end = start;
  while (start > 0 && is_word_char(text[start - 1])) --start;
  while (end < text.size() && is_word_char(text[end])) ++end;
  return std::string_view(text).substr(start, end - start);
}

const char* kind_text(const NameRecord& name) {
  if (name.type_name) return "type name";
  switch (static_cast<DeclKind>(name.kind)) {
    case DeclKind::function: return name.command ? "command" : "function";
    case DeclKind::global:
      return name.storage == static_cast<int>(Storage::buffer)   ? "buffer variable"
             : name.storage == static_cast<int>(Storage::window) ? "window variable"
                                                                 : "global variable";
    case DeclKind::local: return "local variable";
    case DeclKind::parameter_named:
    case DeclKind::parameter_typed: return "parameter";
    default: return "name";
  }
}

bool is_frame_kind(const NameRecord& name) {
  const auto kind = static_cast<DeclKind>(name.kind);
  return kind == DeclKind::local || kind == DeclKind::parameter_named ||
         kind == DeclKind::parameter_typed;
}

bool is_function_kind(const NameRecord& name) {
  return static_cast<DeclKind>(name.kind) == DeclKind::function;
}

std::string type_or_nothing(const std::string& type) {
  return type.empty() ? "void" : type;
}

std::string name_detail(const NameRecord& name) {
  if (is_function_kind(name)) return type_or_nothing(name.type) + " " + name.name + "()";
  return name.type + " " + name.name;
}

// The result type of a primitive, as the compiler prints types.
std::string primitive_result(const PrimitiveRow& row) { return primitive_result_text(row); }

// Its C-like prototype, optional parameters in brackets, "..." for more.
std::string primitive_detail(const PrimitiveRow& row) { return primitive_prototype(row).text; }

std::string variable_type(const VariableRow& row) {
  return type_text(decode_type_code(row.type_code, row.array_count));
}

const PrimitiveRow* primitive_named(std::string_view name) {
  for (const PrimitiveRow& row : primitive_table())
    if (row.name == name) return &row;
  return nullptr;
}

const VariableRow* variable_named(std::string_view name) {
  for (const VariableRow& row : builtin_variable_table())
    if (row.name == name) return &row;
  return nullptr;
}

Json markdown(const std::string& text) {
  return {{"contents", {{"kind", "markdown"}, {"value", to_wire(text)}}}};
}

std::string site_text(const Analysis& analysis, const SourcePlace& site) {
  const std::string& file = analysis.session.files[site.file];
  return file.substr(file_name_part(file, true)) + " line " + std::to_string(site.line);
}

}  // namespace

Json hover(const Analysis& analysis, const Document& document, Position at) {
  if (const Occurrence* o = occurrence_at(analysis, document, at)) {
    const NameRecord& name = analysis.session.names[o->name];
    std::string text = "```qxl\n" + name_detail(name) + "\n```\n" +
                       kind_text(name);
    if (is_frame_kind(name))
      text += ", frame offset " + std::to_string(name.frame_offset);
    if (!name.sites.empty())
      text += ", declared at " + site_text(analysis, name.sites.front());
    if (name.sites.size() > 1)
      text += ", defined at " + site_text(analysis, name.sites.back());
    Json result = markdown(text);
    result["range"] = occurrence_range(analysis, *o);
    return result;
  }
  const std::string_view word = word_at(document, at);
  if (word.empty()) return nullptr;
  if (const PrimitiveRow* row = primitive_named(word)) {
    std::string text = "```qxl\n" + primitive_detail(*row) + "\n```\nprimitive " +
                       std::to_string(row->number) + ", returns " +
                       primitive_result(*row);
    const CPrototype& prototype = primitive_prototype(*row);
    if (std::any_of(prototype.parameters.begin(), prototype.parameters.end(),
                    [](const PrototypeParameter& p) { return p.optional; }))
      text += ", has optional arguments";
    if (prototype.variadic) text += ", takes further arguments";
    return markdown(text);
  }
  if (const VariableRow* row = variable_named(word)) {
    const Storage storage = storage_of_number(row->number);
    std::string text = "```qxl\n" + variable_type(*row) + " " + std::string(row->name) +
                       "\n```\nbuilt-in variable " +
                       std::to_string(row->number & (storage_flag::buffer - 1));
    if (storage == Storage::buffer) text += ", buffer-specific";
    if (storage == Storage::window) text += ", window-specific";
    return markdown(text);
  }
  return nullptr;
}

Json definition(const Analysis& analysis, const Document& document,
                Position at, bool first) {
  const Occurrence* o = occurrence_at(analysis, document, at);
  if (o == nullptr) return nullptr;
  const Occurrence* chosen = nullptr;
  for (const Occurrence& other : analysis.occurrences) {
    if (other.name != o->name || !other.site) continue;
    if (chosen == nullptr || !first) chosen = &other;
    if (first) break;
  }
  if (chosen == nullptr) return nullptr;
  return occurrence_location(analysis, *chosen);
}

Json references(const Analysis& analysis, const Document& document,
                Position at, bool include_declaration) {
  const Occurrence* o = occurrence_at(analysis, document, at);
  Json list = Json::array();
  if (o == nullptr) return list;
  for (const Occurrence& other : analysis.occurrences)
    if (other.name == o->name && (include_declaration || !other.site))
      list.push_back(occurrence_location(analysis, other));
  return list;
}

Json highlights(const Analysis& analysis, const Document& document, Position at) {
  const Occurrence* o = occurrence_at(analysis, document, at);
  Json list = Json::array();
  if (o == nullptr) return list;
  constexpr int read_kind = 2;
  constexpr int write_kind = 3;
  for (const Occurrence& other : analysis.occurrences)
    if (other.name == o->name && other.file == o->file)
      list.push_back({{"range", occurrence_range(analysis, other)},
                      {"kind", other.site ? write_kind : read_kind}});
  return list;
}

Json document_symbols(const Analysis& analysis, const Document& document) {
  const int file = file_of(analysis, document);
  Json list = Json::array();
  if (file < 0) return list;
  // One site of each name in this file, in the order of the text: the
  // first, but for a function the last (its definition), which the locals
  // and parameters after it belong to.
  std::vector<const Occurrence*> sites;
  std::map<std::size_t, std::size_t> seen;
  for (const Occurrence& o : analysis.occurrences) {
    if (!o.site || o.file != file) continue;
    const auto [entry, added] = seen.emplace(o.name, sites.size());
    if (added)
      sites.push_back(&o);
    else if (is_function_kind(analysis.session.names[o.name]))
      sites[entry->second] = &o;
  }
  std::sort(sites.begin(), sites.end(),
            [](const Occurrence* a, const Occurrence* b) { return a->start < b->start; });
  Json* function = nullptr;
  std::set<std::string> children;
  for (const Occurrence* o : sites) {
    const NameRecord& name = analysis.session.names[o->name];
    const Json range = occurrence_range(analysis, *o);
    Json symbol{{"name", name.name},
                {"detail", std::string(kind_text(name)) + " " + name_detail(name)},
                {"range", range},
                {"selectionRange", range}};
    if (is_frame_kind(name)) {
      if (function == nullptr || !children.insert(name.name).second) continue;
      symbol["kind"] = symbol_kind::variable;
      (*function)["children"].push_back(std::move(symbol));
      // The function's range reaches its last local.
      (*function)["range"]["end"] = range["end"];
      continue;
    }
    symbol["kind"] = is_function_kind(name) ? symbol_kind::function
                     : name.type_name       ? symbol_kind::structure
                                            : symbol_kind::variable;
    if (is_function_kind(name)) symbol["children"] = Json::array();
    list.push_back(std::move(symbol));
    if (is_function_kind(name)) {
      function = &list.back();
      children.clear();
    } else {
      function = nullptr;
    }
  }
  return list;
}

Json completion(const Analysis& analysis, const Document& document, Position at) {
  Json items = Json::array();
  for (int code = tok::first_reserved; code <= tok::last_reserved; ++code)
    if (const char* word = token_name(code))
      items.push_back({{"label", word}, {"kind", item_kind::keyword}});
  for (const VariableRow& row : builtin_type_name_table())
    items.push_back({{"label", std::string(row.name)}, {"kind", item_kind::structure},
                     {"detail", "built-in type"}});
  for (const PrimitiveRow& row : primitive_table())
    items.push_back({{"label", std::string(row.name)}, {"kind", item_kind::function},
                     {"detail", to_wire(primitive_detail(row))},
                     {"documentation", {{"kind", "markdown"},
                                        {"value", primitive_reference(row)}}}});
  for (const VariableRow& row : builtin_variable_table())
    items.push_back({{"label", std::string(row.name)}, {"kind", item_kind::variable},
                     {"detail", to_wire(variable_type(row) + " " + std::string(row.name))}});
  const int file = file_of(analysis, document);
  const int line = at.line + 1;
  std::set<std::string> offered;
  for (const NameRecord& name : analysis.session.names) {
    if (name.sites.empty()) continue;
    if (is_frame_kind(name)) {
      // A local or parameter only where it is in scope.
      const SourcePlace& from = name.sites.front();
      if (file < 0 || from.file != file || name.scope_end.file != file ||
          line < from.line || line > name.scope_end.line)
        continue;
    }
    if (!offered.insert(name.name).second) continue;
    items.push_back({{"label", name.name},
                     {"kind", is_function_kind(name)   ? item_kind::function
                              : name.type_name          ? item_kind::structure
                                                        : item_kind::variable},
                     {"detail", to_wire(std::string(kind_text(name)) + " " +
                                        name_detail(name))}});
  }
  return items;
}

}  // namespace qxl::lsp
