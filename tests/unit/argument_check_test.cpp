#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codegen/functions.h"
#include "expression_support.h"

namespace qxl {
namespace {

// Every argument type against every parameter code: a call is accepted,
// or refused with its message, exactly as the argument's full type code
// says, whether that code is found by the short way for scalars and
// pointers to them or built from the type.
TEST(ArgumentCheck, ShortCodesDecideAsTheFullTypeCode) {
  test::ExpressionFixture fixture;
  fixture.start();
  Type* structure = test::aggregate_type(TypeKind::struct_,
                                         {{"m", type_int}, {"n", type_char}});
  const std::vector<Type*> types = {
      type_int,
      type_char,
      type_short,
      type_byte,
      type_spot,
      make_type(TypeKind::pointer, type_char, 0),
      make_type(TypeKind::pointer, type_short, 0),
      make_type(TypeKind::pointer, type_byte, 0),
      make_type(TypeKind::pointer, type_int, 0),
      make_type(TypeKind::pointer, type_spot, 0),
      make_type(TypeKind::pointer, type_char, 12),  // an array
      make_type(TypeKind::pointer, make_type(TypeKind::pointer, type_char, 0), 0),
      make_type(TypeKind::pointer, structure, 0),
      make_type(TypeKind::pointer, test::function_returning(type_int), 0),
  };
  const std::vector<std::string> parameters = {
      "I", "C", "B", "T", ".", "*C", "*B", "*T", "*I", "*.", "**C", "*V",
      "*S-", "[12C]", "*(I)"};
  Symbol* callee_name = test::symbol_named("g");
  Declaration callee;
  callee.has_signature = true;
  int accepted = 0;
  int refused = 0;
  for (const std::string& parameter : parameters) {
    callee.signature = parameter + ";";
    for (Type* t : types) {
      const std::string code = type_signature(t, 0, true);
      bool expected = parameter.size() == code.size();
      for (std::size_t i = 0; expected && i < code.size(); ++i)
        expected = (parameter[i] == 'T' ? 'B' : parameter[i]) ==
                   (code[i] == 'T' ? 'B' : code[i]);
      if (parameter == "*V" && code.front() == '*') expected = true;
      if (parameter == "*S-" &&
          (code.rfind("*S", 0) == 0 || code.rfind("*U", 0) == 0))
        expected = true;
      SCOPED_TRACE(parameter + " given " + code);
      Node* argument = new_leaf(NodeOp::identifier, callee_name, t);
      fixture.console.clear();
      bool passed = true;
      try {
        check_arguments("g", &callee, std::span<Node* const>(&argument, 1));
      } catch (const CompileExit&) {
        passed = false;
      }
      EXPECT_EQ(passed, expected);
      if (expected) {
        ++accepted;
      } else {
        ++refused;
        EXPECT_NE(fixture.console.find(
                      "parameter 1 of g doesn't match declaration: " +
                      describe_type_code(code) + "vs " +
                      describe_type_code(parameter)),
                  std::string::npos)
            << fixture.console;
      }
    }
  }
  EXPECT_GT(accepted, 20);
  EXPECT_GT(refused, 100);
  fixture.finish();
}

}  // namespace
}  // namespace qxl
