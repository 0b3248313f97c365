#include "source/macros.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace qxl {
namespace {

struct Expansion {
  int status;
  std::string tokens;   // token texts separated by blanks
  std::string console;  // messages, "test.q 1: " prefix included
};

// Enters the #define lines (text after "#define"), then scans `text` to its
// end with macros expanded.
Expansion expand(const std::vector<std::string>& defines, std::string_view text) {
  std::string tokens;
  test::RunResult result = test::run_on_text(text, [&] {
    for (const std::string& line : defines) define_directive(line);
    for (;;) {
      const TokenCode code = scan_token();
      if (code == tok::end_of_input) break;
      if (!tokens.empty()) tokens += ' ';
      tokens += token_text();
    }
    // Every expansion has ended with the text.
    EXPECT_EQ(macros.expansion_depth, 0);
    EXPECT_TRUE(macros.frames.empty());
  });
  return {result.status, tokens, result.console};
}

TEST(NextParamName, StepsOverNamesAndCommas) {
  test::run_on_text("", [] {
    std::string_view cursor = " a , b_2,c ";
    EXPECT_EQ(next_param_name(cursor), "a");
    EXPECT_EQ(cursor, " b_2,c ");
    EXPECT_EQ(next_param_name(cursor), "b_2");
    EXPECT_EQ(next_param_name(cursor), "c");
    EXPECT_TRUE(cursor.empty());
    // Names longer than any fixed buffer are taken whole.
    const std::string long_name(400, 'n');
    cursor = long_name;
    EXPECT_EQ(next_param_name(cursor), long_name);
  });
}

TEST(NextParamName, BadNames) {
  auto failure = [](std::string params) {
    return test::run_on_text("", [&] {
             std::string_view cursor = params;
             next_param_name(cursor);
             next_param_name(cursor);
           }).console;
  };
  EXPECT_EQ(failure("1a"), "test.q 1: bad argument name\n");
  EXPECT_EQ(failure("a,,b"), "test.q 1: bad argument name\n");
  EXPECT_EQ(failure("a,"), "test.q 1: bad argument name\n");
  EXPECT_EQ(failure("a b, c"), "test.q 1: bad argument name at b, c\n");
  EXPECT_EQ(failure("a+b"), "test.q 1: bad argument name at +b\n");
}

TEST(DefineDirective, NameParametersAndBody) {
  test::run_on_text("", [] {
    define_directive("OBJ  1 + 2");
    define_directive("FN(a, b) a*b");
    define_directive("EMPTY() 7");
    define_directive("NOBODY");
    define_directive("GLUED+1 2");  // not separated: the body starts at '+'
    auto definition = [](const char* name) {
      lookup_symbol(name, tok::identifier);
      return symbols.current->macro;
    };
    ASSERT_NE(definition("OBJ"), nullptr);
    EXPECT_FALSE(definition("OBJ")->params);
    EXPECT_EQ(definition("OBJ")->body, "1 + 2");
    EXPECT_EQ(definition("FN")->params, "a, b");
    EXPECT_EQ(definition("FN")->body, "a*b");
    EXPECT_EQ(definition("EMPTY")->params, "");
    EXPECT_EQ(definition("EMPTY")->body, "7");
    EXPECT_EQ(definition("NOBODY")->body, "");
    EXPECT_EQ(definition("GLUED")->body, "+1 2");
    // Reserved words are ordinary names for macros.
    define_directive("int short");
    EXPECT_EQ(definition("int")->body, "short");
  });
}

TEST(DefineMacro, RedefinitionWarnsOnlyWhenDifferent) {
  auto console = [](std::vector<std::string> lines) {
    return test::run_on_text("", [&] {
             for (const std::string& line : lines) define_directive(line);
           }).console;
  };
  const std::string warning =
      "test.q 1: warning: redefinition of macro A does not match previous "
      "definition\n";
  EXPECT_EQ(console({"A 1", "A 1"}), "");
  EXPECT_EQ(console({"A(x) x", "A(x) x"}), "");
  EXPECT_EQ(console({"A 1", "A 2"}), warning);
  EXPECT_EQ(console({"A(x) x", "A(y) y"}), warning);
  // No parentheses and empty parentheses differ.
  EXPECT_EQ(console({"A 1", "A() 1"}), warning);
  EXPECT_EQ(console({"A() 1", "A 1"}), warning);

  // The new definition replaces the old one all the same.
  EXPECT_EQ(expand({"A 1", "A 2"}, "A").tokens, "2");
}

TEST(DefineMacro, RecordsAreReused) {
  test::run_on_text("", [] {
    for (int round = 0; round < 100; ++round) {
      define_directive("A " + std::to_string(round));
      undef_directive("A");
    }
    EXPECT_LE(macros.records.size(), 2u);
    lookup_symbol("A", tok::identifier);
    EXPECT_EQ(symbols.current->macro, nullptr);
    // #undef takes the whole text as the name.
    define_directive("B 1");
    undef_directive("B C");
    lookup_symbol("B", tok::identifier);
    EXPECT_NE(symbols.current->macro, nullptr);
    undef_directive("");
  });
}

TEST(ExpandMacro, ArgumentsAreBoundLazilyAtTheirOwnDepth) {
  // y is bound to the text "x", which is read back at the level where x
  // is bound to v.
  EXPECT_EQ(expand({"F(x) G(x)", "G(y) y+1"}, "F(v)").tokens, "v + 1");
  // Inside G's body only G's binding is visible: the x there is the
  // #define, not F's parameter.
  EXPECT_EQ(expand({"F(x) G(x)", "G(y) y+x", "x 100"}, "F(2)").tokens,
            "2 + 100");
  // A macro used inside an argument runs at the depth of the body that
  // uses the argument, so it sees that body's parameters.
  // Here R, written in Q's text, is read as P's argument and sees P's c.
  EXPECT_EQ(expand({"P(b, c) b", "Q(a) P(R, 5)", "R c"}, "Q(1)").tokens, "5");
  // Arguments are expanded only when read, and the same names can be bound
  // by several calls at once: each reads its own.
  EXPECT_EQ(expand({"F(a) G(a, (a))", "G(a, b) a b"}, "F(F(1))").tokens,
            "1 ( 1 ) ( 1 ( 1 ) )");
  // Bindings end with their expansion.
  EXPECT_EQ(expand({"F(a) a"}, "F(1) a").tokens, "1 a");
}

TEST(ExpandMacro, NestingIsBoundedButSequencesAreNot) {
  EXPECT_EQ(expand({"X X+1"}, "X").console,
            "test.q 1: macro X nested more than 1000 deep, does it use "
            "itself?\n");
  // Each expansion ends before the next begins, however many there are,
  // and a text ending in a function-like name takes its arguments from
  // after the call.
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "N ";
  EXPECT_EQ(expand({"N 1"}, many).status, 0);
  EXPECT_EQ(expand({"CALL F", "F(x) <x>"}, "CALL(9)").tokens, "< 9 >");
}
TEST(ExpandMacro, ExpansionWorkIsBoundedPerUse) {
  const auto run = [](std::string_view text) {
    return test::run_on_text(text, [] {
      macros.expansion_budget = 10;
      define_directive("A0 x");
      define_directive("A1 A0 A0");
      define_directive("A2 A1 A1");
      define_directive("A3 A2 A2");
      while (scan_token() != tok::end_of_input) {
      }
    });
  };
  // A2 takes 7 expansions: any number of uses of it stay within the budget.
  std::string many;
  for (int i = 0; i < 50; ++i) many += "A2 ";
  EXPECT_EQ(run(many).status, 0);
  // A3 takes 15, counting the macros its text uses.
  EXPECT_EQ(run("A2 A3").console,
            "test.q 1: macro A3 expands into more than 10 macros, does one "
            "use itself?\n");
  macros.reset();
}

TEST(ExpandMacro, ExpansionWorkAddsUpOverTheCompile) {
  const auto run = [](std::string_view text) {
    return test::run_on_text(text, [] {
      macros.total_budget = 30;
      macros.expansions_per_byte = 1;
      reader.bytes_read = 12;  // as if read from a file
      define_directive("A0 x");
      define_directive("A1 A0 A0");
      define_directive("A2 A1 A1");
      while (scan_token() != tok::end_of_input) {
      }
    });
  };
  // Each use of A2 takes 7 expansions: 6 of them stay within 30 + 12, the
  // seventh goes beyond.
  EXPECT_EQ(run("A2 A2 A2 A2 A2 A2").status, 0);
  EXPECT_EQ(run("A2 A2 A2 A2 A2 A2 A2").console,
            "test.q 1: more than 42 macro expansions in 12 bytes of source, "
            "does a macro use itself?\n");
  macros.reset();
}

TEST(Visibility, BindingsAreSeenOnlyAtTheirDepth) {
  test::run_on_text("", [] {
    define_directive("a 0");
    lookup_symbol("a", tok::identifier);
    Symbol* a = symbols.current;
    MacroDef* definition = a->macro;
    MacroDef binding;
    binding.body = "1";
    binding.depth = 2;
    binding.hidden = definition;
    a->macro = &binding;

    macros.expansion_depth = 0;
    EXPECT_EQ(find_visible_macro(a), definition);
    macros.expansion_depth = 2;
    EXPECT_EQ(find_visible_macro(a), &binding);
    macros.expansion_depth = 3;
    EXPECT_EQ(find_visible_macro(a), definition);
    EXPECT_TRUE(macro_is_defined(a));

    // Without the #define, the name is defined only at the binding's
    // depth; #ifdef sees any definition.
    binding.hidden = nullptr;
    EXPECT_FALSE(macro_is_defined(a));
    EXPECT_TRUE(macro_has_definition(a));
    macros.expansion_depth = 2;
    EXPECT_TRUE(macro_is_defined(a));
    a->macro = definition;
    macros.expansion_depth = 0;
  });
}

TEST(ReadDefinedOperand, ReadsTheNameWithoutExpandingIt) {
  auto operand = [](std::string_view text, int* status = nullptr) {
    int result = -2;
    test::RunResult r = test::run_on_text(text, [&] {
      define_directive("X Y");
      result = read_defined_operand();
    });
    if (status != nullptr) *status = r.status;
    return result;
  };
  EXPECT_EQ(operand(" \t\n X)"), 1);
  EXPECT_EQ(operand("Y)"), 0);
  EXPECT_EQ(operand("  "), -1);
  int status = 0;
  operand("3)", &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(test::run_on_text("(X)", [] { read_defined_operand(); }).console,
            "test.q 1: bad defined() syntax\n");
}

}  // namespace
}  // namespace qxl
