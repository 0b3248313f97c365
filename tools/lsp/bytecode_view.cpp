#include "tools/lsp/bytecode_view.h"

#include <algorithm>

#include "bytecode/byte_reader.h"
#include "bytecode/format.h"
#include "driver/search_paths.h"
#include "tools/disassembler.h"
#include "tools/key_notation.h"
#include "types/builtins.h"
#include "types/declarations.h"

namespace qxl::lsp {

namespace {

// Bytes of a function record's code length that are not code: the
// argument and frame word fields, which it counts as well.
constexpr std::uint32_t function_fields_size = 4;
// Bytes of a color assignment record after its kind.
constexpr std::size_t color_assignment_size = 12;

constexpr std::string_view bindings_separator = " \u00b7 ";
constexpr std::string_view no_bindings = "no key bindings";

// A name as the source writes it: the file stores each '_' as '-'.
std::string source_name(std::span<const std::uint8_t> stored) {
  std::string name(stored.begin(), stored.end());
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

void skip_variable(ByteReader& in, std::uint8_t kind) {
  in.u8();  // attributes
  in.name();
  const auto type = in.name();
  const std::uint32_t size = in.u32();
  if (kind == record::variable) return;
  const auto data = variable_data_size(
      kind,
      std::string_view(reinterpret_cast<const char*>(type.data()), type.size()),
      size);
  if (!data) throw ReadPastEnd{};
  in.take(*data);
}

FunctionEntry read_function(ByteReader& in, std::size_t at, std::uint8_t kind) {
  FunctionEntry entry;
  entry.record_at = at;
  entry.command = kind == record::command;
  entry.name = source_name(in.name());
  const std::uint32_t length = in.u32();
  if (length < function_fields_size) throw ReadPastEnd{};
  const std::uint16_t area = in.u16();
  in.u16();  // reference count
  in.u16();  // argument words
  in.u16();  // frame words
  entry.code_bytes = length - function_fields_size;
  in.take(entry.code_bytes);
  in.take(area);
  return entry;
}

// The debug data: entries of a 4-byte length and that many bytes of name,
// the last one zero.
void read_debug_names(ByteReader in, std::size_t start,
                      std::map<std::uint32_t, std::string>& names) {
  while (in.left() > 0) {
    const auto offset = static_cast<std::uint32_t>(in.pos - start);
    const std::uint32_t length = in.u32();
    const auto bytes = in.take(length);
    if (bytes.empty()) throw ReadPastEnd{};
    names[offset] = std::string(bytes.begin(), bytes.end() - 1);
  }
}

void index_records(ByteReader& in, BytecodeIndex& index) {
  FunctionEntry* last = nullptr;  // bindings follow their function
  for (;;) {
    const std::size_t at = in.pos;
    const std::uint8_t kind = in.u8();
    if (kind != record::key_binding && last != nullptr) {
      last->end_at = at;
      last = nullptr;
    }
    switch (kind) {
      case record::command:
      case record::function:
        index.functions.push_back(read_function(in, at, kind));
        last = &index.functions.back();
        break;
      case record::variable:
      case record::initialized_variable:
      case record::buffer_variable:
      case record::window_variable:
        skip_variable(in, kind);
        break;
      case record::key_table:
        index.key_tables.push_back(source_name(in.name()));
        break;
      case record::key_binding: {
        if (last == nullptr) throw ReadPastEnd{};
        KeyBinding binding;
        binding.table = in.u8();
        binding.key = in.u32();
        last->bindings.push_back(binding);
        break;
      }
      case record::color_class:
      case record::color_scheme:
        in.name();
        break;
      case record::color_assignment:
        in.take(color_assignment_size);
        break;
      case record::end:
        return;
      default:
        throw ReadPastEnd{};
    }
  }
}

// The key that leads to a key table, or its name and a colon.
std::string table_prefix(const BytecodeIndex& index, std::uint32_t table) {
  if (table == 1) return {};
  if (table == 0 || table > index.key_tables.size())
    return "table " + std::to_string(table) + ":";
  const std::string& name = index.key_tables[table - 1];
  if (const auto key = key_of_table_name(name)) return key_text(*key);
  return name + ":";
}

}  // namespace

std::optional<BytecodeIndex> index_bytecode(std::span<const std::uint8_t> file) {
  BytecodeIndex index;
  try {
    ByteReader in{file, 0};
    if (in.u32() != bytecode_magic || in.u32() != bytecode_version)
      return std::nullopt;
    const std::uint32_t pool_size = in.u32();
    const std::uint32_t debug_size = in.u32();
    index_records(in, index);
    in.take(pool_size);
    const std::size_t debug_at = in.pos;
    in.take(debug_size);
    if (in.left() != 0) return std::nullopt;
    read_debug_names(ByteReader{file.first(in.pos), debug_at}, debug_at,
                     index.debug_names);
  } catch (const ReadPastEnd&) {
    return std::nullopt;
  }
  return index;
}

std::string binding_text(const BytecodeIndex& index, const KeyBinding& binding) {
  const std::string prefix = table_prefix(index, binding.table);
  const std::string key = key_text(binding.key);
  return prefix.empty() ? key : prefix + " " + key;
}

std::vector<std::string> binding_texts(const BytecodeIndex& index,
                                       std::string_view command) {
  std::vector<std::string> texts;
  for (const FunctionEntry& entry : index.functions) {
    if (!entry.command || entry.name != command) continue;
    for (const KeyBinding& binding : entry.bindings)
      texts.push_back(binding_text(index, binding));
  }
  return texts;
}

std::string bindings_line(const std::vector<std::string>& texts) {
  if (texts.empty()) return std::string(no_bindings);
  std::string line;
  for (const std::string& text : texts) {
    if (!line.empty()) line += bindings_separator;
    line += text;
  }
  return line;
}

namespace {

// The index of a successful analysis's bytecode.
std::optional<BytecodeIndex> analysis_index(const Analysis& analysis) {
  if (analysis.session.status != 0 || analysis.session.output.empty())
    return std::nullopt;
  return index_bytecode(analysis.session.output);
}

int file_index(const Analysis& analysis, const Document& document) {
  const std::string path = normal_path(document.path);
  for (std::size_t i = 0; i < analysis.files.size(); ++i)
    if (analysis.files[i].path == path) return static_cast<int>(i);
  return -1;
}

// Where the definition of each function is, by name: the occurrence of
// its last site.
using DefinitionSites = std::map<std::string, const Occurrence*, std::less<>>;

DefinitionSites definition_sites(const Analysis& analysis) {
  DefinitionSites sites;
  for (const Occurrence& o : analysis.occurrences) {
    const NameRecord& name = analysis.session.names[o.name];
    if (o.site && is_function_kind(name)) sites[name.name] = &o;
  }
  return sites;
}

const Occurrence* site_of(const DefinitionSites& sites, std::string_view function) {
  const auto found = sites.find(function);
  return found == sites.end() ? nullptr : found->second;
}

Json lens(const Document& file, const Occurrence& site, const std::string& title) {
  const Position start = file.position_of(site.start);
  return {{"range",
           {{"start", position_json(start)},
            {"end", position_json(file.position_of(site.end))}}},
          {"command",
           {{"title", title},
            {"command", disassemble_command},
            {"arguments", Json::array({file.uri, position_json(start)})}}}};
}

std::string size_text(std::uint32_t bytes) {
  return std::to_string(bytes) + (bytes == 1 ? " byte of code" : " bytes of code");
}

}  // namespace

std::vector<std::string> command_bindings(const Analysis& analysis,
                                          std::string_view command) {
  const auto index = analysis_index(analysis);
  if (!index) return {};
  return binding_texts(*index, command);
}

Json code_lenses(const Analysis& analysis, const Document& document) {
  Json list = Json::array();
  const auto index = analysis_index(analysis);
  const int file = file_index(analysis, document);
  if (!index || file < 0) return list;
  const Document& text = analysis.files[static_cast<std::size_t>(file)];
  const DefinitionSites sites = definition_sites(analysis);
  for (const FunctionEntry& entry : index->functions) {
    const Occurrence* site = site_of(sites, entry.name);
    if (site == nullptr || site->file != file) continue;
    if (entry.command) {
      std::vector<std::string> texts;
      for (const KeyBinding& binding : entry.bindings)
        texts.push_back(binding_text(*index, binding));
      list.push_back(lens(text, *site, bindings_line(texts)));
    }
    list.push_back(lens(text, *site, size_text(entry.code_bytes)));
  }
  return list;
}

namespace {

// Names primitives from the compiler's table, as qxldis does, so that the
// listing reads as qxldis prints it.
std::optional<PrimitiveInfo> primitive_from_table(int number) {
  const PrimitiveRow* row = find_primitive_by_number(number);
  if (row == nullptr) return std::nullopt;
  return PrimitiveInfo{row->name, row->max_words == -1};
}

constexpr std::string_view debug_file_mnemonic = "OP_DEBUG_FILE ";
constexpr std::string_view debug_line_mnemonic = "OP_DEBUG_LINE ";

// One OP_DEBUG_LINE of a function's listing.
struct DebugMark {
  std::size_t listing_line = 0;  // index into FunctionListing::lines
  std::size_t name_column = 0;   // where the instruction's name starts
  int file = -1;                 // index into Analysis::files, -1 unknown
  int line = 0;
};

struct FunctionListing {
  const FunctionEntry* entry = nullptr;
  std::vector<std::string_view> lines;
  std::vector<DebugMark> marks;
};

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    lines.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

// The leading decimal number of `text`; nothing without one.
std::optional<std::uint32_t> leading_number(std::string_view text) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

// The file of the analysis a debug file name stands for.
int debug_file(const Analysis& analysis, const std::string& name) {
  const std::string path = normal_path(name);
  for (std::size_t i = 0; i < analysis.files.size(); ++i)
    if (analysis.files[i].path == path) return static_cast<int>(i);
  return -1;
}

// The instruction's name and operands of a code line ("  12  OP_RETURN"),
// and the column where the name starts; nothing for another line.
std::optional<std::size_t> instruction_column(std::string_view line) {
  std::size_t at = line.find_first_not_of(' ');
  if (at == std::string_view::npos || line[at] < '0' || line[at] > '9') return std::nullopt;
  at = line.find_first_not_of("0123456789", at);
  if (at == std::string_view::npos || line[at] != ' ') return std::nullopt;
  at = line.find_first_not_of(' ', at);
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}

// Splits the listing into the blocks of the functions and finds their
// debug lines.  A block runs from its record's line to the line of the
// record after its key bindings.
std::vector<FunctionListing> function_listings(const Analysis& analysis,
                                               const BytecodeIndex& index,
                                               std::string_view listing) {
  const std::vector<std::string_view> lines = split_lines(listing);
  std::map<std::size_t, std::size_t> record_lines;  // file offset -> line
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].starts_with('@'))
      if (const auto offset = leading_number(lines[i].substr(1)))
        record_lines[*offset] = i;
  std::map<std::uint32_t, int> files;  // debug data offset -> file
  for (const auto& [offset, name] : index.debug_names)
    files[offset] = debug_file(analysis, name);
  std::vector<FunctionListing> result;
  for (const FunctionEntry& entry : index.functions) {
    const auto first = record_lines.find(entry.record_at);
    const auto after = record_lines.find(entry.end_at);
    if (first == record_lines.end() || after == record_lines.end() ||
        after->second < first->second)
      continue;
    FunctionListing function;
    function.entry = &entry;
    function.lines.assign(lines.begin() + static_cast<std::ptrdiff_t>(first->second),
                          lines.begin() + static_cast<std::ptrdiff_t>(after->second));
    int file = -1;
    for (std::size_t i = 0; i < function.lines.size(); ++i) {
      const auto column = instruction_column(function.lines[i]);
      if (!column) continue;
      const std::string_view text = function.lines[i].substr(*column);
      if (text.starts_with(debug_file_mnemonic)) {
        const auto offset = leading_number(text.substr(debug_file_mnemonic.size()));
        const auto found = offset ? files.find(*offset) : files.end();
        file = found == files.end() ? -1 : found->second;
      } else if (text.starts_with(debug_line_mnemonic)) {
        if (const auto line = leading_number(text.substr(debug_line_mnemonic.size())))
          function.marks.push_back({i, *column, file, static_cast<int>(*line)});
      }
    }
    result.push_back(std::move(function));
  }
  return result;
}

// The lines of a file of the analysis as the compiler counts them: ended
// by newlines only (a lone carriage return ends a line for the editor
// only).
struct SourceLines {
  const Document* file = nullptr;
  std::vector<std::size_t> starts;  // of line 1, 2, ...
};

std::vector<SourceLines> source_lines(const Analysis& analysis) {
  std::vector<SourceLines> all;
  for (const Document& file : analysis.files) {
    SourceLines lines{&file, {0}};
    for (std::size_t i = 0; i < file.text.size(); ++i)
      if (file.text[i] == '\n') lines.starts.push_back(i + 1);
    all.push_back(std::move(lines));
  }
  return all;
}

// The 1-based line of a byte offset.
int line_of(const SourceLines& lines, std::size_t offset) {
  const auto after = std::upper_bound(lines.starts.begin(), lines.starts.end(), offset);
  return static_cast<int>(after - lines.starts.begin());
}

// The text of a 1-based line without its line end and trailing blanks, in
// the protocol's UTF-8; nothing past the end.
std::optional<std::string> source_line(const SourceLines& lines, int line) {
  if (line < 1 || static_cast<std::size_t>(line) > lines.starts.size()) return std::nullopt;
  const std::string& text = lines.file->text;
  const std::size_t start = lines.starts[static_cast<std::size_t>(line - 1)];
  std::size_t end = static_cast<std::size_t>(line) < lines.starts.size()
                        ? lines.starts[static_cast<std::size_t>(line)] - 1
                        : text.size();
  while (end > start && (text[end - 1] == '\r' || text[end - 1] == ' ' || text[end - 1] == '\t'))
    --end;
  const std::string_view view = std::string_view(text).substr(start, end - start);
  if (!lines.file->is_utf8()) return to_wire(view);
  // The byte-order mark belongs to the file, not to its first line.
  constexpr std::string_view mark = "\xef\xbb\xbf";
  return std::string(view.starts_with(mark) ? view.substr(mark.size()) : view);
}

std::string annotated(const std::vector<SourceLines>& sources,
                      const FunctionListing& function) {
  std::string out;
  std::size_t next_mark = 0;
  for (std::size_t i = 0; i < function.lines.size(); ++i) {
    out.append(function.lines[i]).append("\n");
    for (; next_mark < function.marks.size() &&
           function.marks[next_mark].listing_line == i;
         ++next_mark) {
      const DebugMark& mark = function.marks[next_mark];
      if (mark.file < 0) continue;
      const auto text = source_line(sources[static_cast<std::size_t>(mark.file)], mark.line);
      if (!text) continue;
      out.append(mark.name_column, ' ')
          .append("; " + std::to_string(mark.line) + ": ")
          .append(*text)
          .append("\n");
    }
  }
  return out;
}

// Whether the line's first character other than blanks is '}'.
bool is_closing_line(const SourceLines& lines, int line) {
  const auto text = source_line(lines, line);
  if (!text) return false;
  const std::size_t first = text->find_first_not_of(" \t");
  return first != std::string::npos && (*text)[first] == '}';
}

// The lines of `file` a function's body takes: from the line of its name
// at its definition (else its first debug line) to its last debug line,
// and on over the lines after it that start with a closing brace (those
// of the blocks the last line of code is in, and the body's own).
struct LineSpan {
  int first = 0;
  int last = -1;
};

LineSpan body_span(const DefinitionSites& sites, const std::vector<SourceLines>& sources,
                   const FunctionListing& function, int file) {
  const SourceLines& lines = sources[static_cast<std::size_t>(file)];
  LineSpan span;
  bool seen = false;
  for (const DebugMark& mark : function.marks) {
    if (mark.file != file) continue;
    span.first = seen ? std::min(span.first, mark.line) : mark.line;
    span.last = seen ? std::max(span.last, mark.line) : mark.line;
    seen = true;
  }
  if (!seen) return span;
  if (const Occurrence* site = site_of(sites, function.entry->name);
      site != nullptr && site->file == file)
    span.first = std::min(span.first, line_of(lines, site->start));
  while (is_closing_line(lines, span.last + 1)) ++span.last;
  return span;
}

// The function whose name is at the position.
const FunctionListing* named_at(const Analysis& analysis, int file, std::size_t offset,
                                const std::vector<FunctionListing>& functions) {
  for (const Occurrence& o : analysis.occurrences) {
    if (o.file != file || offset < o.start || offset > o.end) continue;
    const NameRecord& name = analysis.session.names[o.name];
    if (!is_function_kind(name)) continue;
    for (const FunctionListing& function : functions)
      if (function.entry->name == name.name) return &function;
  }
  return nullptr;
}

}  // namespace

Json disassembly(const Analysis& analysis, const Document& document, Position at) {
  const auto index = analysis_index(analysis);
  const int file = file_index(analysis, document);
  if (!index || file < 0) return nullptr;
  const Disassembly result = disassemble(analysis.session.output, {primitive_from_table});
  if (result.error) return nullptr;
  const std::vector<FunctionListing> functions =
      function_listings(analysis, *index, result.listing);
  const Document& text = analysis.files[static_cast<std::size_t>(file)];
  const std::vector<SourceLines> sources = source_lines(analysis);
  const FunctionListing* chosen = named_at(analysis, file, text.offset_of(at), functions);
  if (chosen == nullptr) {
    const DefinitionSites sites = definition_sites(analysis);
    const int line = line_of(sources[static_cast<std::size_t>(file)], text.offset_of(at));
    for (const FunctionListing& function : functions) {
      const LineSpan span = body_span(sites, sources, function, file);
      if (line >= span.first && line <= span.last) {
        chosen = &function;
        break;
      }
    }
  }
  if (chosen == nullptr) return nullptr;
  return {{"name", chosen->entry->name}, {"listing", annotated(sources, *chosen)}};
}

std::optional<Json> disassemble_command_params(const Json& params) {
  if (!params.is_object() || !params.contains("command") ||
      params["command"] != disassemble_command || !params.contains("arguments"))
    return std::nullopt;
  const Json& arguments = params["arguments"];
  if (!arguments.is_array() || arguments.size() != 2 || !arguments[0].is_string() ||
      !arguments[1].is_object())
    return std::nullopt;
  return Json{{"textDocument", {{"uri", arguments[0]}}}, {"position", arguments[1]}};
}

}  // namespace qxl::lsp
