// A compile run for the language server: the sources it reads from memory,
// the bytecode it leaves in memory and the messages it reports as records.
//
// The compiler's modules consult `compile_session` at a few points (opening
// a source, opening and closing the output, writing a message).  It is null
// for the command-line compiler, so each of those points costs one test of
// a pointer and nothing else.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "bytecode/format.h"

namespace qxl {

struct Declaration;
struct Member;
struct Symbol;
struct Type;

enum class MessageKind { error, warning, note };

// One message as the compiler printed it: "FILE LINE: TEXT".
struct MessageRecord {
  MessageKind kind = MessageKind::note;
  std::string file;
  int line = 0;
  std::string text;          // what follows "FILE LINE: ", newline excluded
  std::string token;         // text of the token being read at the time
  // Line of the main source being read when the message came from an
  // included file (the #include line), else 0.
  int main_line = 0;
  std::size_t text_start = 0;  // where TEXT starts in `console`
};

// Where a name is declared or used: an index into CompileSession::files
// and a 1-based line.  The line is the reader's at the time, which can be
// the line after the name when the name ended its line.
struct SourcePlace {
  int file = 0;
  int line = 0;
};

// What a recorded name stands for: a declared name, or one of the names
// that live outside the declaration records (each with a record of its own
// in CompileSession, at NameRecord::detail).
enum class NameClass {
  declared,
  macro,         // CompileSession::macros
  structure,     // a structure or union tag: CompileSession::structures
  member,        // CompileSession::members
  color_class,   // CompileSession::color_classes
  color_scheme,  // CompileSession::color_schemes
};

// A user name declared during the compile, as it was when its scope
// closed or the compile ended.
struct NameRecord {
  std::string name;
  NameClass name_class = NameClass::declared;
  std::size_t detail = 0;  // index into the record list of the class
  // Declared names and members: the structure their type is, or is an
  // array of or points to, as an index into CompileSession::structures;
  // -1 for none.
  int structure = -1;
  int kind = 0;           // DeclKind
  bool command = false;   // a function declared with "command"
  bool type_name = false;
  int storage = 0;        // Storage
  std::int32_t frame_offset = 0;
  std::int32_t key_table = 0;
  std::string type;       // as the compiler prints types
  std::string signature;  // functions: the parameter signature when known
  // The declaration first; a prototype's definition and other
  // redeclarations follow.
  std::vector<SourcePlace> sites;
  // Locals and parameters: the line where their scope closed.
  SourcePlace scope_end;
};

// A macro defined by #define.
struct MacroRecord {
  std::size_t name = 0;  // index into CompileSession::names
  bool function_like = false;
  bool predefined = false;  // before the source: no site
  std::string params;    // the parameter list as written, function-like only
  std::string body;      // the replacement text as written
  SourcePlace undef{-1, 0};  // where #undef removed it; file -1 while defined
};

// A structure or union whose body the compile read.
struct StructureRecord {
  std::size_t name = 0;   // its tag's entry in names (an empty name if none)
  bool builtin = false;   // one of the editor's, in no source
  std::string type_name;  // a typedef name given to a structure without tag
  bool is_union = false;
  std::int64_t size = -1;  // in bytes, rounded; -1 when the body never closed
  std::vector<std::size_t> members;  // indexes into names, in order
};

struct MemberRecord {
  std::size_t structure = 0;  // index into structures
  std::int64_t offset = 0;
  std::int64_t size = 0;
};

// The colors a class is given: those of another class, or a foreground
// and perhaps a background.
struct ColorValue {
  int same_as = -1;  // the other class's number, or -1
  std::uint32_t foreground = 0;
  bool has_background = false;
  std::uint32_t background = 0;
};

struct ColorClassRecord {
  std::size_t name = 0;  // index into CompileSession::names
  int number = 0;
  bool has_default = false;
  ColorValue default_value;  // given outside any scheme
};

struct ColorSchemeRecord {
  std::vector<int> numbers;          // one per place that names the scheme
  std::vector<std::size_t> classes;  // color classes it sets (names indexes)
};

struct NameUse {
  std::size_t name = 0;  // index into CompileSession::names
  SourcePlace place;
};

struct CompileSession {
  // Texts that stand in for files of these absolute paths.
  std::map<std::string, std::string> texts;
  // Every path the compile tried to open as a source (normalised), found
  // or not: a change of any of them can change the compile's result.
  std::set<std::string> opened;
  // Everything the compile printed, and its messages picked out of it.
  std::string console;
  std::vector<MessageRecord> messages;
  ByteBuffer output;  // the bytecode file, complete when the compile succeeded
  int status = 0;

  // The names of the compile, the uses of each and the files they are in.
  std::vector<NameRecord> names;
  std::vector<NameUse> uses;
  std::vector<std::string> files;
  // The live declaration records of the compile and their names' indexes.
  std::unordered_map<const Declaration*, std::size_t> live;

  // Records of the names that are not declarations.
  std::vector<MacroRecord> macros;
  std::vector<StructureRecord> structures;
  std::vector<MemberRecord> members;
  std::vector<ColorClassRecord> color_classes;
  std::vector<ColorSchemeRecord> color_schemes;
  // Their compile records while the compile runs (names indexes, but
  // structure_types: structures indexes).
  std::unordered_map<const Symbol*, std::size_t> live_macros;
  std::unordered_map<const Symbol*, std::size_t> live_tags;
  std::unordered_map<const Type*, std::size_t> structure_types;
  std::unordered_map<const Member*, std::size_t> live_members;
  std::unordered_map<const Symbol*, std::size_t> live_color_classes;
  std::map<std::string, std::size_t, std::less<>> live_schemes;
  // Scheme numbers (given in order from 0) to color_schemes indexes, and
  // the (scheme, class name) pairs recorded.
  std::vector<std::size_t> scheme_by_number;
  std::set<std::pair<std::size_t, std::size_t>> live_scheme_classes;
};

// The session of the compile in progress; null outside the server.
extern CompileSession* compile_session;

// Hooks called by the compiler's modules while compile_session is set.
// A descriptor reading the held text for `path`, or -1 when no text is held.
int session_open_text(std::string_view path);
// Called when "FILE LINE: " has been written.
void session_begin_message(std::string_view file, int line);
void session_mark_warning();
void session_mark_error();
void session_note_declaration(const Declaration* record);
void session_note_redeclaration(const Declaration* record);
void session_close_declaration(const Declaration* record);
void session_note_use(const Symbol* name);
// After #define or #undef of `name`, written at `line` of `file`.
void session_note_macro(const Symbol* name, std::string_view file, int line);
void session_note_undef(const Symbol* name, std::string_view file, int line);
// A macro the compile defines before reading the source (QXL's own and the
// -d options).
void session_note_predefined_macro(const Symbol* name);
// The name of an #ifdef or #ifndef line.
void session_note_macro_reference(const Symbol* name, std::string_view file,
                                  int line);
// A use of a macro's name in the source, before its arguments are read.
void session_note_macro_use(const Symbol* name);
// A structure or union body: begun ("{" current), each member as it is
// read, and closed.
void session_begin_structure(const Type* aggregate, const Symbol* tag);
void session_note_member(const Type* aggregate, const Member* member);
void session_end_structure(const Type* aggregate);
void session_note_tag_use(const Symbol* tag);
// One of the editor's structures, complete, with no place in a source.
void session_note_builtin_structure(const Type* aggregate, const Symbol* tag);
void session_note_member_use(const Member* member);
// A color class name read (`first`: the class is new), and a color value
// given to class `number` in `scheme` (-1 outside any scheme).
void session_note_color_class(const Symbol* name, int number, bool first);
void session_note_color_value(int number, int scheme, const ColorValue& value);
// A scheme name, its string the current token, given `number`.
void session_note_color_scheme(std::string_view text, int number);

// An absolute, lexically normalised form of a path ("." and ".." steps and
// repeated separators removed), relative paths taken from the working
// directory.
std::string normal_path(std::string_view path);

// Runs one compile of `source_path` under `session`: QXL's words and then
// `options` as run_qxl takes them, output to memory.  Fills the session's
// console, messages, output and status.
void run_session(CompileSession& session, const std::vector<std::string>& options,
                 const std::string& source_path);

}  // namespace qxl
