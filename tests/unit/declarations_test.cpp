#include "types/declarations.h"

#include <gtest/gtest.h>

#include "expression_support.h"

namespace qxl {
namespace {

// Reads "type declarator" from text and returns the declared name and the
// long form of its type.
class DeclaratorTest : public ::testing::Test, protected test::ExpressionFixture {
 protected:
  void SetUp() override { start(); }
  void TearDown() override { finish(); }

  std::string declared(std::string_view text, int level = 0) {
    console.clear();
    feed(text);
    try {
      next_token();
      Type* base = parse_type_specifier();
      declarations.current = Declarator{};
      parse_declarator(level);
      Declarator& d = declarations.current;
      Type* t = attach_base(d.chain, d.innermost, base);
      return std::string(d.name->name) + ": " + type_text(t);
    } catch (const CompileExit&) {
      return console;
    }
  }
};

TEST_F(DeclaratorTest, DerivationsReadOutsideIn) {
  EXPECT_EQ(declared("int *a[3]"), "a: array of 3 pointer to integer");
  EXPECT_EQ(declared("int (*a)[3]"), "a: pointer to array of 3 integer");
  EXPECT_EQ(declared("int (*f)()"), "f: pointer to function returning integer");
  EXPECT_EQ(declared("int *f()"), "f: function returning pointer to integer");
  EXPECT_EQ(declared("char **argv"), "argv: pointer to pointer to character");
  EXPECT_EQ(declared("int m[2][3]"), "m: array of 2 array of 3 integer");
  EXPECT_EQ(declared("int (*(*x)())[4]"),
            "x: pointer to function returning pointer to array of 4 integer");
}

TEST_F(DeclaratorTest, IntAndShortRuns) {
  EXPECT_EQ(declared("short int a"), "a: short");
  EXPECT_EQ(declared("int short a"), "a: short");
  EXPECT_EQ(declared("short short a"), "a: short");
  EXPECT_EQ(declared("int int a"), "a: integer");
  EXPECT_EQ(declared("byte b"), "b: byte");
  EXPECT_EQ(declared("spot s"), "s: spot");
}

TEST_F(DeclaratorTest, EmptyBracketsByLevel) {
  EXPECT_EQ(declared("int p[]", 1), "p: pointer to integer");
  EXPECT_EQ(declared("int g[]", 2), "g: array of -1 integer");
  EXPECT_EQ(declared("int l[]", 0), "e.q 1: expected expression, not ]\n");
  EXPECT_EQ(declared("int m[][2]", 2), "m: array of -1 array of 2 integer");
  EXPECT_EQ(declared("int n[2][]", 2), "e.q 1: expected expression, not ]\n");
}

TEST_F(DeclaratorTest, ParameterListIsLeftToTheCaller) {
  EXPECT_EQ(declared("int f(a)"), "f: integer");
  EXPECT_EQ(lexer.current_token, tok::lparen);
  next_token();
  EXPECT_EQ(lexer.current_token, tok::identifier);
}

TEST_F(DeclaratorTest, StructuresAndTags) {
  EXPECT_EQ(declared("struct node { int v; struct node *next; } n"),
            "n: structure of {v: integer, next: pointer to structure}");
  EXPECT_EQ(declared("struct node *p"),
            "p: pointer to structure of {v: integer, next: pointer to structure}");
  EXPECT_EQ(declared("union node *u"),
            "u: pointer to structure of {v: integer, next: pointer to structure}");
  EXPECT_EQ(declared("struct { int flags : 3; int other; } b"),
            "b: structure of {flags: integer, other: integer}");
  EXPECT_EQ(declared("int 5"), "e.q 1: bad declaration\n");
  EXPECT_EQ(declared("long x"), "e.q 1: bad type\n");
}

TEST_F(DeclaratorTest, DeepDeclaratorsAreRefused) {
  const std::string stars(5000, '*');
  EXPECT_EQ(declared("int " + stars + "p"), "e.q 1: declaration too complex\n");
  const std::string parens = std::string(5000, '(') + "p" + std::string(5000, ')');
  EXPECT_EQ(declared("int " + parens), "e.q 1: declaration too complex\n");
}

TEST_F(DeclaratorTest, StructuresCannotContainThemselves) {
  EXPECT_EQ(declared("struct p { int n; struct p self; } v"),
            "e.q 1: struct/union contains itself\n");
  EXPECT_EQ(declared("struct q { struct r { struct q outer[2]; } r; } v"),
            "e.q 1: struct/union contains itself\n");
  EXPECT_EQ(declared("union u { int n; union u *next; struct { union u *up; } s[2]; } v"),
            "v: union of {n: integer, next: pointer to union, s: array of 2 "
            "structure}");
}

TEST_F(DeclaratorTest, ValueNestingIsBounded) {
  // Structures with the given tags, each holding the next one (the last an
  // int) as an array of 330 dimensions.
  std::string dims;
  for (int i = 0; i < 330; ++i) dims += "[1]";
  const auto nested = [&](std::vector<std::string> tags) {
    std::string text = "int";
    for (auto tag = tags.rbegin(); tag != tags.rend(); ++tag)
      text = "struct " + *tag + " { " + text + " m" + dims + "; }";
    return text + " v";
  };
  // Three such levels stay within the bound, four go beyond it.
  EXPECT_EQ(declared(nested({"a", "b", "c"})).rfind("v: structure", 0), 0u);
  EXPECT_EQ(declared(nested({"d", "e", "f", "g"})),
            "e.q 1: declaration too complex\n");
}

TEST_F(DeclaratorTest, MembersOfManyAreFoundWithTheirOffsets) {
  // Enough members that they are found through an index: every one at the
  // offset the member walk gives, the first of a repeated name winning.
  std::string text = "struct many {";
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(i);
    text += i % 3 == 0   ? " char c" + n + ";"
            : i % 3 == 1 ? " int i" + n + "[" + std::to_string(i % 5 + 1) + "];"
                         : " struct { int a; char b; } s" + n + ";";
  }
  text += " int c0; } v";
  ASSERT_EQ(declared(text).rfind("v: structure", 0), 0u) << console;
  lookup_symbol("many", tok::identifier);
  Type* many = symbols.current->tag;
  ASSERT_NE(many, nullptr);
  const std::int64_t size = type_size(many, false);
  int count = 0;
  for (const Member* m = many->members; m != nullptr; m = m->next, ++count) {
    const MemberPlace place = find_member(many, m->name);
    if (count == 300) {
      // The second c0 is hidden by the first.
      EXPECT_EQ(place.member, many->members);
      EXPECT_EQ(place.offset, 0);
    } else {
      EXPECT_EQ(place.member, m) << m->name->name;
      EXPECT_EQ(place.offset, member_offset(many, m)) << m->name->name;
    }
  }
  EXPECT_EQ(count, 301);
  ASSERT_NE(many->facts, nullptr);
  EXPECT_EQ(many->facts->members_by_name.size(), 300u);
  lookup_symbol("not_a_member", tok::identifier);
  EXPECT_EQ(find_member(many, symbols.current).member, nullptr);
  // The size, kept once computed, is the sum of the members' sizes.
  EXPECT_EQ(type_size(many, false), size);
  EXPECT_EQ(size, member_offset(many, nullptr));
}

}  // namespace
}  // namespace qxl
