// The bytecode view of the language server: the key notation, the texts
// of key bindings, the reading of a bytecode file's records and the
// listing of one function of an analysis.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bytecode/format.h"
#include "test_support.h"
#include "tools/key_notation.h"
#include "tools/lsp/analysis.h"
#include "tools/lsp/bytecode_view.h"

namespace qxl {
namespace {

// ---------------------------------------------------------- key notation

struct KeyWord {
  std::uint32_t code;
  const char* text;
};

TEST(KeyNotation, WritesEachKindOfKey) {
  const KeyWord words[] = {
      {'a', "a"},         {'h', "h"},         {'{', "{"},
      {'!', "!"},         {'~', "~"},         {'#', "#"},
      {1, "C-a"},         {21, "C-u"},        {26, "C-z"},
      {0, "C-@"},         {28, "C-\\"},       {31, "C-_"},
      {9, "Tab"},         {13, "Return"},     {27, "Esc"},
      {32, "Space"},      {127, "Del"},       {0x168, "Alt-h"},
      {0x115, "Alt-C-u"}, {0x109, "Alt-Tab"}, {0x17f, "Alt-Del"},
      {0x120, "Alt-Space"}, {0x201, "F1"},    {0x204, "F4"},
      {0x263, "F99"},     {0x200, "#512"},    {0x264, "#612"},
      {128, "#128"},      {255, "#255"},      {0x180, "#384"},
      {0x1ff, "#511"},    {4096, "#4096"},    {0xFFFFFFFF, "#4294967295"},
  };
  for (const KeyWord& word : words) {
    EXPECT_EQ(key_text(word.code), word.text) << word.code;
    EXPECT_EQ(key_code(word.text), word.code) << word.text;
  }
}

TEST(KeyNotation, EveryCodeRoundTrips) {
  for (std::uint32_t code = 0; code < 0x1000; ++code)
    EXPECT_EQ(key_code(key_text(code)), code) << key_text(code);
  for (std::uint32_t code : {0x10000u, 0x7FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu})
    EXPECT_EQ(key_code(key_text(code)), code);
}

TEST(KeyNotation, ReadsOtherSpellingsOfTheSameKeys) {
  EXPECT_EQ(key_code("Enter"), 13u);
  EXPECT_EQ(key_code("C-U"), 21u);
  EXPECT_EQ(key_code("C-i"), 9u);
  EXPECT_EQ(key_code("C-m"), 13u);
  EXPECT_EQ(key_code("C-["), 27u);
  EXPECT_EQ(key_code("Alt-Enter"), 0x10du);
  EXPECT_EQ(key_code("Alt-C-X"), 0x118u);
  EXPECT_EQ(key_code("#97"), 97u);
  EXPECT_EQ(key_code("#0042"), 42u);
  EXPECT_EQ(key_code("F"), std::uint32_t{'F'});
}

TEST(KeyNotation, RefusesWordsItDoesNotKnow) {
  for (const char* word :
       {"", " ", "\x01", "\xe9", "ab", "tab", "TAB", "C-", "C-ab", "C-1", "C--",
        "C-{", "Alt-", "Alt-Alt-a", "Alt-#200", "Alt-F1", "F-1", "F0", "F01",
        "F100", "Fx", "F1x", "#-1", "##1", "#1x", "#4294967296",
        "#99999999999999999999"})
    EXPECT_FALSE(key_code(word).has_value()) << word;
}

TEST(KeyNotation, TablesNamedForTheirKey) {
  EXPECT_EQ(key_of_table_name("ctlx_keys"), 24u);
  EXPECT_EQ(key_of_table_name("ctlX_keys"), 24u);  // C-x either way
  EXPECT_EQ(key_of_table_name("alth_keys"), 0x168u);
  EXPECT_EQ(key_of_table_name("altH_keys"), 0x148u);  // Alt-H is its own key
  for (const char* name : {"ctl_keys", "ctl1_keys", "ctlxy_keys", "ctlx_key",
                           "xctlx_keys", "meta_keys", "main_keys", ""})
    EXPECT_FALSE(key_of_table_name(name).has_value()) << name;
}

// --------------------------------------------------------- binding texts

lsp::BytecodeIndex tables_index() {
  lsp::BytecodeIndex index;
  index.key_tables = {"main_keys", "ctlx_keys", "alth_keys", "mode_keys",
                      "ctl_keys",  "ctlxy_keys", "ctl1_keys"};
  return index;
}

TEST(BindingText, PrefixesTheKeyThatLeadsToTheTable) {
  const lsp::BytecodeIndex index = tables_index();
  const std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> expected = {
      {{1, 0x168}, "Alt-h"},        {{1, 'a'}, "a"},
      {{2, 'h'}, "C-x h"},          {{2, 21}, "C-x C-u"},
      {{3, 'x'}, "Alt-h x"},        {{4, 'a'}, "mode_keys: a"},
      {{5, 'a'}, "ctl_keys: a"},    {{6, 'a'}, "ctlxy_keys: a"},
      {{7, 'a'}, "ctl1_keys: a"},   {{0, 'a'}, "table 0: a"},
      {{8, 'a'}, "table 8: a"},     {{2, 0x204}, "C-x F4"},
  };
  for (const auto& [binding, text] : expected)
    EXPECT_EQ(lsp::binding_text(index, {binding.first, binding.second}), text);
}

TEST(BindingText, FirstTableIsTheRootWhateverItsName) {
  lsp::BytecodeIndex index;
  index.key_tables = {"ctlx_keys", "altq_keys"};
  EXPECT_EQ(lsp::binding_text(index, {1, 'x'}), "x");
  EXPECT_EQ(lsp::binding_text(index, {2, 'x'}), "Alt-q x");
}

TEST(BindingText, CommandTextsInFileOrderAndTheLensLine) {
  lsp::BytecodeIndex index = tables_index();
  index.functions.push_back({"helper", false, 10, 0, 0, {}});
  index.functions.push_back({"go", true, 10, 0, 0, {{2, 't'}, {1, 0x204}}});
  index.functions.push_back({"idle", true, 10, 0, 0, {}});
  EXPECT_EQ(lsp::binding_texts(index, "go"),
            (std::vector<std::string>{"C-x t", "F4"}));
  EXPECT_TRUE(lsp::binding_texts(index, "idle").empty());
  EXPECT_TRUE(lsp::binding_texts(index, "helper").empty());
  EXPECT_TRUE(lsp::binding_texts(index, "nothing").empty());
  EXPECT_EQ(lsp::bindings_line(lsp::binding_texts(index, "go")), "C-x t \u00b7 F4");
  EXPECT_EQ(lsp::bindings_line({}), "no key bindings");
  EXPECT_EQ(lsp::bindings_line({"F1"}), "F1");
}

// ------------------------------------------------------ reading the file

// A small file: a key table, a function with a one-byte name reference
// area, a command with two bindings, a variable, the end, a pool entry and
// a debug name.
// The function record follows the header and the key table record.
constexpr std::size_t function_at = header_size + 1 + sizeof "main-keys";

ByteBuffer small_file() {
  ByteBuffer out;
  put_u32(out, bytecode_magic);
  put_u32(out, bytecode_version);
  put_u32(out, 8);   // string pool: one entry of 4 bytes
  put_u32(out, 8);   // debug data: "a.q"
  put_u8(out, record::key_table);
  put_name(out, "main_keys");
  put_u8(out, record::function);
  put_name(out, "do_it");
  put_u32(out, 4 + 1);  // one code byte
  put_u16(out, 1);      // reference area
  put_u16(out, 0);
  put_u16(out, 0);
  put_u16(out, 0);
  put_u8(out, 0);       // code
  put_u8(out, 0);       // reference area
  put_u8(out, record::command);
  put_name(out, "go_on");
  put_u32(out, 4 + 3);
  for (int i = 0; i < 4; ++i) put_u16(out, 0);
  for (int i = 0; i < 3; ++i) put_u8(out, 0);
  put_u8(out, record::key_binding);
  put_u8(out, 1);
  put_u32(out, 'g');
  put_u8(out, record::key_binding);
  put_u8(out, 1);
  put_u32(out, 0x201);
  put_u8(out, record::initialized_variable);
  put_u8(out, attribute::class_int);
  put_name(out, "count");
  put_name(out, "I");
  put_u32(out, 4);
  put_u32(out, 7);
  put_u8(out, record::end);
  put_u32(out, 4);
  put_u16(out, 'x');
  put_u16(out, 0);
  put_u32(out, 4);
  for (char c : std::string_view("a.q")) put_u8(out, static_cast<unsigned>(c));
  put_u8(out, 0);
  return out;
}

TEST(BytecodeIndex, ReadsFunctionsBindingsTablesAndDebugNames) {
  const ByteBuffer file = small_file();
  const auto index = lsp::index_bytecode(file);
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->key_tables, std::vector<std::string>{"main_keys"});
  ASSERT_EQ(index->functions.size(), 2u);
  const lsp::FunctionEntry& first = index->functions[0];
  EXPECT_EQ(first.name, "do_it");
  EXPECT_FALSE(first.command);
  EXPECT_EQ(first.code_bytes, 1u);
  EXPECT_EQ(first.record_at, function_at);
  EXPECT_EQ(first.end_at, function_at + 1 + 6 + 12 + 1 + 1);
  EXPECT_TRUE(first.bindings.empty());
  const lsp::FunctionEntry& second = index->functions[1];
  EXPECT_EQ(second.name, "go_on");
  EXPECT_TRUE(second.command);
  EXPECT_EQ(second.code_bytes, 3u);
  EXPECT_EQ(second.record_at, first.end_at);
  // Its block reaches past both bindings, to the variable record.
  EXPECT_EQ(second.end_at, second.record_at + 1 + 6 + 12 + 3 + 2 * 6);
  EXPECT_EQ(lsp::binding_texts(*index, "go_on"),
            (std::vector<std::string>{"g", "F1"}));
  EXPECT_EQ(index->debug_names, (std::map<std::uint32_t, std::string>{{0, "a.q"}}));
}

TEST(BytecodeIndex, RefusesEveryCutAndBadRecord) {
  const ByteBuffer file = small_file();
  for (std::size_t size = 0; size < file.size(); ++size)
    EXPECT_FALSE(lsp::index_bytecode(std::span(file).first(size)).has_value()) << size;
  ByteBuffer longer = file;
  longer.push_back(0);
  EXPECT_FALSE(lsp::index_bytecode(longer).has_value());

  ByteBuffer version = file;
  version[4] ^= 1;
  EXPECT_FALSE(lsp::index_bytecode(version).has_value());

  // A binding right after the key table, with no function before it.
  ByteBuffer stray = file;
  stray[function_at] = record::key_binding;
  EXPECT_FALSE(lsp::index_bytecode(stray).has_value());

  ByteBuffer unknown = file;
  unknown[function_at] = 99;
  EXPECT_FALSE(lsp::index_bytecode(unknown).has_value());

  // A code length that leaves no room for the four fields before the code.
  ByteBuffer short_code = file;
  short_code[function_at + 1 + 6] = 3;
  EXPECT_FALSE(lsp::index_bytecode(short_code).has_value());

  // A code length far past the end of the file.
  ByteBuffer huge = file;
  huge[function_at + 1 + 6 + 3] = 0xFF;
  EXPECT_FALSE(lsp::index_bytecode(huge).has_value());
}

TEST(BytecodeIndex, SurvivesEveryByteChanged) {
  const ByteBuffer file = small_file();
  for (std::size_t at = 0; at < file.size(); ++at)
    for (unsigned value : {0u, 1u, 0x7Fu, 0xFFu}) {
      ByteBuffer changed = file;
      changed[at] = static_cast<std::uint8_t>(value);
      const auto index = lsp::index_bytecode(changed);
      if (!index) continue;
      for (const lsp::FunctionEntry& entry : index->functions) {
        EXPECT_LE(entry.record_at, entry.end_at);
        EXPECT_LE(entry.end_at, changed.size());
        for (const lsp::KeyBinding& binding : entry.bindings)
          lsp::binding_text(*index, binding);
      }
    }
}

// -------------------------------------------------- the view of analyses

constexpr const char* view_program = R"(keytable keys, ctlx_keys;

/* adds one */
int next(int n)
{
        if (n > 0) {
                return n + 1;
        }
        return 1;
}

/* between the two */

command go() on keys['g'], ctlx_keys['U' - '@']
{
        say("%d", next(2));
}

command idle()
{
}

int sign(int n)
{
        if (n < 0) {
                return -1;
        }
}
)";

struct ViewCase {
  test::ScratchDir dir;
  lsp::Document document;
  lsp::Analysis analysis;

  explicit ViewCase(const std::string& text) {
    const std::string path = dir.path() + "/view.q";
    document.uri = lsp::path_to_uri(path);
    document.path = path;
    document.set_text(text);
    std::map<std::string, lsp::Document> open{{document.uri, document}};
    analysis = lsp::analyze(document, open, {});
  }

  // The function listed for a 1-based line and a column, "" for none.
  std::string listed_at(int line, int character = 0) {
    const lsp::Json result = lsp::disassembly(analysis, document, {line - 1, character});
    return result.is_null() ? "" : result["name"].get<std::string>();
  }
};

TEST(BytecodeView, FunctionOfEachLine) {
  ViewCase c(view_program);
  ASSERT_EQ(c.analysis.session.status, 0) << c.analysis.session.console;
  EXPECT_EQ(c.listed_at(1), "");
  EXPECT_EQ(c.listed_at(3), "");
  for (int line = 4; line <= 10; ++line) EXPECT_EQ(c.listed_at(line), "next") << line;
  EXPECT_EQ(c.listed_at(11), "");
  EXPECT_EQ(c.listed_at(12), "");
  for (int line = 14; line <= 17; ++line) EXPECT_EQ(c.listed_at(line), "go") << line;
  // The name of a function picks it even inside another body.
  EXPECT_EQ(c.listed_at(16, 19), "next");
  for (int line = 19; line <= 21; ++line) EXPECT_EQ(c.listed_at(line), "idle") << line;
  EXPECT_EQ(c.listed_at(22), "");
  // Every closing brace after the last line of code.
  for (int line = 23; line <= 28; ++line) EXPECT_EQ(c.listed_at(line), "sign") << line;
  EXPECT_EQ(c.listed_at(29), "");
}

TEST(BytecodeView, ListingShowsTheSourceUnderEachDebugLine) {
  ViewCase c(view_program);
  const lsp::Json result = c.analysis.session.status == 0
                               ? lsp::disassembly(c.analysis, c.document, {15, 0})
                               : lsp::Json();
  ASSERT_TRUE(result.is_object());
  const std::string listing = result["listing"];
  EXPECT_TRUE(listing.starts_with("@")) << listing;
  EXPECT_NE(listing.find(" command go\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("  OP_DEBUG_LINE 16\n          ; 16:         say(\"%d\", next(2));\n"),
            std::string::npos)
      << listing;
  EXPECT_NE(listing.find("@"), listing.rfind("@")) << "key bindings are listed";
  EXPECT_EQ(listing.find("command idle"), std::string::npos);
}

TEST(BytecodeView, LensesOfEachFunction) {
  ViewCase c(view_program);
  const lsp::Json lenses = lsp::code_lenses(c.analysis, c.document);
  std::vector<std::string> titles;
  for (const lsp::Json& lens : lenses) {
    titles.push_back(lens["command"]["title"]);
    EXPECT_EQ(lens["command"]["command"], lsp::disassemble_command);
    EXPECT_EQ(lens["command"]["arguments"][0], c.document.uri);
    EXPECT_EQ(lens["command"]["arguments"][1], lens["range"]["start"]);
  }
  ASSERT_EQ(titles.size(), 6u);
  EXPECT_TRUE(titles[0].ends_with(" bytes of code"));
  EXPECT_EQ(titles[1], "g \u00b7 C-x C-u");
  EXPECT_EQ(titles[3], "no key bindings");
  EXPECT_EQ(lenses[0]["range"]["start"], (lsp::Json{{"line", 3}, {"character", 4}}));
  EXPECT_EQ(lenses[1]["range"]["start"], (lsp::Json{{"line", 13}, {"character", 8}}));
  EXPECT_EQ(lsp::command_bindings(c.analysis, "go"),
            (std::vector<std::string>{"g", "C-x C-u"}));
}

TEST(BytecodeView, NothingWithoutBytecode) {
  ViewCase c(std::string(view_program) + "int broken(\n");
  ASSERT_NE(c.analysis.session.status, 0);
  EXPECT_TRUE(lsp::code_lenses(c.analysis, c.document).empty());
  EXPECT_EQ(c.listed_at(5), "");
  EXPECT_TRUE(lsp::command_bindings(c.analysis, "go").empty());
}

TEST(BytecodeView, CommandArgumentsStandForTheRequest) {
  const lsp::Json position{{"line", 3}, {"character", 4}};
  const auto params = lsp::disassemble_command_params(
      {{"command", "qxl.disassemble"}, {"arguments", {"file:///a.q", position}}});
  ASSERT_TRUE(params.has_value());
  EXPECT_EQ(*params, (lsp::Json{{"textDocument", {{"uri", "file:///a.q"}}},
                                {"position", position}}));
  for (const lsp::Json& bad : {
           lsp::Json{{"command", "qxl.other"}, {"arguments", {"file:///a.q", position}}},
           lsp::Json{{"command", "qxl.disassemble"}},
           lsp::Json{{"command", "qxl.disassemble"}, {"arguments", {"file:///a.q"}}},
           lsp::Json{{"command", "qxl.disassemble"}, {"arguments", {position, "file:///a.q"}}},
           lsp::Json{{"command", "qxl.disassemble"}, {"arguments", "file:///a.q"}},
           lsp::Json{{"command", 7}, {"arguments", {"file:///a.q", position}}},
           lsp::Json::array(), lsp::Json()})
    EXPECT_FALSE(lsp::disassemble_command_params(bad).has_value()) << bad.dump();
}

}  // namespace
}  // namespace qxl
