#include "tools/lsp/analysis.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "driver/search_paths.h"
#include "source/tokens.h"
#include "tools/lsp/bytecode_view.h"
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

// The words of a file (runs of letters, digits and underscores), line by
// line as the compiler counts lines (newlines only), so that a recorded
// place is looked up among the few words of its line.
struct WordIndex {
  struct Word {
    std::size_t start = 0;
    std::size_t length = 0;
    bool quoted = false;  // inside a string constant
  };
  std::vector<Word> words;
  // line_first[n] is the index of the first word of 1-based line n + 1;
  // one more entry ends the last line.
  std::vector<std::size_t> line_first;
  std::vector<bool> taken;  // by a place already found, per word
};

// Skips the comment or the string or character constant that starts at
// `at`, counting the newlines it holds into `index`; returns where it ends
// (a constant left open ends at its line).  The words of a string are
// indexed as quoted ones: color scheme names are written as strings.
std::size_t skip_text(std::string_view text, std::size_t at, WordIndex& index) {
  const auto newline = [&] { index.line_first.push_back(index.words.size()); };
  if (text[at] == '/' && at + 1 < text.size() && text[at + 1] == '*') {
    std::size_t i = at + 2;
    for (; i < text.size() && !(text[i] == '*' && i + 1 < text.size() && text[i + 1] == '/'); ++i)
      if (text[i] == '\n') newline();
    return std::min(i + 2, text.size());
  }
  if (text[at] == '/' && at + 1 < text.size() && text[at + 1] == '/')
    return std::min(text.find('\n', at), text.size());
  const char quote = text[at];
  std::size_t i = at + 1;
  while (i < text.size() && text[i] != quote && text[i] != '\n') {
    if (quote == '"' && is_word_char(text[i])) {
      const std::size_t start = i;
      while (i < text.size() && is_word_char(text[i])) ++i;
      index.words.push_back({start, i - start, true});
      continue;
    }
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] != '\n') ++i;
    ++i;
  }
  return i < text.size() && text[i] == quote ? i + 1 : i;
}

// The words of a file that can be names: those outside comments and
// constants, and the words of strings, marked.
WordIndex index_words(std::string_view text) {
  WordIndex index;
  index.line_first.push_back(0);
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (is_word_char(c)) {
      const std::size_t start = i;
      while (i < text.size() && is_word_char(text[i])) ++i;
      index.words.push_back({start, i - start});
      continue;
    }
    if (c == '"' || c == '\'' ||
        (c == '/' && i + 1 < text.size() && (text[i + 1] == '*' || text[i + 1] == '/'))) {
      i = skip_text(text, i, index);
      continue;
    }
    if (c == '\n') index.line_first.push_back(index.words.size());
    ++i;
  }
  index.line_first.push_back(index.words.size());
  index.taken.assign(index.words.size(), false);
  return index;
}

// Whether the word at `at` follows a member operator ("." or "->"),
// blanks between them allowed.
bool after_member_operator(const std::string& text, std::size_t at) {
  while (at > 0 && (text[at - 1] == ' ' || text[at - 1] == '\t')) --at;
  if (at > 0 && text[at - 1] == '.') return true;
  return at > 1 && text[at - 1] == '>' && text[at - 2] == '-';
}

// Finds the first occurrence of the word `name` on the line, or near above
// it, that no other place has taken yet, and takes it.  A member's use is
// the word after a member operator; any other name's place is a word not
// after one.
bool find_place(const std::string& text, WordIndex& index, int line,
                const std::string& name, bool member_use, bool quoted,
                std::size_t& at) {
  if (name.empty()) return false;
  const int lines = static_cast<int>(index.line_first.size()) - 1;
  for (int back = 0; back <= lines_looked_back && line - back >= 1; ++back) {
    const int n = line - back;
    if (n > lines) continue;
    for (std::size_t w = index.line_first[n - 1]; w < index.line_first[n]; ++w) {
      const WordIndex::Word& word = index.words[w];
      if (index.taken[w] || word.quoted != quoted || word.length != name.size() ||
          text.compare(word.start, word.length, name) != 0)
        continue;
      if (after_member_operator(text, word.start) != member_use) continue;
      index.taken[w] = true;
      at = word.start;
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
  analysis.located = true;
  std::vector<WordIndex> words;
  words.reserve(analysis.files.size());
  for (const Document& file : analysis.files) words.push_back(index_words(file.text));
  auto place = [&](std::size_t name, const SourcePlace& where, bool site) {
    if (where.file < 0 || static_cast<std::size_t>(where.file) >= analysis.files.size())
      return;
    const std::string& text = session.names[name].name;
    const bool member_use =
        !site && session.names[name].name_class == NameClass::member;
    std::size_t at = 0;
    if (!find_place(analysis.files[where.file].text, words[where.file],
                    where.line, text, member_use,
                    session.names[name].name_class == NameClass::color_scheme, at))
      return;
    analysis.occurrences.push_back({name, where.file, at, at + text.size(), site});
  };
  for (std::size_t i = 0; i < session.names.size(); ++i)
    for (const SourcePlace& site : session.names[i].sites) place(i, site, true);
  for (const NameUse& use : session.uses) place(use.name, use.place, false);
}

Analysis compile_document(const Document& main,
                          const std::map<std::string, Document>& open,
                          const std::vector<std::string>& options) {
  Analysis analysis;
  analysis.path = normal_path(main.path);
  analysis.version = main.version;
  for (const auto& [uri, document] : open)
    analysis.session.texts[normal_path(document.path)] = document.text;
  analysis.session.texts[analysis.path] = main.text;
  run_session(analysis.session, options, analysis.path);
  return analysis;
}

Analysis analyze(const Document& main, const std::map<std::string, Document>& open,
                 const std::vector<std::string>& options) {
  Analysis analysis = compile_document(main, open, options);
  locate_names(analysis, open);
  return analysis;
}

Json position_json(Position p) { return {{"line", p.line}, {"character", p.character}}; }

Json range_json(Position start, Position end) {
  return {{"start", position_json(start)}, {"end", position_json(end)}};
}

namespace {

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

// Where a message names the name it is about: the text before the name
// (the name runs to the next blank), or the text after it.
struct NamedIn {
  std::string_view before;
  std::string_view after;
};
constexpr NamedIn message_names[] = {
    {"undeclared variable ", {}}, {"variable ", {}}, {"parameter ", {}},
    {"identifier ", {}},          {"possible use of ", {}},
    {"call to ", {}},             {"macro ", {}},
    {"label ", {}},               {"declaration of ", {}},
    {{}, " is not a member of"},  {{}, " is not a parameter"},
    {{}, " is not allowed inside"},
};

// The name a message is about, or nothing.
std::string_view named_in(std::string_view text) {
  for (const NamedIn& form : message_names) {
    if (!form.before.empty()) {
      const std::size_t at = text.find(form.before);
      if (at == std::string_view::npos) continue;
      std::string_view rest = text.substr(at + form.before.size());
      return rest.substr(0, rest.find_first_of(" ,:"));
    }
    const std::size_t at = text.find(form.after);
    if (at == std::string_view::npos || at == 0) continue;
    const std::size_t start = text.find_last_of(' ', at - 1);
    return text.substr(start == std::string_view::npos ? 0 : start + 1,
                       at - (start == std::string_view::npos ? 0 : start + 1));
  }
  return {};
}

// Where `word` stands as a whole word in `line`, or npos.
std::size_t find_word(std::string_view line, std::string_view word) {
  if (word.empty()) return std::string_view::npos;
  const bool wordlike = is_word_char(word.front()) && is_word_char(word.back());
  for (std::size_t at = line.find(word); at != std::string_view::npos;
       at = line.find(word, at + 1)) {
    if (!wordlike) return at;
    if ((at == 0 || !is_word_char(line[at - 1])) &&
        (at + word.size() == line.size() || !is_word_char(line[at + word.size()])))
      return at;
  }
  return std::string_view::npos;
}

// The range of a 1-based line of the document: the name the message is
// about when it stands there, else the token that was being read when it
// does, else the whole line.
Json line_range(const Document& document, int line, std::string_view token,
                std::string_view message = {}) {
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
  for (const std::string_view word : {named_in(message), trimmed(token)}) {
    const std::size_t at = find_word(text, word);
    if (at != std::string_view::npos)
      return range_json(document.position_of(start + at),
                        document.position_of(start + at + word.size()));
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
      item["range"] = line_range(document, record.line, record.token, record.text);
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

bool is_frame_kind(const NameRecord& name) {
  const auto kind = static_cast<DeclKind>(name.kind);
  return kind == DeclKind::local || kind == DeclKind::parameter_named ||
         kind == DeclKind::parameter_typed;
}

bool is_function_kind(const NameRecord& name) {
  return static_cast<DeclKind>(name.kind) == DeclKind::function;
}

namespace {

// Completion kinds of the protocol.
namespace item_kind {
inline constexpr int function = 3;
inline constexpr int field = 5;
inline constexpr int variable = 6;
inline constexpr int module = 9;
inline constexpr int keyword = 14;
inline constexpr int enum_member = 20;
inline constexpr int constant = 21;
inline constexpr int structure = 22;
}  // namespace item_kind

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

bool is_key_table(const NameRecord& name) {
  return name.name_class == NameClass::declared &&
         static_cast<DeclKind>(name.kind) == DeclKind::global && name.key_table != 0;
}

const char* kind_text(const NameRecord& name) {
  switch (name.name_class) {
    case NameClass::declared: break;
    case NameClass::macro: return "macro";
    case NameClass::structure: return "structure tag";
    case NameClass::member: return "member";
    case NameClass::color_class: return "color class";
    case NameClass::color_scheme: return "color scheme";
  }
  if (name.type_name) return "type name";
  if (is_key_table(name)) return "key table";
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

std::string type_or_nothing(const std::string& type) {
  return type.empty() ? "void" : type;
}

// A color as written in a source: 0xRRGGBB.
std::string hex(std::uint32_t value) {
  char text[sizeof "0x" + 2 * sizeof value];
  std::snprintf(text, sizeof text, "0x%06x", static_cast<unsigned>(value));
  return text;
}

std::string macro_definition(const CompileSession& session, const NameRecord& name) {
  const MacroRecord& macro = session.macros[name.detail];
  std::string text = "#define " + name.name;
  if (macro.function_like) text += "(" + macro.params + ")";
  if (!macro.body.empty()) text += " " + macro.body;
  return text;
}

std::string structure_title(const CompileSession& session, std::size_t index) {
  const StructureRecord& structure = session.structures[index];
  const std::string& tag = session.names[structure.name].name;
  std::string text = structure.is_union ? "union" : "struct";
  if (!tag.empty()) return text + " " + tag;
  if (!structure.type_name.empty()) return text + " " + structure.type_name;
  return text;
}

std::string bytes_text(std::int64_t count) {
  return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

// What a name of another class than declared is: the code block and the
// line after it of its hover.
std::string record_hover(const CompileSession& session, const NameRecord& name) {
  switch (name.name_class) {
    case NameClass::declared: break;
    case NameClass::macro: {
      const MacroRecord& macro = session.macros[name.detail];
      return "```qxl\n" + macro_definition(session, name) + "\n```\n" +
             (macro.predefined ? "predefined " : "") +
             (macro.function_like ? "function-like macro" : "macro");
    }
    case NameClass::structure: {
      const StructureRecord& structure = session.structures[name.detail];
      std::string text = "```qxl\n" + structure_title(session, name.detail) +
                         "\n```\n" + (structure.is_union ? "union" : "structure");
      if (structure.size >= 0) text += ", " + bytes_text(structure.size);
      return text + ", " + std::to_string(structure.members.size()) + " members";
    }
    case NameClass::member: {
      const MemberRecord& member = session.members[name.detail];
      return "```qxl\n" + name.type + " " + name.name + "\n```\nmember of " +
             structure_title(session, member.structure) + ", offset " +
             std::to_string(member.offset) + ", " + bytes_text(member.size);
    }
    case NameClass::color_class: {
      const ColorClassRecord& color = session.color_classes[name.detail];
      std::string text = "```qxl\ncolor_class " + name.name + "\n```\ncolor class " +
                         std::to_string(color.number);
      if (!color.has_default) return text;
      const ColorValue& value = color.default_value;
      if (value.same_as >= 0) {
        const auto other = static_cast<std::size_t>(value.same_as);
        if (other >= session.color_classes.size()) return text;
        return text + ", by default the colors of " +
               session.names[session.color_classes[other].name].name;
      }
      text += ", default colors " + hex(value.foreground);
      if (value.has_background) text += " on " + hex(value.background);
      return text;
    }
    case NameClass::color_scheme: {
      const ColorSchemeRecord& scheme = session.color_schemes[name.detail];
      std::string text = "```qxl\ncolor_scheme \"" + name.name + "\"\n```\ncolor scheme";
      for (std::size_t i = 0; i < scheme.classes.size(); ++i)
        text += (i == 0 ? ", sets " : ", ") + session.names[scheme.classes[i]].name;
      return text;
    }
  }
  return {};
}

std::string name_detail(const NameRecord& name) {
  if (is_key_table(name)) return "keytable " + name.name;
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

// What the reference says of a built-in variable: its number, and whether
// each buffer or window has its own.
std::string variable_reference(const VariableRow& row) {
  const Storage storage = storage_of_number(row.number);
  std::string text = "built-in variable " +
                     std::to_string(row.number & (storage_flag::buffer - 1));
  if (storage == Storage::buffer) text += ", buffer-specific";
  if (storage == Storage::window) text += ", window-specific";
  return text;
}

}  // namespace

Json hover(const Analysis& analysis, const Document& document, Position at) {
  if (const Occurrence* o = occurrence_at(analysis, document, at)) {
    const NameRecord& name = analysis.session.names[o->name];
    std::string text = name.name_class == NameClass::declared
                           ? "```qxl\n" + name_detail(name) + "\n```\n" +
                                 kind_text(name)
                           : record_hover(analysis.session, name);
    if (is_key_table(name)) text += " " + std::to_string(name.key_table);
    if (is_frame_kind(name))
      text += ", frame offset " + std::to_string(name.frame_offset);
    if (name.name_class != NameClass::declared) {
      if (!name.sites.empty())
        text += ", defined at " + site_text(analysis, name.sites.front());
      if (name.name_class == NameClass::macro &&
          analysis.session.macros[name.detail].undef.file >= 0)
        text += ", removed at " +
                site_text(analysis, analysis.session.macros[name.detail].undef);
    } else {
      if (!name.sites.empty())
        text += ", declared at " + site_text(analysis, name.sites.front());
      if (name.sites.size() > 1)
        text += ", defined at " + site_text(analysis, name.sites.back());
    }
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
  if (const VariableRow* row = variable_named(word))
    return markdown("```qxl\n" + variable_type(*row) + " " + std::string(row->name) +
                    "\n```\n" + variable_reference(*row));
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

namespace {

int symbol_kind_of(const NameRecord& name) {
  switch (name.name_class) {
    case NameClass::macro: return symbol_kind::constant;
    case NameClass::structure: return symbol_kind::structure;
    case NameClass::member: return symbol_kind::field;
    case NameClass::color_class: return symbol_kind::enum_member;
    case NameClass::color_scheme: return symbol_kind::enum_;
    case NameClass::declared: break;
  }
  if (is_function_kind(name)) return symbol_kind::function;
  if (name.type_name) return symbol_kind::structure;
  if (is_key_table(name)) return symbol_kind::namespace_;
  return symbol_kind::variable;
}

std::string symbol_detail(const CompileSession& session, const NameRecord& name) {
  switch (name.name_class) {
    case NameClass::declared: break;
    case NameClass::macro: return macro_definition(session, name);
    case NameClass::structure: return structure_title(session, name.detail);
    case NameClass::member:
    case NameClass::color_class:
    case NameClass::color_scheme: {
      // The line after the code block of the hover.
      const std::string text = record_hover(session, name);
      const std::size_t end = text.rfind("```\n");
      return end == std::string::npos ? text : text.substr(end + 4);
    }
  }
  return std::string(kind_text(name)) + " " + name_detail(name);
}

// The structure whose members a symbol lists: a tag's, or that of a type
// name for a structure without tag; -1 for none.
int listed_structure(const CompileSession& session, const NameRecord& name) {
  if (name.name_class == NameClass::structure) return static_cast<int>(name.detail);
  if (name.type_name && name.structure >= 0 &&
      session.names[session.structures[name.structure].name].name.empty() &&
      session.structures[name.structure].type_name == name.name)
    return name.structure;
  return -1;
}

}  // namespace

Json document_symbols(const Analysis& analysis, const Document& document) {
  const CompileSession& session = analysis.session;
  const int file = file_of(analysis, document);
  Json list = Json::array();
  if (file < 0) return list;
  // One site of each name in this file: the first, but for a function
  // the last (its definition), which the locals and parameters after it
  // belong to.
  std::map<std::size_t, const Occurrence*> chosen;
  for (const Occurrence& o : analysis.occurrences) {
    if (!o.site || o.file != file) continue;
    const auto [entry, added] = chosen.emplace(o.name, &o);
    if (!added && is_function_kind(session.names[o.name])) entry->second = &o;
  }
  // Every site in the order of the text: a declaration outside a function
  // that is not listed (a prototype before its definition) still ends the
  // function before it, so that a prototype's parameters are not taken
  // for that function's.
  std::vector<const Occurrence*> sites;
  for (const Occurrence& o : analysis.occurrences)
    if (o.site && o.file == file) sites.push_back(&o);
  std::sort(sites.begin(), sites.end(),
            [](const Occurrence* a, const Occurrence* b) { return a->start < b->start; });
  Json* function = nullptr;
  std::set<std::string> children;
  // The key bindings of the commands, from the bytecode when there is one.
  const std::optional<BytecodeIndex> bytecode =
      session.status == 0 ? index_bytecode(session.output) : std::nullopt;
  for (const Occurrence* o : sites) {
    const NameRecord& name = session.names[o->name];
    // Members are listed under their structure.
    if (name.name_class == NameClass::member) continue;
    if (chosen.at(o->name) != o) {
      if (!is_frame_kind(name)) function = nullptr;
      continue;
    }
    const Json range = occurrence_range(analysis, *o);
    // (The binding texts are wire text already.)
    std::string detail = to_wire(symbol_detail(session, name));
    if (name.command && bytecode)
      detail += ", keys: " + bindings_line(binding_texts(*bytecode, name.name));
    Json symbol{{"name", name.name},
                {"detail", detail},
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
    symbol["kind"] = symbol_kind_of(name);
    if (is_function_kind(name)) symbol["children"] = Json::array();
    if (const int structure = listed_structure(session, name); structure >= 0) {
      symbol["children"] = Json::array();
      for (const std::size_t member : session.structures[structure].members) {
        const auto at = chosen.find(member);
        if (at == chosen.end()) continue;
        const Json member_range = occurrence_range(analysis, *at->second);
        symbol["children"].push_back(
            {{"name", session.names[member].name},
             {"detail", to_wire(symbol_detail(session, session.names[member]))},
             {"kind", symbol_kind::field},
             {"range", member_range},
             {"selectionRange", member_range}});
        // The structure's range reaches its last member.
        if (at->second->start > o->start) symbol["range"]["end"] = member_range["end"];
      }
    }
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

namespace {

// Bounds of the backward scans over the text before the cursor: a member
// chain of at most so many names, a binding clause of at most so many keys.
constexpr int max_chain_names = 32;
constexpr int max_bindings_scanned = 64;

// Where the run of blanks ending at `at` starts.
std::size_t blanks_back(const std::string& text, std::size_t at) {
  while (at > 0 && (text[at - 1] == ' ' || text[at - 1] == '\t' ||
                    text[at - 1] == '\n' || text[at - 1] == '\r'))
    --at;
  return at;
}

// The word that ends at `at`.
std::string_view word_back(const std::string& text, std::size_t at) {
  std::size_t start = at;
  while (start > 0 && is_word_char(text[start - 1])) --start;
  return std::string_view(text).substr(start, at - start);
}

// Where the subscript whose "]" ends at `at` opens; npos when it does not.
std::size_t subscript_back(const std::string& text, std::size_t at) {
  int depth = 0;
  while (at > 0) {
    --at;
    if (text[at] == ']') ++depth;
    if (text[at] == '[' && --depth == 0) return at;
  }
  return std::string::npos;
}

// The length of the member operator ending at `at` ("." 1, "->" 2), or 0.
std::size_t member_operator_back(const std::string& text, std::size_t at) {
  if (at > 0 && text[at - 1] == '.') return 1;
  if (at > 1 && text[at - 1] == '>' && text[at - 2] == '-') return 2;
  return 0;
}

// The names of a member chain such as "a->b[i].c" whose last member
// operator ends at `at`, outermost first; empty when the expression before
// it is not such a chain.
std::vector<std::string> member_chain(const std::string& text, std::size_t at) {
  std::vector<std::string> chain;
  for (int names = 0; names < max_chain_names; ++names) {
    at = blanks_back(text, at);
    while (at > 0 && text[at - 1] == ']') {
      const std::size_t open = subscript_back(text, at);
      if (open == std::string::npos) return {};
      at = blanks_back(text, open);
    }
    const std::string_view word = word_back(text, at);
    if (word.empty() || !(std::isalpha(static_cast<unsigned char>(word.front())) ||
                          word.front() == '_'))
      return {};
    chain.emplace(chain.begin(), word);
    at = blanks_back(text, at - word.size());
    const std::size_t op = member_operator_back(text, at);
    if (op == 0) return chain;
    at -= op;
  }
  return {};
}

// Whether a local or parameter is in scope at a 1-based line of a file.
bool in_scope(const NameRecord& name, int file, int line) {
  const SourcePlace& from = name.sites.front();
  return file >= 0 && from.file == file && name.scope_end.file == file &&
         line >= from.line && line <= name.scope_end.line;
}

// The structure of the chain's value, or -1 when it cannot be told.
int chain_structure(const CompileSession& session, const std::vector<std::string>& chain,
                    int file, int line) {
  if (chain.empty()) return -1;
  int structure = -1;
  bool local = false;
  for (const NameRecord& name : session.names) {
    if (name.name_class != NameClass::declared || name.name != chain.front() ||
        name.sites.empty() || name.type_name)
      continue;
    if (is_frame_kind(name)) {
      if (!in_scope(name, file, line)) continue;
      structure = name.structure;
      local = true;
    } else if (!local) {
      structure = name.structure;
    }
  }
  for (std::size_t i = 1; i < chain.size() && structure >= 0; ++i) {
    int next = -1;
    for (const std::size_t member : session.structures[structure].members)
      if (session.names[member].name == chain[i]) {
        next = session.names[member].structure;
        break;
      }
    structure = next;
  }
  return structure;
}

Json member_item(const CompileSession& session, const NameRecord& name) {
  return {{"label", name.name},
          {"kind", item_kind::field},
          {"detail", to_wire(name.type + " " + name.name + ", " +
                             symbol_detail(session, name))}};
}

// The members offered after a member operator ending at `at`.
Json member_items(const CompileSession& session, const std::string& text,
                  std::size_t at, int file, int line) {
  Json items = Json::array();
  const int structure = chain_structure(session, member_chain(text, at), file, line);
  if (structure >= 0) {
    for (const std::size_t member : session.structures[structure].members)
      items.push_back(member_item(session, session.names[member]));
    return items;
  }
  // Else the members of every structure of the source (the editor's own
  // are few and known by their tags).
  std::set<std::string> offered;
  for (const NameRecord& name : session.names)
    if (name.name_class == NameClass::member &&
        !session.structures[session.members[name.detail].structure].builtin &&
        offered.insert(name.name).second)
      items.push_back(member_item(session, name));
  return items;
}

// Whether the word being typed at `at` names a key table of a command's
// binding clause: right after "on" that follows the parameter list, or
// after a "," that ends a binding of the clause.
bool in_binding_clause(const std::string& text, std::size_t at) {
  for (int bindings = 0; bindings < max_bindings_scanned; ++bindings) {
    at = blanks_back(text, at);
    if (at > 0 && text[at - 1] == ',') {
      at = blanks_back(text, at - 1);
      if (at == 0 || text[at - 1] != ']') return false;
      const std::size_t open = subscript_back(text, at);
      if (open == std::string::npos) return false;
      at = blanks_back(text, open);
      const std::string_view table = word_back(text, at);
      if (table.empty()) return false;
      at -= table.size();
      continue;
    }
    if (word_back(text, at) != "on") return false;
    at = blanks_back(text, at - 2);
    return at > 0 && text[at - 1] == ')';
  }
  return false;
}

Json name_item(const CompileSession& session, const NameRecord& name) {
  int kind = item_kind::variable;
  std::string detail = std::string(kind_text(name)) + " " + name_detail(name);
  switch (name.name_class) {
    case NameClass::macro: {
      const MacroRecord& macro = session.macros[name.detail];
      kind = macro.function_like ? item_kind::function : item_kind::constant;
      detail = macro_definition(session, name);
      break;
    }
    case NameClass::color_class:
      kind = item_kind::enum_member;
      detail = symbol_detail(session, name);
      break;
    default:
      kind = is_function_kind(name) ? item_kind::function
             : name.type_name       ? item_kind::structure
             : is_key_table(name)   ? item_kind::module
                                    : item_kind::variable;
      if (is_key_table(name)) detail += " (key table " + std::to_string(name.key_table) + ")";
  }
  return {{"label", name.name}, {"kind", kind}, {"detail", to_wire(detail)}};
}

// The names of one class offered alone, each once, the editor's own
// among them.
Json items_of(const CompileSession& session, bool (*wanted)(const NameRecord&)) {
  Json items = Json::array();
  std::set<std::string> offered;
  for (const NameRecord& name : session.names)
    if (!name.name.empty() && wanted(name) && offered.insert(name.name).second)
      items.push_back(name_item(session, name));
  return items;
}

bool is_color_class(const NameRecord& name) {
  return name.name_class == NameClass::color_class;
}

bool is_structure_tag(const NameRecord& name) {
  return name.name_class == NameClass::structure;
}

}  // namespace

Json completion(const Analysis& analysis, const Document& document, Position at) {
  const CompileSession& session = analysis.session;
  const int file = file_of(analysis, document);
  const int line = at.line + 1;
  // What comes before the word being typed decides what may follow.
  const std::string& text = document.text;
  std::size_t typed = std::min(document.offset_of(at), text.size());
  while (typed > 0 && is_word_char(text[typed - 1])) --typed;
  const std::size_t before = blanks_back(text, typed);
  if (const std::size_t op = member_operator_back(text, before); op != 0)
    return member_items(session, text, before - op, file, line);
  if (in_binding_clause(text, typed)) return items_of(session, is_key_table);
  const std::string_view previous = word_back(text, before);
  if (previous == token_name(tok::kw_color_class)) return items_of(session, is_color_class);
  if (previous == token_name(tok::kw_struct) || previous == token_name(tok::kw_union))
    return items_of(session, is_structure_tag);

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
                     {"detail", to_wire(variable_type(row) + " " + std::string(row.name))},
                     {"documentation", variable_reference(row)}});
  std::set<std::string> offered;
  for (const NameRecord& name : session.names) {
    // Predefined macros have no site, but are names all the same.
    if (name.sites.empty() && name.name_class != NameClass::macro) continue;
    // Members, tags and schemes are not names of expressions.
    if (name.name_class == NameClass::member || name.name_class == NameClass::structure ||
        name.name_class == NameClass::color_scheme)
      continue;
    // A local or parameter only where it is in scope.
    if (is_frame_kind(name) && !in_scope(name, file, line)) continue;
    if (!offered.insert(name.name).second) continue;
    items.push_back(name_item(session, name));
  }
  return items;
}

}  // namespace qxl::lsp
