// The language server's records of macros, structures, key tables and
// color classes: what one compile in memory leaves in its session.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/session.h"
#include "test_support.h"

namespace qxl {
namespace {

constexpr const char* header_text = R"(#define LIMIT 40
#define MAX(a, b) ((a) > (b) ? (a) : (b))
#define NOTHING()
#define INNER 3
#define OUTER (INNER + 1)
struct pair {
        int left;
        struct pair *next;
        char name[3];
        short tail;
};
union either { int whole; char half; };
typedef struct { byte set; int count; } Flags;
)";

constexpr const char* main_text = R"(#include "defs.h"
keytable first_keys, second_keys;
color_class plain = 0x102030 on 0x405060, echo = color_class plain,
            loud { color_scheme "dark" 0xff0000; };
color_scheme "dark" color_class plain 1 on 2, "light";
struct pair head;
Flags flags;
f()
{
        struct pair *p = &head;
        p->next->left = MAX(head.left, LIMIT) + NOTHING() 1;
        flags.count = color_class echo + OUTER;
}
#undef LIMIT
)";

struct Compiled {
  test::ScratchDir dir;
  CompileSession session;
};

void compile(Compiled& c, const std::string& main, const std::string& header) {
  c.dir.write("defs.h", header);
  const std::string path = c.dir.path() + "/main.q";
  c.session.texts[normal_path(path)] = main;
  run_session(c.session, {}, path);
}

// The entries of a class with this name, in the order they were recorded.
std::vector<const NameRecord*> named(const CompileSession& s, NameClass k,
                                     const std::string& name) {
  std::vector<const NameRecord*> found;
  for (const NameRecord& n : s.names)
    if (n.name_class == k && n.name == name) found.push_back(&n);
  return found;
}

std::size_t index_of(const CompileSession& s, const NameRecord* n) {
  return static_cast<std::size_t>(n - s.names.data());
}

int uses_of(const CompileSession& s, const NameRecord* n) {
  int count = 0;
  for (const NameUse& use : s.uses) count += use.name == index_of(s, n);
  return count;
}

TEST(LspRecords, MacrosKeepTheirTextSiteUsesAndRemoval) {
  Compiled c;
  compile(c, main_text, header_text);
  ASSERT_EQ(c.session.status, 0) << c.session.console;
  const CompileSession& s = c.session;
  const auto max = named(s, NameClass::macro, "MAX");
  ASSERT_EQ(max.size(), 1u);
  const MacroRecord& m = s.macros[max[0]->detail];
  EXPECT_TRUE(m.function_like);
  EXPECT_EQ(m.params, "a, b");
  EXPECT_EQ(m.body, "((a) > (b) ? (a) : (b))");
  EXPECT_EQ(s.files[max[0]->sites[0].file].substr(s.files[max[0]->sites[0].file].size() - 6),
            "defs.h");
  EXPECT_EQ(max[0]->sites[0].line, 2);
  EXPECT_EQ(uses_of(s, max[0]), 1);
  // An empty parameter list is still function-like; no list is not.
  const auto nothing = named(s, NameClass::macro, "NOTHING");
  ASSERT_EQ(nothing.size(), 1u);
  EXPECT_TRUE(s.macros[nothing[0]->detail].function_like);
  EXPECT_EQ(s.macros[nothing[0]->detail].params, "");
  const auto limit = named(s, NameClass::macro, "LIMIT");
  ASSERT_EQ(limit.size(), 1u);
  const MacroRecord& l = s.macros[limit[0]->detail];
  EXPECT_FALSE(l.function_like);
  EXPECT_EQ(l.body, "40");
  EXPECT_EQ(l.undef.line, 14);
  // A macro used only in another's text has no use in the source.
  const auto inner = named(s, NameClass::macro, "INNER");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(uses_of(s, inner[0]), 0);
  EXPECT_EQ(uses_of(s, named(s, NameClass::macro, "OUTER").at(0)), 1);
  // The use in MAX's argument, read at both places of its parameter, and
  // the #undef line.
  EXPECT_EQ(uses_of(s, limit[0]), 3);
  // The -d options' macros and the compile's own are there without a site.
  for (const MacroRecord& predefined : s.macros) {
    if (predefined.predefined) {
      EXPECT_TRUE(s.names[predefined.name].sites.empty());
    }
  }
  // The parameters are bound, not used as macros of their own.
  EXPECT_TRUE(named(s, NameClass::macro, "a").empty());
}

TEST(LspRecords, StructuresKnowTheirMembersOffsetsAndSizes) {
  Compiled c;
  compile(c, main_text, header_text);
  ASSERT_EQ(c.session.status, 0) << c.session.console;
  const CompileSession& s = c.session;
  const auto pair = named(s, NameClass::structure, "pair");
  ASSERT_EQ(pair.size(), 1u);
  const StructureRecord& record = s.structures[pair[0]->detail];
  EXPECT_FALSE(record.is_union);
  // int 4, pointer 12, three 16-bit characters, short 2: packed, then the
  // total rounded up to a multiple of 4.
  EXPECT_EQ(record.size, 24);
  ASSERT_EQ(record.members.size(), 4u);
  const std::vector<std::pair<std::int64_t, std::int64_t>> expected{
      {0, 4}, {4, 12}, {16, 6}, {22, 2}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const NameRecord& member = s.names[record.members[i]];
    EXPECT_EQ(s.members[member.detail].offset, expected[i].first) << member.name;
    EXPECT_EQ(s.members[member.detail].size, expected[i].second) << member.name;
    EXPECT_EQ(s.members[member.detail].structure, pair[0]->detail);
  }
  // A member that points to its own structure leads back to it.
  EXPECT_EQ(s.names[record.members[1]].structure, static_cast<int>(pair[0]->detail));
  EXPECT_EQ(s.names[record.members[0]].structure, -1);
  // Uses: "struct pair" twice in main.q and once in its own body; left
  // after "->" once and in MAX's argument, which is read twice.
  EXPECT_EQ(uses_of(s, pair[0]), 3);
  EXPECT_EQ(uses_of(s, &s.names[record.members[0]]), 3);
  EXPECT_EQ(uses_of(s, &s.names[record.members[1]]), 1);

  const auto either = named(s, NameClass::structure, "either");
  ASSERT_EQ(either.size(), 1u);
  EXPECT_TRUE(s.structures[either[0]->detail].is_union);
  for (const std::size_t m : s.structures[either[0]->detail].members)
    EXPECT_EQ(s.members[s.names[m].detail].offset, 0);

  // A structure without tag takes the name its typedef gives it, and the
  // variables of that type know their structure.
  const auto untagged = named(s, NameClass::structure, "");
  ASSERT_EQ(untagged.size(), 1u);
  EXPECT_EQ(s.structures[untagged[0]->detail].type_name, "Flags");
  const auto flags = named(s, NameClass::declared, "flags");
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_EQ(flags[0]->structure, static_cast<int>(untagged[0]->detail));
  const auto head = named(s, NameClass::declared, "head");
  ASSERT_EQ(head.size(), 1u);
  EXPECT_EQ(head[0]->structure, static_cast<int>(pair[0]->detail));
}

TEST(LspRecords, TheEditorsStructuresHaveNoSite) {
  Compiled c;
  compile(c, "mouse_cursor_use()\n{\n        struct mouse_cursor m;\n"
             "        m.hot_y = 1;\n}\n",
          "");
  ASSERT_EQ(c.session.status, 0) << c.session.console;
  const CompileSession& s = c.session;
  const auto cursor = named(s, NameClass::structure, "mouse_cursor");
  ASSERT_EQ(cursor.size(), 1u);
  EXPECT_TRUE(cursor[0]->sites.empty());
  const StructureRecord& record = s.structures[cursor[0]->detail];
  EXPECT_TRUE(record.builtin);
  // Two 32-byte bitmaps, two bytes and a short: 68, rounded up.
  EXPECT_EQ(record.size, 68);
  const auto hot_y = named(s, NameClass::member, "hot_y");
  ASSERT_EQ(hot_y.size(), 1u);
  EXPECT_TRUE(hot_y[0]->sites.empty());
  EXPECT_EQ(s.members[hot_y[0]->detail].offset, 65);
  EXPECT_EQ(uses_of(s, hot_y[0]), 1);
  EXPECT_EQ(uses_of(s, cursor[0]), 1);
  // No file was added for them.
  for (const std::string& file : s.files) EXPECT_FALSE(file.empty());
}

TEST(LspRecords, ColorClassesSchemesAndKeyTables) {
  Compiled c;
  compile(c, main_text, header_text);
  ASSERT_EQ(c.session.status, 0) << c.session.console;
  const CompileSession& s = c.session;
  const auto plain = named(s, NameClass::color_class, "plain");
  const auto echo = named(s, NameClass::color_class, "echo");
  const auto loud = named(s, NameClass::color_class, "loud");
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(echo.size(), 1u);
  ASSERT_EQ(loud.size(), 1u);
  const ColorClassRecord& p = s.color_classes[plain[0]->detail];
  EXPECT_EQ(p.number, 0);
  EXPECT_TRUE(p.has_default);
  EXPECT_EQ(p.default_value.same_as, -1);
  EXPECT_EQ(p.default_value.foreground, 0x102030u);
  EXPECT_TRUE(p.default_value.has_background);
  EXPECT_EQ(p.default_value.background, 0x405060u);
  EXPECT_EQ(s.color_classes[echo[0]->detail].default_value.same_as, 0);
  EXPECT_EQ(s.color_classes[echo[0]->detail].number, 1);
  EXPECT_EQ(s.color_classes[loud[0]->detail].number, 2);
  EXPECT_FALSE(s.color_classes[loud[0]->detail].has_default);
  // plain: in echo's value and in the "dark" scheme; echo: in f.
  EXPECT_EQ(uses_of(s, plain[0]), 2);
  EXPECT_EQ(uses_of(s, echo[0]), 1);

  // "dark" is named twice: one scheme with two sites and both classes.
  const auto dark = named(s, NameClass::color_scheme, "dark");
  ASSERT_EQ(dark.size(), 1u);
  EXPECT_EQ(dark[0]->sites.size(), 2u);
  const ColorSchemeRecord& scheme = s.color_schemes[dark[0]->detail];
  EXPECT_EQ(scheme.numbers, (std::vector<int>{0, 1}));
  EXPECT_EQ(scheme.classes,
            (std::vector<std::size_t>{index_of(s, loud[0]), index_of(s, plain[0])}));
  const auto light = named(s, NameClass::color_scheme, "light");
  ASSERT_EQ(light.size(), 1u);
  EXPECT_TRUE(s.color_schemes[light[0]->detail].classes.empty());

  const auto second = named(s, NameClass::declared, "second_keys");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]->key_table, 2);
}

TEST(LspRecords, ABrokenCompileKeepsWhatItRead) {
  // The body of the structure never closes: the members read are kept,
  // its size is unknown, and the next compile starts from nothing.
  Compiled c;
  compile(c, "#include \"defs.h\"\n#define TWICE(x) x x\nstruct open { int a; int b\n",
          "");
  EXPECT_NE(c.session.status, 0);
  const CompileSession& s = c.session;
  const auto open = named(s, NameClass::structure, "open");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(s.structures[open[0]->detail].size, -1);
  EXPECT_EQ(s.structures[open[0]->detail].members.size(), 2u);
  EXPECT_EQ(named(s, NameClass::macro, "TWICE").size(), 1u);
  EXPECT_TRUE(s.live_members.empty());
  EXPECT_TRUE(s.structure_types.empty());

  const std::string path = c.dir.path() + "/main.q";
  c.session.texts[normal_path(path)] = "int x;\n";
  run_session(c.session, {}, path);
  EXPECT_EQ(c.session.status, 0);
  // Only the compile's own predefinitions are left, and none has a site.
  for (const MacroRecord& m : c.session.macros) {
    EXPECT_TRUE(m.predefined);
    EXPECT_TRUE(c.session.names[m.name].sites.empty());
  }
  // The editor's two structures with their ten members.
  EXPECT_EQ(c.session.structures.size(), 2u);
  for (const StructureRecord& structure : c.session.structures)
    EXPECT_TRUE(structure.builtin);
  EXPECT_EQ(c.session.members.size(), 10u);
}

}  // namespace
}  // namespace qxl
