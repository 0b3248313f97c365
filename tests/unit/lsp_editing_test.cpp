// The language server's editing help that text alone decides: the C-like
// prototypes of the primitives and their parameters' places, the open call
// before a cursor, names that a rename may give, and the symbol query.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "tools/c_prototypes.h"
#include "tools/lsp/editing.h"
#include "types/builtins.h"

namespace qxl::lsp {
namespace {

const PrimitiveRow& row_named(std::string_view name) {
  for (const PrimitiveRow& row : primitive_table())
    if (row.name == name) return row;
  ADD_FAILURE() << "no primitive " << name;
  return primitive_table().front();
}

std::string_view slice(const std::string& text, std::size_t start, std::size_t end) {
  return std::string_view(text).substr(start, end - start);
}

TEST(PrimitivePrototypes, ReadLikeCDeclarations) {
  EXPECT_EQ(primitive_prototype(row_named("parse_string")).text,
            "int parse_string(int, char *[, char *])");
  EXPECT_EQ(primitive_prototype(row_named("sprintf")).text,
            "short sprintf(char *, char *, ...)");
  EXPECT_EQ(primitive_prototype(row_named("in_macro")).text, "short in_macro([int])");
  EXPECT_EQ(primitive_prototype(row_named("setjmp")).text, "short setjmp(jmp_buf *)");
  EXPECT_EQ(primitive_result_text(row_named("say")), "short");
  EXPECT_EQ(primitive_reference(row_named("say")),
            "primitive 101, any number of argument words, signature `*C;>`");
  EXPECT_EQ(primitive_reference(row_named("parse_string")),
            "primitive " + std::to_string(row_named("parse_string").number) +
                ", 4 to 7 argument words, signature `I;*C;?*C;`");
}

TEST(PrimitivePrototypes, EveryParameterPlaceHoldsItsType) {
  for (const PrimitiveRow& row : primitive_table()) {
    SCOPED_TRACE(std::string(row.name));
    const CPrototype& p = primitive_prototype(row);
    std::size_t after = p.text.find(std::string(row.name) + "(");
    ASSERT_NE(after, std::string::npos);
    for (const PrototypeParameter& parameter : p.parameters) {
      ASSERT_LE(parameter.end, p.text.size());
      EXPECT_EQ(slice(p.text, parameter.start, parameter.end), parameter.c_type);
      EXPECT_GT(parameter.start, after);  // in order, after the name
      after = parameter.end;
    }
    if (p.variadic) {
      EXPECT_EQ(slice(p.text, p.variadic_start, p.variadic_end), "...");
      EXPECT_GT(p.variadic_start, after);
    }
  }
  // A result type around the call shifts the places with it.
  const CPrototype& tail = primitive_prototype(row_named("get_tail"));
  ASSERT_EQ(tail.parameters.size(), 2u);
  EXPECT_EQ(tail.text, "char *get_tail(char *[, int])");
  EXPECT_EQ(tail.parameters[0].start, std::string_view("char *get_tail(").size());
  EXPECT_TRUE(tail.parameters[1].optional);
}

TEST(PrimitivePrototypes, MalformedSignaturesReadAsUnknownTypes) {
  const TypeNames names;
  for (std::string_view bad : {"S{", "*", "[12", "?", ">", "S", "Q;Q", "[", "S{I", "**"}) {
    SCOPED_TRACE(std::string(bad));
    const CPrototype p = parse_signature(names, bad);
    for (const PrototypeParameter& parameter : p.parameters)
      EXPECT_FALSE(parameter.c_type.empty());
  }
  const CPrototype odd = parse_signature(names, "Q;I;>");
  ASSERT_EQ(odd.parameters.size(), 2u);
  EXPECT_EQ(odd.parameters[0].c_type, "?");
  EXPECT_EQ(odd.parameters[1].c_type, "int");
  EXPECT_TRUE(odd.variadic);
}

// The call open at the '|' of `marked`, as "name argument", or "none".
std::string call_at(std::string_view marked) {
  const std::size_t cursor = marked.find('|');
  std::string text(marked.substr(0, cursor));
  text += marked.substr(cursor + 1);
  const std::optional<OpenCall> call = open_call_at(text, cursor);
  if (!call) return "none";
  return text.substr(call->name_start, call->name_end - call->name_start) + " " +
         std::to_string(call->argument);
}

TEST(OpenCall, CountsTheCommasOfTheInnermostCall) {
  EXPECT_EQ(call_at("f(|"), "f 0");
  EXPECT_EQ(call_at("x = f(a, b|"), "f 1");
  EXPECT_EQ(call_at("f(a, g(b, c|), d)"), "g 1");
  EXPECT_EQ(call_at("f(a, g(b, c), |d)"), "f 2");
  EXPECT_EQ(call_at("f (\n    a,\n    |"), "f 1");
  // Brackets and grouping parentheses inside an argument are passed over.
  EXPECT_EQ(call_at("f(t[1, 2], (a, b), |"), "f 2");
  EXPECT_EQ(call_at("f(a, t[i|"), "f 1");
  EXPECT_EQ(call_at("f(a, (b + |"), "f 1");
}

TEST(OpenCall, PassesOverConstantsAndComments) {
  EXPECT_EQ(call_at("say(\"a, (b\", |"), "say 1");
  EXPECT_EQ(call_at("say(\"a\\\", (b\", |"), "say 1");
  EXPECT_EQ(call_at("f(',', '(', '\\'', |"), "f 3");
  EXPECT_EQ(call_at("f(a /* , ( */, b // , (\n, |"), "f 2");
  // Inside a string argument the call is still the one around it.
  EXPECT_EQ(call_at("say(\"%d, |"), "say 0");
  // An unterminated constant ends at its line.
  EXPECT_EQ(call_at("f(\"open, (\n, |"), "f 1");
  EXPECT_EQ(call_at("/* f( */ |"), "none");
  EXPECT_EQ(call_at("// f(\n|"), "none");
}

TEST(OpenCall, FindsNoCallWhereThereIsNone) {
  EXPECT_EQ(call_at("|"), "none");
  EXPECT_EQ(call_at("f(a, b) |"), "none");
  EXPECT_EQ(call_at("if (a, |"), "none");
  EXPECT_EQ(call_at("while (f(a) && |"), "none");
  EXPECT_EQ(call_at("(a, |"), "none");
  EXPECT_EQ(call_at("3(a, |"), "none");
  // A call does not reach into a block opened inside it.
  EXPECT_EQ(call_at("f(a, {|"), "none");
  EXPECT_EQ(call_at("f(a) { g(b, |"), "g 1");
  // Closers without openers, and a brace closing an unfinished call.
  EXPECT_EQ(call_at(")]} f(|"), "f 0");
  EXPECT_EQ(call_at("f(a, \n}\ng(|"), "g 0");
  EXPECT_EQ(call_at("{ f(a, \n}\n |"), "none");
  // A place past the end is the end.
  EXPECT_FALSE(open_call_at("f(", 99) == std::nullopt);
  EXPECT_EQ(open_call_at("", 5), std::nullopt);
}

TEST(Rename, NewNamesMustBeFreeIdentifiers) {
  EXPECT_EQ(new_name_refusal("width2"), "");
  EXPECT_EQ(new_name_refusal("_x"), "");
  EXPECT_EQ(new_name_refusal(""), "'' is not an identifier");
  EXPECT_EQ(new_name_refusal("2x"), "'2x' is not an identifier");
  EXPECT_EQ(new_name_refusal("a-b"), "'a-b' is not an identifier");
  EXPECT_EQ(new_name_refusal("a b"), "'a b' is not an identifier");
  EXPECT_EQ(new_name_refusal("while"), "'while' is a reserved word");
  EXPECT_EQ(new_name_refusal("spot"), "'spot' is a reserved word");
  EXPECT_EQ(new_name_refusal("say"), "'say' is a primitive of the editor");
  EXPECT_EQ(new_name_refusal("point"), "'point' is a built-in variable");
  EXPECT_EQ(new_name_refusal("jmp_buf"), "'jmp_buf' is a built-in type name");
  EXPECT_EQ(new_name_refusal("UNICODE"), "'UNICODE' is a predefined macro");
}

TEST(WorkspaceSymbols, QueryIsACaseBlindSubsequence) {
  EXPECT_TRUE(matches_query("shared_count", ""));
  EXPECT_TRUE(matches_query("shared_count", "shc"));
  EXPECT_TRUE(matches_query("shared_count", "SHC"));
  EXPECT_TRUE(matches_query("shared_count", "shared_count"));
  EXPECT_FALSE(matches_query("shared_count", "chs"));
  EXPECT_FALSE(matches_query("shared_count", "shared_counts"));
  EXPECT_FALSE(matches_query("", "a"));
}

}  // namespace
}  // namespace qxl::lsp
