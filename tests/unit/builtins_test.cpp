#include "types/builtins.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

#include "test_support.h"
#include "types/declarations.h"
#include "types/types.h"

namespace qxl {
namespace {

class BuiltinsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_compiler_state();
    init_symbol_table();
    install_builtin_names();
  }

  static Symbol* symbol(std::string_view name) {
    lookup_symbol(name, tok::identifier);
    return symbols.current;
  }
  static Declaration* declaration(std::string_view name) {
    return symbol(name)->declaration;
  }
  static std::string text_of(std::string_view name) {
    const Declaration* d = declaration(name);
    return d == nullptr ? "undeclared" : type_text(d->type);
  }
};

// --- Signatures -----------------------------------------------------------

TEST(SignatureWordsTest, CountsPointerElementsAsThreeWords) {
  struct Case {
    std::string_view signature;
    int max_words;
    int min_words;
  };
  const Case cases[] = {
      {"", 0, 0},
      {"I;", 1, 1},
      {".;.;I;I;?I;", 5, 4},
      {"?I;", 1, 0},
      {"*V;*V;I;", 7, 7},
      {"I;**I;*I;I;**I;*I;", 14, 14},
      {"*C;?**C;", 6, 3},
      {"*S{[800B]};I;", 4, 4},
      {"*S{TTTTTTTT};", 3, 3},
      {"*S-;", 3, 3},
      {"*S{I*S-[3C]};", 3, 3},
      {"[12B];", 1, 1},
      {"*C;*C;>", -1, -1},
      {">", -1, -1},
      {"I;?I;>", -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.signature));
    const SignatureWords words = signature_words(c.signature);
    EXPECT_TRUE(words.valid);
    EXPECT_EQ(words.max_words, c.max_words);
    EXPECT_EQ(words.min_words, c.min_words);
  }
}

TEST(SignatureWordsTest, RejectsWhatTheGrammarDoesNotAllow) {
  const std::string_view bad[] = {
      "I",         // element without ';'
      ";",         // empty element
      "I;;",       //
      "V;",        // "V" only after '*'
      "*;",        // pointer to nothing
      "X;",        // unknown code
      "I;>I;",     // '>' not last
      ">;",        //
      "?I;?I;",    // a second '?'
      "?>",        // '?' must mark an element
      "?",         //
      "S;",        // structure without members or '-'
      "S{};",      // no members
      "*S{I;",     // unclosed
      "[B];",      // array without count
      "[3B;",      // unclosed array
      "*S{I}",     // element without ';'
  };
  for (std::string_view signature : bad) {
    SCOPED_TRACE(std::string(signature));
    EXPECT_FALSE(signature_words(signature).valid);
  }
}

// --- The primitive table --------------------------------------------------

TEST(PrimitiveTableTest, NamesAreDistinctAndNumbersFollowTheOrder) {
  const std::span<const PrimitiveRow> table = primitive_table();
  ASSERT_EQ(table.size(), 366u);
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const PrimitiveRow& row = table[i];
    SCOPED_TRACE(std::string(row.name));
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate name";
    const int expected = i < 151 ? 95 + static_cast<int>(i)
                                 : 512 + static_cast<int>(i - 151);
    EXPECT_EQ(row.number, expected);
    EXPECT_LE(row.number & 511, 255);
    EXPECT_EQ(find_primitive_by_number(row.number), &row);
  }
  EXPECT_EQ(table.front().number, 95);
  EXPECT_EQ(table[150].number, 245);
  EXPECT_EQ(table[151].number, 512);
  EXPECT_EQ(table.back().number, 726);
  for (int outside : {-1, 0, 94, 246, 300, 511, 727, 1024})
    EXPECT_EQ(find_primitive_by_number(outside), nullptr) << outside;
}

// Word counts worked out independently: split at ';', a leading '?' starts
// the optional part, '>' makes both counts -1.
TEST(PrimitiveTableTest, EverySignatureParsesAndMatchesItsWordCounts) {
  for (const PrimitiveRow& row : primitive_table()) {
    SCOPED_TRACE(std::string(row.name) + " \"" + std::string(row.signature) +
                 "\"");
    EXPECT_TRUE(signature_words(row.signature).valid);
    int max_words = 0;
    int min_words = 0;
    bool optional = false;
    bool variadic = false;
    std::string_view rest = row.signature;
    while (!rest.empty()) {
      if (rest == ">") {
        variadic = true;
        break;
      }
      const std::size_t end = rest.find(';');
      ASSERT_NE(end, std::string_view::npos);
      std::string_view element = rest.substr(0, end);
      if (element.starts_with('?')) {
        optional = true;
        element.remove_prefix(1);
      }
      ASSERT_FALSE(element.empty());
      const int words = element.starts_with('*') ? 3 : 1;
      max_words += words;
      if (!optional) min_words += words;
      rest.remove_prefix(end + 1);
    }
    EXPECT_EQ(row.max_words, variadic ? -1 : max_words);
    EXPECT_EQ(row.min_words, variadic ? -1 : min_words);
    // The result code is "none" or decodes to char, short, int, spot or a
    // pointer: no primitive returns one of the structures by value.
    const int base = row.result_code % type_code::pointer_level;
    EXPECT_TRUE(row.result_code == 0 || row.result_code > 16 ||
                base == type_code::char_ || base == type_code::short_ ||
                base == type_code::int_ || base == type_code::spot)
        << row.result_code;
  }
}

struct TellingPrimitive {
  std::string_view name;
  int number;
  int max_words;
  int min_words;
  int result_code;
  std::string_view signature;
  std::string_view result_text;
};

constexpr TellingPrimitive telling_primitives[] = {
    {"setjmp", 95, 3, 3, 2, "*S{[800B]};", "short"},
    {"longjmp", 96, 4, 4, 0, "*S{[800B]};I;", "none"},
    {"sprintf", 97, -1, -1, 2, "*C;*C;>", "short"},
    {"wait_for_key", 110, 0, 0, 0, "", "none"},
    {"in_macro", 119, 1, 0, 2, "?I;", "short"},
    {"index", 128, 4, 4, 17, "*C;I;", "pointer to character"},
    {"parse_string", 130, 7, 4, 3, "I;*C;?*C;", "integer"},
    {"free", 134, 3, 3, 0, "*V;", "none"},
    {"index_table", 142, 1, 1, 18, "I;", "pointer to short"},
    {"get_macro", 145, 1, 1, 19, "I;", "pointer to integer"},
    {"buffer_list", 161, 1, 1, 27, "I;", "pointer to character"},
    {"add_region", 227, 5, 4, 3, ".;.;I;I;?I;", "integer"},
    {"memcpy", 560, 7, 7, 0, "*V;*V;I;", "none"},
    {"time_and_day", 598, 3, 3, 0, "*S{TTTTTTTT};", "none"},
    {"select_printer", 648, 3, 3, 2, "*S{IIIII};", "short"},
    {"tokenize_lines", 690, 14, 14, 3, "I;**I;*I;I;**I;*I;", "integer"},
    {"call_with_arg_list", 714, 13, 10, 3, "I;*C;*V;*V;?*V;", "integer"},
    {"key_value", 715, 6, 3, 3, "*C;?**C;", "integer"},
};

TEST_F(BuiltinsTest, TellingPrimitivesAreExactInTableAndDeclaration) {
  for (const TellingPrimitive& p : telling_primitives) {
    SCOPED_TRACE(std::string(p.name));
    const PrimitiveRow* row = find_primitive_by_number(p.number);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->name, p.name);
    EXPECT_EQ(row->max_words, p.max_words);
    EXPECT_EQ(row->min_words, p.min_words);
    EXPECT_EQ(row->result_code, p.result_code);
    EXPECT_EQ(row->signature, p.signature);

    const Declaration* d = declaration(p.name);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->kind, DeclKind::builtin_function);
    EXPECT_EQ(d->primitive, p.number);
    EXPECT_EQ(d->max_words, p.max_words);
    EXPECT_EQ(d->min_words, p.min_words);
    EXPECT_TRUE(d->has_signature);
    EXPECT_EQ(d->signature, p.signature);
    EXPECT_EQ(type_text(d->type), p.result_text);
  }
  // Results of the basic types share the basic records.
  EXPECT_EQ(declaration("setjmp")->type, type_short);
  EXPECT_EQ(declaration("parse_string")->type, type_int);
  EXPECT_EQ(declaration("strlen")->type, type_int);
}

TEST_F(BuiltinsTest, VariadicPrimitivesAreTheFormattedOutputFamily) {
  // The disassembler reads a call byte after exactly these.
  std::set<std::string_view> variadic;
  for (const PrimitiveRow& row : primitive_table()) {
    EXPECT_EQ(row.max_words == -1, row.signature.ends_with('>')) << row.name;
    if (row.max_words == -1) variadic.insert(row.name);
  }
  const std::set<std::string_view> expected = {
      "sprintf", "bprintf", "buf_printf", "buffer_printf", "say",
      "sayput",  "note",    "noteput",    "mention",       "error",
      "show_text", "delayed_say", "call_dll"};
  EXPECT_EQ(variadic, expected);
}

// The structure types the telling signatures spell out are the ones the
// declarations carry, so programs can pass them.
TEST_F(BuiltinsTest, StructureSignaturesAgreeWithThePredefinedTypes) {
  auto signature_of_pointer_to = [](Type* t) {
    const Type* as_parameter[] = {make_type(TypeKind::pointer, t, 0)};
    return param_signature(as_parameter);
  };
  EXPECT_EQ(signature_of_pointer_to(declaration("jmp_buf")->type),
            declaration("setjmp")->signature);
  EXPECT_EQ(signature_of_pointer_to(declaration("PRINT_OPTIONS")->type),
            declaration("select_printer")->signature);
  EXPECT_EQ(signature_of_pointer_to(declaration("TIMER")->type),
            declaration("time_done")->signature);
}

// --- The variable table ---------------------------------------------------

TEST_F(BuiltinsTest, TellingVariablesAreExact) {
  struct Telling {
    std::string_view name;
    int number;
    int array_count;
    int type_code;
    std::string_view type;
  };
  const Telling rows[] = {
      {"argv", 14, 50, 17, "array of 50 pointer to character"},
      {"version", 16, 0, 17, "pointer to character"},
      {"root_keys", 18, 0, 18, "pointer to short"},
      {"table_keys", 25, 0, 19, "pointer to integer"},
      {"state_file", 27, 256, 11, "array of 256 character"},
      {"std_pointer", 49, 0, 7,
       "structure of {on_pixels: array of 32 byte, off_pixels: array of 32 "
       "byte, hot_x: byte, hot_y: byte, stock_cursor: short}"},
      {"point", 1098, 0, 3, "integer"},
      {"filename", 1100, 0, 27, "pointer to character"},
      {"window_height", 2130, 0, 2, "short"},
      {"top_level", 86, 0, 20,
       "pointer to structure of {$SPEC_TYPE: array of 800 byte}"},
      {"mouse_cursor", 108, 0, 23,
       "pointer to structure of {on_pixels: array of 32 byte, off_pixels: "
       "array of 32 byte, hot_x: byte, hot_y: byte, stock_cursor: short}"},
  };
  const std::span<const VariableRow> table = builtin_variable_table();
  for (const Telling& t : rows) {
    SCOPED_TRACE(std::string(t.name));
    const int position = t.number & 1023;
    ASSERT_LT(position, static_cast<int>(table.size()));
    EXPECT_EQ(table[position].name, t.name);
    EXPECT_EQ(table[position].number, t.number);
    EXPECT_EQ(table[position].array_count, t.array_count);
    EXPECT_EQ(table[position].type_code, t.type_code);

    const Declaration* d = declaration(t.name);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->kind, DeclKind::builtin_variable);
    EXPECT_EQ(d->builtin_number, t.number);
    EXPECT_EQ(d->array_count, t.array_count);
    EXPECT_EQ(d->storage, storage_of_number(t.number));
    EXPECT_EQ(d->primitive, 0);
    EXPECT_FALSE(d->has_signature);
    EXPECT_EQ(type_text(d->type), t.type);
  }
  EXPECT_EQ(rounded_size(declaration("argv")->type), 600);
  EXPECT_EQ(rounded_size(declaration("state_file")->type), 512);
  // The variable and the tag of the same name are different things.
  EXPECT_EQ(declaration("mouse_cursor")->type->sub,
            symbol("mouse_cursor")->tag);
  EXPECT_EQ(declaration("std_pointer")->type, symbol("mouse_cursor")->tag);
  // A string variable is not the shared record of string constants.
  EXPECT_NE(declaration("version")->type, type_char_ptr);

  for (int number : {71, 72, 73, 135, 136}) {
    EXPECT_EQ(table[number].name, "@rsvd");
    EXPECT_EQ(table[number].number, number);
    EXPECT_EQ(table[number].type_code, 2);
  }
  EXPECT_EQ(declaration("@rsvd")->type, type_short);
}

constexpr std::string_view char_scalars[] = {
    "in_echo_area", "has_arg", "full_redraw", "path_sep", "use_default",
    "show_status", "leave_blank", "key_type", "all_must_build_mode",
    "load_from_state", "mouse_auto_on", "mouse_auto_off", "monochrome",
    "path_list_char", "first_window_refresh", "return_raw_buttons",
    "directory_flags", "want_toolbar", "using_new_font", "key_from_macro",
    "no_popup_errors"};
constexpr std::string_view short_scalars[] = {
    "screen_lines", "screen_cols", "want_lines", "want_cols",
    "last_index", "argc", "this_cmd", "prev_cmd", "cmd_len",
    "table_count", "key_code", "line_in_window", "column_in_window",
    "abort_searching", "abort_file_matching", "abort_file_io",
    "mouse_screen", "mouse_mask", "mouse_shift", "opsys", "is_gui",
    "postpone_asynchronous_notify", "permit_window_keys", "key_is_button",
    "is_win32", "is_unix", "is_unix_flavor", "expire_message",
    "can_get_process_directory", "modified", "bufnum", "window_number",
    "window_height", "window_width", "call_on_modify", "window_bufnum",
    "build_first", "text_color", "selected_color_scheme", "system_window",
    "must_build_mode", "invisible_window", "window_top", "window_left",
    "mouse_display", "catch_mouse", "mouse_x", "mouse_y", "mouse_pixel_x",
    "mouse_pixel_y", "echo_line", "avoid_top_lines", "avoid_bottom_lines",
    "display_scroll_bar", "ignore_kbd_macro", "window_color_scheme",
    "buffer_color_scheme", "discardable_buffer", "user_abort",
    "mouse_panning", "reject_client_connections"};
constexpr std::string_view int_scalars[] = {
    "iter", "ungot_key", "key", "full_key", "mem_in_use", "matchstart",
    "matchend", "abort_key", "double_click_time", "has_feature", "point",
    "mark", "type_point", "window_start", "window_end", "errno",
    "narrow_start", "narrow_end", "undo_flag", "cursor_to_column",
    "mark_to_column", "window_handle", "cursor_shape", "translation_type",
    "gui_cursor_shape", "font_styles", "font_styles_tolerance",
    "dialog_checkboxes", "disable_dialog_controls"};
constexpr std::string_view per_buffer_names[] = {
    "point", "modified", "filename", "mark", "type_point", "narrow_start",
    "narrow_end", "undo_flag", "call_on_modify", "must_build_mode",
    "buffer_display_characters", "buffer_color_scheme",
    "discardable_buffer", "translation_type"};
constexpr std::string_view per_window_names[] = {
    "window_height", "window_width", "window_start", "window_end",
    "window_bufnum", "build_first", "text_color", "system_window",
    "cursor_to_column", "mark_to_column", "invisible_window",
    "window_top", "window_left", "display_scroll_bar",
    "window_color_scheme"};

TEST_F(BuiltinsTest, VariableNumbersCarryPositionAndBufferOrWindowFlag) {
  const std::span<const VariableRow> table = builtin_variable_table();
  ASSERT_EQ(table.size(), 137u);
  const std::set<std::string_view> buffer_set(std::begin(per_buffer_names),
                                              std::end(per_buffer_names));
  const std::set<std::string_view> window_set(std::begin(per_window_names),
                                              std::end(per_window_names));
  std::set<std::string_view> names;
  int reserved = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const VariableRow& row = table[i];
    SCOPED_TRACE(std::string(row.name));
    if (row.name == "@rsvd")
      ++reserved;
    else
      EXPECT_TRUE(names.insert(row.name).second) << "duplicate name";
    const int flag = buffer_set.contains(row.name)   ? storage_flag::buffer
                     : window_set.contains(row.name) ? storage_flag::window
                                                     : 0;
    EXPECT_EQ(row.number, static_cast<int>(i) + flag);
    EXPECT_LE(row.number & 511, 255);
  }
  EXPECT_EQ(reserved, 5);
  for (std::string_view name : per_buffer_names)
    EXPECT_TRUE(names.contains(name)) << name;
  for (std::string_view name : per_window_names)
    EXPECT_TRUE(names.contains(name)) << name;
  // No name is both a primitive and a variable.
  for (const PrimitiveRow& row : primitive_table())
    EXPECT_FALSE(names.contains(row.name)) << row.name;
}

TEST_F(BuiltinsTest, ScalarVariablesHaveTheirListedTypes) {
  auto check = [&](std::span<const std::string_view> list, Type* expected) {
    for (std::string_view name : list) {
      SCOPED_TRACE(std::string(name));
      const Declaration* d = declaration(name);
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(d->kind, DeclKind::builtin_variable);
      EXPECT_EQ(d->type, expected);
      EXPECT_EQ(d->array_count, 0);
    }
  };
  check(char_scalars, type_char);
  check(short_scalars, type_short);
  check(int_scalars, type_int);
}

// --- Predefined structures and type names ---------------------------------

TEST_F(BuiltinsTest, MouseCursorLayout) {
  Type* cursor = symbol("mouse_cursor")->tag;
  ASSERT_NE(cursor, nullptr);
  ASSERT_EQ(cursor->kind, TypeKind::struct_);
  EXPECT_EQ(type_size(cursor, false), 68);
  EXPECT_EQ(rounded_size(cursor), 68);
  const Member* on = cursor->members;
  const Member* off = on->next;
  const Member* hot_x = off->next;
  EXPECT_EQ(on->type, off->type);  // one shared array record
  EXPECT_EQ(hot_x->name, symbol("hot_x"));
  EXPECT_EQ(hot_x->type, type_byte);
  EXPECT_EQ(member_offset(cursor, hot_x), 64);
  EXPECT_EQ(member_offset(cursor, hot_x->next->next), 66);

  const Declaration* name = declaration("MOUSE_CURSOR");
  EXPECT_EQ(name->kind, DeclKind::type_name);
  EXPECT_EQ(name->type, cursor);
  EXPECT_EQ(rounded_size(name->type), 68);
  EXPECT_EQ(builtin_types.mouse_cursor, cursor);
}

TEST_F(BuiltinsTest, PrintOptionsAndOpaqueStructures) {
  Type* options = symbol("print_options")->tag;
  ASSERT_NE(options, nullptr);
  EXPECT_EQ(type_text(options),
            "structure of {flags: integer, frompage: integer, topage: "
            "integer, height: integer, width: integer}");
  EXPECT_EQ(declaration("PRINT_OPTIONS")->type, options);

  struct Opaque {
    std::string_view name;
    int size;
  };
  for (const Opaque& o : {Opaque{"jmp_buf", 800}, Opaque{"TIMER", 12},
                          Opaque{"TIME_INFO", 16}}) {
    SCOPED_TRACE(std::string(o.name));
    const Declaration* d = declaration(o.name);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->kind, DeclKind::type_name);
    EXPECT_EQ(d->builtin_number, 0);
    EXPECT_EQ(d->array_count, 0);
    ASSERT_EQ(d->type->kind, TypeKind::struct_);
    EXPECT_EQ(type_size(d->type, false), o.size);
    // One member, whose name no program can write.
    ASSERT_NE(d->type->members, nullptr);
    EXPECT_EQ(d->type->members->next, nullptr);
    EXPECT_EQ(d->type->members->name->name.front(), '$');
  }
  // None of them has a tag.
  for (std::string_view tag : {"jmp_buf", "TIMER", "TIME_INFO"})
    EXPECT_EQ(symbol(tag)->tag, nullptr);
  EXPECT_EQ(declaration("top_level")->type->sub, declaration("jmp_buf")->type);
}

TEST_F(BuiltinsTest, TypeCodesDecode) {
  EXPECT_EQ(decode_type_code(0, 0), nullptr);
  EXPECT_EQ(decode_type_code(1, 0), type_char);
  EXPECT_EQ(decode_type_code(11, 0), type_char);
  EXPECT_EQ(decode_type_code(6, 0), type_spot);
  for (int unused = 12; unused <= 15; ++unused)
    EXPECT_EQ(decode_type_code(unused, 0), nullptr) << unused;
  // Pointer levels are added only while the rest exceeds 16.
  EXPECT_EQ(decode_type_code(16, 0), nullptr);
  EXPECT_EQ(type_text(decode_type_code(32, 0)), "pointer to none");
  EXPECT_EQ(type_text(decode_type_code(33, 0)),
            "pointer to pointer to character");
  EXPECT_EQ(type_text(decode_type_code(17, 3)),
            "array of 3 pointer to character");

  Type* function_pointer = decode_type_code(5, 0);
  EXPECT_EQ(function_pointer, builtin_types.int_function_pointer);
  EXPECT_TRUE(is_function_pointer(function_pointer));
  EXPECT_EQ(function_pointer->sub->sub, type_int);
  EXPECT_EQ(type_size(function_pointer, false), 2);
  EXPECT_EQ(decode_type_code(4, 0), declaration("jmp_buf")->type);
  EXPECT_EQ(decode_type_code(8, 0), declaration("TIMER")->type);
  EXPECT_EQ(decode_type_code(9, 0), declaration("TIME_INFO")->type);
  EXPECT_EQ(decode_type_code(10, 0), symbol("print_options")->tag);
  EXPECT_EQ(decode_type_code(23, 0)->sub, symbol("mouse_cursor")->tag);
}

// --- Installation ---------------------------------------------------------

TEST_F(BuiltinsTest, EveryNameIsAnIdentifierWithAFreshDeclaration) {
  auto check = [&](std::string_view name, DeclKind kind) {
    SCOPED_TRACE(std::string(name));
    EXPECT_EQ(lookup_symbol(name, tok::string_const), tok::identifier);
    const Declaration* d = symbols.current->declaration;
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->symbol, symbols.current);
    EXPECT_EQ(d->kind, kind);
    EXPECT_EQ(d->previous, nullptr);
    EXPECT_EQ(d->line, 0);
    EXPECT_TRUE(d->file.empty());
  };
  for (const PrimitiveRow& row : primitive_table())
    check(row.name, DeclKind::builtin_function);
  for (const VariableRow& row : builtin_variable_table())
    check(row.name, DeclKind::builtin_variable);
  for (const VariableRow& row : builtin_type_name_table())
    check(row.name, DeclKind::type_name);
  ASSERT_EQ(builtin_type_name_table().size(), 5u);
}

TEST(BuiltinInstallTest, NumbersOutsideTheInstructionByteAreFatal) {
  struct Case {
    int number;
    bool fits;
  };
  for (const Case c : {Case{255, true}, Case{256, false}, Case{512 + 255, true},
                       Case{512 + 256, false}, Case{2048 + 255, true},
                       Case{1024 + 300, false}}) {
    SCOPED_TRACE(c.number);
    const PrimitiveRow primitive{"made_up", c.number, 0, 0, 0, ""};
    test::RunResult result =
        test::run_on_text("", [&] { install_primitive(primitive); });
    EXPECT_EQ(result.status, c.fits ? 0 : 1);
    EXPECT_EQ(result.console.find("internal error: bytecode overflow") !=
                  std::string::npos,
              !c.fits);

    const VariableRow variable{"made_up", c.number, 0, type_code::int_};
    result = test::run_on_text(
        "", [&] { install_variable(variable, DeclKind::builtin_variable); });
    EXPECT_EQ(result.status, c.fits ? 0 : 1);
  }
}

TEST(BuiltinInstallTest, EachCompileGetsItsOwnRecords) {
  for (int compile = 0; compile < 2; ++compile) {
    test::RunResult result = test::run_on_text("", [&] {
      install_builtin_names();
      lookup_symbol("mouse_cursor", tok::identifier);
      Type* cursor = symbols.current->tag;
      ASSERT_NE(cursor, nullptr);
      EXPECT_EQ(rounded_size(cursor), 68);
      EXPECT_EQ(symbols.current->declaration->builtin_number, 108);
      EXPECT_EQ(symbols.current->declaration->previous, nullptr);
      lookup_symbol("memcpy", tok::identifier);
      EXPECT_EQ(symbols.current->declaration->primitive, 560);
      EXPECT_EQ(symbols.current->declaration->signature, "*V;*V;I;");
      lookup_symbol("jmp_buf", tok::identifier);
      EXPECT_EQ(rounded_size(symbols.current->declaration->type), 800);
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.console, "");
  }

  // And through the driver, which installs the names in every run.
  test::ScratchDir dir;
  dir.write("empty.q", "");
  for (int run = 0; run < 2; ++run) {
    const test::RunResult result = test::run_compiler({"-q", "empty.q"});
    EXPECT_EQ(result.status, 0) << result.console;
  }
}

}  // namespace
}  // namespace qxl
