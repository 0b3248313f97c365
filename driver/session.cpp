#include "driver/session.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "source/macros.h"
#include "source/preprocessor.h"
#include "source/reader.h"
#include "source/symbols.h"
#include "types/declarations.h"
#include "types/types.h"

namespace qxl {

CompileSession* compile_session = nullptr;

std::string normal_path(std::string_view path) {
  std::string full;
  if (path.empty() || path.front() != '/') {
    char here[4096];
    if (::getcwd(here, sizeof here) != nullptr) full = here;
    full += '/';
  }
  full += path;
  std::vector<std::string> steps;
  std::size_t at = 0;
  while (at <= full.size()) {
    std::size_t end = full.find('/', at);
    if (end == std::string::npos) end = full.size();
    const std::string_view step(full.data() + at, end - at);
    if (step == "..") {
      if (!steps.empty()) steps.pop_back();
    } else if (!step.empty() && step != ".") {
      steps.emplace_back(step);
    }
    at = end + 1;
  }
  std::string result;
  for (const std::string& step : steps) result += "/" + step;
  return result.empty() ? "/" : result;
}

int session_open_text(std::string_view path) {
  std::string normal = normal_path(path);
  const auto held = compile_session->texts.find(normal);
  compile_session->opened.insert(std::move(normal));
  if (held == compile_session->texts.end()) return -1;
  // An anonymous file in memory, read through its descriptor as any source.
  const int fd = ::memfd_create("qxl-source", MFD_CLOEXEC);
  if (fd < 0) return -1;
  const std::string& text = held->second;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      ::close(fd);
      return -1;
    }
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

void session_begin_message(std::string_view file, int line) {
  MessageRecord record;
  record.file = std::string(file);
  record.line = line;
  record.token = std::string(token_text());
  // The main source was put aside after its #include line had been read
  // whole, newline and all.
  if (!preprocessor.include_stack.empty())
    record.main_line = preprocessor.include_stack.front().line_number - 1;
  // Called when the location prefix has been written: the text follows.
  record.text_start = compile_session->console.size();
  compile_session->messages.push_back(std::move(record));
}

void session_mark_warning() {
  if (!compile_session->messages.empty())
    compile_session->messages.back().kind = MessageKind::warning;
}

void session_mark_error() {
  if (!compile_session->messages.empty())
    compile_session->messages.back().kind = MessageKind::error;
}

namespace {

// Pointer steps followed from a type to the structure it leads to; array
// and pointer chains are short in real programs.
constexpr int max_structure_steps = 64;

// The index of the reader's current file in the session's file list.
int current_file() {
  std::vector<std::string>& files = compile_session->files;
  if (!files.empty() && files.back() == reader.file_name)
    return static_cast<int>(files.size() - 1);
  for (std::size_t i = 0; i < files.size(); ++i)
    if (files[i] == reader.file_name) return static_cast<int>(i);
  files.push_back(reader.file_name);
  return static_cast<int>(files.size() - 1);
}

int file_index(std::string_view name) {
  std::vector<std::string>& files = compile_session->files;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (files[i] == name) return static_cast<int>(i);
  files.emplace_back(name);
  return static_cast<int>(files.size() - 1);
}

// The line of the token just read: a newline read after it and put back
// has already been counted.
int token_line() {
  return reader.pushed_char == '\n' ? reader.line_number - 1
                                     : reader.line_number;
}

// The structure a type is, or is an array of or a pointer to, among the
// structures whose bodies the compile read; -1 for none.
int structure_of(const Type* type) {
  for (int steps = 0; type != nullptr && type->kind == TypeKind::pointer &&
                      steps < max_structure_steps;
       ++steps)
    type = type->sub;
  if (type == nullptr ||
      (type->kind != TypeKind::struct_ && type->kind != TypeKind::union_))
    return -1;
  const auto found = compile_session->structure_types.find(type);
  return found == compile_session->structure_types.end()
             ? -1
             : static_cast<int>(found->second);
}

// Copies what a record says now into its name's entry.
void refresh(const Declaration* record, NameRecord& entry) {
  entry.kind = static_cast<int>(record->kind);
  entry.type_name = record->kind == DeclKind::type_name;
  entry.storage = static_cast<int>(record->storage);
  entry.frame_offset = record->frame_offset;
  entry.key_table = record->key_table;
  entry.type = record->type != nullptr ? type_text(record->type) : "";
  if (record->has_signature) entry.signature = record->signature;
  entry.structure = structure_of(record->type);
  // A typedef names a structure that has no tag of its own.
  if (entry.type_name && entry.structure >= 0) {
    StructureRecord& named = compile_session->structures[entry.structure];
    if (compile_session->names[named.name].name.empty() &&
        named.type_name.empty())
      named.type_name = entry.name;
  }
}

// A new entry of a class other than declared, in no source.
std::size_t add_unplaced_name(std::string_view name, NameClass name_class,
                              std::size_t detail) {
  NameRecord entry;
  entry.name = std::string(name);
  entry.name_class = name_class;
  entry.detail = detail;
  compile_session->names.push_back(std::move(entry));
  return compile_session->names.size() - 1;
}

// A new entry of a class other than declared, with its site.
std::size_t add_name(std::string_view name, NameClass name_class,
                     std::size_t detail, SourcePlace site) {
  const std::size_t index = add_unplaced_name(name, name_class, detail);
  compile_session->names[index].sites.push_back(site);
  return index;
}

void add_use(std::size_t name) {
  compile_session->uses.push_back({name, {current_file(), token_line()}});
}

}  // namespace

void session_note_declaration(const Declaration* record) {
  if (record->kind == DeclKind::builtin_function ||
      record->kind == DeclKind::builtin_variable || record->symbol == nullptr)
    return;
  NameRecord entry;
  entry.name = record->symbol->name;
  entry.command = declarations.storage_keyword == tok::kw_command;
  entry.sites.push_back({file_index(record->file), record->line});
  refresh(record, entry);
  compile_session->live[record] = compile_session->names.size();
  compile_session->names.push_back(std::move(entry));
}

void session_note_redeclaration(const Declaration* record) {
  const auto found = compile_session->live.find(record);
  if (found == compile_session->live.end()) return;
  compile_session->names[found->second].sites.push_back(
      {current_file(), token_line()});
}

void session_close_declaration(const Declaration* record) {
  const auto found = compile_session->live.find(record);
  if (found == compile_session->live.end()) return;
  NameRecord& entry = compile_session->names[found->second];
  refresh(record, entry);
  entry.scope_end = {current_file(), reader.line_number};
  compile_session->live.erase(found);
}

void session_note_use(const Symbol* name) {
  const auto found = compile_session->live.find(name->declaration);
  if (found == compile_session->live.end()) return;
  compile_session->uses.push_back(
      {found->second, {current_file(), token_line()}});
}

namespace {

void add_macro(const Symbol* name, const SourcePlace* site) {
  const MacroDef* definition = name->macro;
  if (definition == nullptr) return;
  CompileSession& session = *compile_session;
  MacroRecord record;
  record.function_like = definition->params.has_value();
  if (record.function_like) record.params = *definition->params;
  record.body = definition->body;
  record.predefined = site == nullptr;
  record.name = site != nullptr
                    ? add_name(name->name, NameClass::macro, session.macros.size(), *site)
                    : add_unplaced_name(name->name, NameClass::macro, session.macros.size());
  session.live_macros[name] = record.name;
  session.macros.push_back(std::move(record));
}

}  // namespace

void session_note_macro(const Symbol* name, std::string_view file, int line) {
  const SourcePlace site{file_index(file), line};
  add_macro(name, &site);
}

void session_note_predefined_macro(const Symbol* name) { add_macro(name, nullptr); }

void session_note_macro_reference(const Symbol* name, std::string_view file,
                                  int line) {
  const auto found = compile_session->live_macros.find(name);
  if (found != compile_session->live_macros.end())
    compile_session->uses.push_back({found->second, {file_index(file), line}});
}

void session_note_undef(const Symbol* name, std::string_view file, int line) {
  CompileSession& session = *compile_session;
  const auto found = session.live_macros.find(name);
  if (found == session.live_macros.end()) return;
  const SourcePlace place{file_index(file), line};
  session.macros[session.names[found->second].detail].undef = place;
  session.uses.push_back({found->second, place});
  session.live_macros.erase(found);
}

void session_note_macro_use(const Symbol* name) {
  const auto found = compile_session->live_macros.find(name);
  if (found != compile_session->live_macros.end()) add_use(found->second);
}

void session_begin_structure(const Type* aggregate, const Symbol* tag) {
  CompileSession& session = *compile_session;
  StructureRecord record;
  record.is_union = aggregate->kind == TypeKind::union_;
  record.name = add_name(tag != nullptr ? std::string_view(tag->name) : "",
                         NameClass::structure, session.structures.size(),
                         {current_file(), token_line()});
  if (tag != nullptr) session.live_tags[tag] = record.name;
  session.structure_types[aggregate] = session.structures.size();
  session.structures.push_back(std::move(record));
}

void session_note_member(const Type* aggregate, const Member* member) {
  CompileSession& session = *compile_session;
  const auto structure = session.structure_types.find(aggregate);
  if (structure == session.structure_types.end() || member->name == nullptr)
    return;
  MemberRecord record;
  record.structure = structure->second;
  const std::size_t name =
      add_name(member->name->name, NameClass::member, session.members.size(),
               {current_file(), token_line()});
  session.live_members[member] = name;
  session.structures[structure->second].members.push_back(name);
  session.members.push_back(record);
}

// The body is complete: the members' offsets, sizes and types can be
// worked out now.
void session_end_structure(const Type* aggregate) {
  CompileSession& session = *compile_session;
  const auto structure = session.structure_types.find(aggregate);
  if (structure == session.structure_types.end()) return;
  session.structures[structure->second].size = rounded_size(aggregate);
  for (const Member* m = aggregate->members; m != nullptr; m = m->next) {
    const auto found = session.live_members.find(m);
    if (found == session.live_members.end()) continue;
    NameRecord& entry = session.names[found->second];
    MemberRecord& record = session.members[entry.detail];
    record.offset = member_offset(aggregate, m);
    record.size = type_size(m->type, false);
    entry.type = type_text(m->type);
    entry.structure = structure_of(m->type);
  }
}

void session_note_builtin_structure(const Type* aggregate, const Symbol* tag) {
  CompileSession& session = *compile_session;
  const std::size_t index = session.structures.size();
  StructureRecord record;
  record.builtin = true;
  record.is_union = aggregate->kind == TypeKind::union_;
  record.name = add_unplaced_name(tag->name, NameClass::structure, index);
  session.live_tags[tag] = record.name;
  session.structure_types[aggregate] = index;
  for (const Member* m = aggregate->members; m != nullptr; m = m->next) {
    const std::size_t name =
        add_unplaced_name(m->name->name, NameClass::member, session.members.size());
    session.live_members[m] = name;
    record.members.push_back(name);
    session.members.push_back({index, 0, 0});
  }
  session.structures.push_back(std::move(record));
  session_end_structure(aggregate);
}

void session_note_tag_use(const Symbol* tag) {
  const auto found = compile_session->live_tags.find(tag);
  if (found != compile_session->live_tags.end()) add_use(found->second);
}

void session_note_member_use(const Member* member) {
  const auto found = compile_session->live_members.find(member);
  if (found != compile_session->live_members.end()) add_use(found->second);
}

void session_note_color_class(const Symbol* name, int number, bool first) {
  CompileSession& session = *compile_session;
  if (!first) {
    const auto found = session.live_color_classes.find(name);
    if (found != session.live_color_classes.end()) add_use(found->second);
    return;
  }
  ColorClassRecord record;
  record.number = number;
  record.name = add_name(name->name, NameClass::color_class,
                         session.color_classes.size(), {current_file(), token_line()});
  session.live_color_classes[name] = record.name;
  session.color_classes.push_back(record);
}

void session_note_color_value(int number, int scheme, const ColorValue& value) {
  CompileSession& session = *compile_session;
  // Classes are numbered in the order they are recorded.
  if (number < 0 || static_cast<std::size_t>(number) >= session.color_classes.size())
    return;
  ColorClassRecord& color = session.color_classes[static_cast<std::size_t>(number)];
  if (scheme < 0) {
    color.has_default = true;
    color.default_value = value;
    return;
  }
  if (static_cast<std::size_t>(scheme) >= session.scheme_by_number.size()) return;
  const std::size_t index = session.scheme_by_number[static_cast<std::size_t>(scheme)];
  if (session.live_scheme_classes.emplace(index, color.name).second)
    session.color_schemes[index].classes.push_back(color.name);
}

void session_note_color_scheme(std::string_view text, int number) {
  CompileSession& session = *compile_session;
  // The token's text with its quotes.
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    text = text.substr(1, text.size() - 2);
  const SourcePlace place{current_file(), token_line()};
  const auto found = session.live_schemes.find(text);
  if (found != session.live_schemes.end()) {
    NameRecord& entry = session.names[found->second];
    entry.sites.push_back(place);
    session.color_schemes[entry.detail].numbers.push_back(number);
    session.scheme_by_number.push_back(entry.detail);
    return;
  }
  session.scheme_by_number.push_back(session.color_schemes.size());
  ColorSchemeRecord record;
  record.numbers.push_back(number);
  session.live_schemes.emplace(
      std::string(text),
      add_name(text, NameClass::color_scheme, session.color_schemes.size(), place));
  session.color_schemes.push_back(std::move(record));
}

void run_session(CompileSession& session,
                 const std::vector<std::string>& options,
                 const std::string& source_path) {
  session.console.clear();
  session.messages.clear();
  session.output.clear();
  session.names.clear();
  session.uses.clear();
  session.files.clear();
  session.opened.clear();
  session.live.clear();
  session.macros.clear();
  session.structures.clear();
  session.members.clear();
  session.color_classes.clear();
  session.color_schemes.clear();
  std::vector<std::string> args{"qxl"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(source_path);

  CompileSession* const outer_session = compile_session;
  std::string* const outer_capture = diagnostics.capture;
  compile_session = &session;
  diagnostics.capture = &session.console;
  session.status = run_qxl(args);
  // The records of the names still in scope are complete now.  Locals and
  // parameters still open (a compile stopped by an error inside their
  // function) reach the place where it stopped.
  for (const auto& [record, index] : session.live) {
    NameRecord& entry = session.names[index];
    refresh(record, entry);
    const bool frame = record->kind == DeclKind::local ||
                       record->kind == DeclKind::parameter_named ||
                       record->kind == DeclKind::parameter_typed;
    if (frame && entry.scope_end.line == 0)
      entry.scope_end = {current_file(), reader.line_number};
  }
  session.live.clear();
  // The compiler's records go with the next compile.
  session.live_macros.clear();
  session.live_tags.clear();
  session.structure_types.clear();
  session.live_members.clear();
  session.live_color_classes.clear();
  session.live_schemes.clear();
  session.scheme_by_number.clear();
  session.live_scheme_classes.clear();
  diagnostics.capture = outer_capture;
  compile_session = outer_session;

  for (MessageRecord& record : session.messages) {
    const std::size_t start = std::min(record.text_start, session.console.size());
    std::size_t end = session.console.find('\n', start);
    if (end == std::string::npos) end = session.console.size();
    record.text = session.console.substr(start, end - start);
  }
}

}  // namespace qxl
