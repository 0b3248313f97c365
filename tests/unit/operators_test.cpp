#include "types/operators.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/writer.h"
#include "codegen/code_buffer.h"
#include "codegen/expression_code.h"
#include "driver/options.h"
#include "expression_support.h"

namespace qxl {
namespace {

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

// The binary operators by binding strength as the language has them,
// weakest first, each level's operators together.
const std::vector<std::vector<std::string_view>> ladder = {
    {","},  {"="},  {"?"},           {"||"},          {"&&"},
    {"|"},  {"^"},  {"&"},           {"==", "!="},    {"<", ">", "<=", ">="},
    {"<<", ">>"},   {"+", "-"},      {"*", "/", "%"},
};
constexpr std::string_view prefix_spellings[] = {"-", "~", "!"};

TokenCode code_of(std::string_view spelling) {
  for (int code = 0; code < tok::table_size; ++code)
    if (token_name(code) != nullptr && spelling == token_name(code))
      return static_cast<TokenCode>(code);
  ADD_FAILURE() << "no token " << spelling;
  return tok::none;
}

const OperatorRow& binary(std::string_view spelling) {
  const OperatorRow* row = binary_operator(code_of(spelling));
  EXPECT_NE(row, nullptr) << spelling;
  return row != nullptr ? *row : operator_table[0];
}

// Position of an operator on the ladder.
int rank_of(std::string_view spelling) {
  for (std::size_t i = 0; i < ladder.size(); ++i)
    for (std::string_view s : ladder[i])
      if (s == spelling) return static_cast<int>(i);
  return -1;
}

TEST(OperatorTable, RowsForExactlyTheOperatorTokens) {
  for (int code = -1; code <= tok::table_size; ++code) {
    const auto t = static_cast<TokenCode>(code);
    const char* name = token_name(code);
    const std::string_view spelling = name != nullptr ? name : "";
    const bool is_binary = !spelling.empty() && rank_of(spelling) >= 0;
    bool is_prefix = false;
    for (std::string_view s : prefix_spellings) is_prefix |= s == spelling;
    const OperatorRow* row = binary_operator(t);
    EXPECT_EQ(row != nullptr, is_binary) << code;
    if (row != nullptr) {
      EXPECT_EQ(row->token, t);
      EXPECT_EQ(row->spelling, spelling);
      EXPECT_NE(row->level, precedence::unary);
    }
    const OperatorRow* prefix = prefix_operator(t);
    EXPECT_EQ(prefix != nullptr, is_prefix) << code;
    if (prefix != nullptr) {
      EXPECT_EQ(prefix->token, t);
      EXPECT_EQ(prefix->level, precedence::unary);
      EXPECT_EQ(prefix->grouping, Grouping::right);
    }
  }
  EXPECT_EQ(binary_operator(1000), nullptr);
  EXPECT_EQ(prefix_operator(-1000), nullptr);
  EXPECT_EQ(std::size(operator_table), 21 + std::size(prefix_spellings));
}

TEST(OperatorTable, LevelsAreOrderedAsTheGrammarNeeds) {
  int previous = 0;
  for (const auto& level : ladder) {
    const int own = binary(level[0]).level;
    EXPECT_GT(own, previous) << level[0];
    for (std::string_view s : level) EXPECT_EQ(binary(s).level, own) << s;
    previous = own;
  }
  EXPECT_GT(precedence::unary, previous);
  // The binary-operator loop starts at "||"; ",", "=" and "?" below it
  // have routines of their own, the two of them that group to the right.
  EXPECT_EQ(precedence::first_binary, binary("||").level);
  for (const OperatorRow& row : operator_table) {
    if (row.level == precedence::unary) continue;
    const bool own_routine = row.level < precedence::first_binary;
    EXPECT_EQ(own_routine, row.spelling == "," || row.spelling == "=" ||
                               row.spelling == "?")
        << row.spelling;
    EXPECT_EQ(row.grouping == Grouping::right,
              row.spelling == "=" || row.spelling == "?")
        << row.spelling;
  }
  // The table lists the weakest first.
  for (std::size_t i = 1; i < operator_table.size(); ++i)
    EXPECT_LE(operator_table[i - 1].level, operator_table[i].level);
}

TEST(OperatorTable, ComparisonOppositesAreInvolutive) {
  const std::int32_t samples[] = {int_min, -2, -1, 0, 1, 2, int_max};
  int comparisons = 0;
  for (const OperatorRow& row : operator_table) {
    if (row.level == precedence::unary) continue;
    EXPECT_EQ(is_comparison(row.token), row.level == binary("==").level ||
                                            row.level == binary("<").level)
        << row.spelling;
    if (!is_comparison(row.token)) {
      EXPECT_EQ(row.opposite, tok::none);
      continue;
    }
    ++comparisons;
    EXPECT_EQ(row.rule, OperandRule::compare);
    const OperatorRow* other = binary_operator(row.opposite);
    ASSERT_NE(other, nullptr) << row.spelling;
    EXPECT_NE(other->token, row.token);
    EXPECT_EQ(other->opposite, row.token) << row.spelling;
    for (std::int32_t a : samples)
      for (std::int32_t b : samples)
        EXPECT_EQ(row.apply(a, b), 1 - other->apply(a, b))
            << a << " " << row.spelling << " " << b;
  }
  EXPECT_EQ(comparisons, 6);
  EXPECT_FALSE(is_comparison(tok::assign));
  EXPECT_FALSE(is_comparison(tok::colon));
  EXPECT_FALSE(is_comparison(tok::end_of_input));
}

TEST(OperatorTable, InstructionsAndShortCircuits) {
  for (const OperatorRow& row : operator_table) {
    for (Opcode instruction : row.code) {
      if (instruction != op::none) {
        EXPECT_FALSE(instruction_table[instruction].name.empty())
            << row.spelling;
      }
    }
    if (row.level == precedence::unary) continue;
    const bool computed = computed_operator(row.token) != nullptr;
    const bool controls_flow = row.spelling == "&&" || row.spelling == "||" ||
                               row.spelling == "?" || row.spelling == "," ||
                               row.spelling == "=";
    EXPECT_EQ(computed, !controls_flow) << row.spelling;
    // Everything that computes a value also folds, and the reverse.
    EXPECT_EQ(computed, row.apply != nullptr) << row.spelling;
  }
  EXPECT_EQ(short_circuit_sense(tok::amp_amp), -1);
  EXPECT_EQ(short_circuit_sense(tok::bar_bar), 1);
  for (const OperatorRow& row : operator_table) {
    if (row.spelling != "&&" && row.spelling != "||") {
      EXPECT_EQ(short_circuit_sense(row.token), 0) << row.spelling;
    }
  }
}

TEST(OperatorTable, IdentitiesLeaveTheOtherOperand) {
  int identities = 0;
  for (const OperatorRow& row : operator_table) {
    if (!has_identity(row)) continue;
    ++identities;
    const std::int32_t e = identity_value(row);
    for (std::int32_t x : {int_min, -5, 0, 7, int_max}) {
      EXPECT_EQ(row.apply(x, e), x) << row.spelling;
      if (identity_on_left(row)) {
        EXPECT_EQ(row.apply(e, x), x) << row.spelling;
      }
    }
  }
  EXPECT_EQ(identities, 6);  // + - * / << >>
  EXPECT_TRUE(identity_on_left(binary("*")));
  EXPECT_FALSE(identity_on_left(binary("-")));
}

// 32-bit results computed in 64 bits; none for a division by zero.
std::optional<std::int32_t> reference(std::string_view op, std::int64_t a,
                                      std::int64_t b) {
  const auto wrap = [](std::int64_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  };
  const auto count = static_cast<int>(b & 31);
  if (op == "+") return wrap(a + b);
  if (op == "-") return wrap(a - b);
  if (op == "*") return wrap(a * b);
  if (op == "/" || op == "%") {
    if (b == 0) return std::nullopt;
    return wrap(op == "/" ? a / b : a % b);
  }
  if (op == "&") return wrap(a & b);
  if (op == "|") return wrap(a | b);
  if (op == "^") return wrap(a ^ b);
  if (op == "<<") return wrap(a * (std::int64_t{1} << count));
  if (op == ">>") {
    // Arithmetic: rounds toward minus infinity.
    const std::int64_t d = std::int64_t{1} << count;
    return wrap(a >= 0 ? a / d : -((-a + d - 1) / d));
  }
  if (op == "<") return a < b;
  if (op == ">") return a > b;
  if (op == "<=") return a <= b;
  if (op == ">=") return a >= b;
  if (op == "==") return a == b;
  if (op == "!=") return a != b;
  ADD_FAILURE() << "no reference for " << op;
  return 0;
}

class OperatorCodeTest : public ::testing::Test,
                         protected test::ExpressionFixture {
 protected:
  void SetUp() override {
    start();
    test::declare_name("i", DeclKind::global, type_int);
    test::declare_name("j", DeclKind::global, type_int);
    test::declare_name("bp", DeclKind::global, pointer_to(type_byte));
    settings.stdout_mode = 1;
    output_open("unused.b");
    open_function("f", false);
  }
  void TearDown() override { finish(); }

  // The value of a binary node over two constants, evaluated as a tree,
  // or the message it stops with.
  std::string tree_value(TokenCode op, std::int32_t a, std::int32_t b) {
    console.clear();
    Node* n = new_node(operator_node(NodeClass::binary, op),
                       new_folded(a), new_folded(b), type_int);
    try {
      return std::to_string(evaluate_and_release(n));
    } catch (const CompileExit&) {
      return console;
    }
  }
  // The value of a constant expression text, folded (or reduced to one of
  // its operands) as it is parsed.
  std::string parsed_value(const std::string& text) {
    console.clear();
    Node* n = parse(text);
    if (n == nullptr) return console;
    if (!is_constant_leaf(n)) return "not folded: " + test::tree(n);
    return std::to_string(evaluate_and_release(n));
  }
  // The code of a text compiled for its value.
  ByteBuffer code_of_value(std::string_view text) {
    code.function.bytes.resize(code.function.code_start);
    Node* n = parse(text);
    EXPECT_NE(n, nullptr) << text << ": " << console;
    if (n == nullptr) return {};
    compile_value(n);
    release_tree(n);
    return ByteBuffer(code.function.bytes.begin() + static_cast<long>(code.function.code_start),
                      code.function.bytes.end());
  }
  static ByteBuffer joined(ByteBuffer a, const ByteBuffer& b,
                           const ByteBuffer& c = {}) {
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    return a;
  }
};

std::string literal(std::int32_t v) {
  return v < 0 ? "(" + std::to_string(v) + ")" : std::to_string(v);
}

TEST_F(OperatorCodeTest, FoldingRowsAgreeWithEvaluation) {
  const std::int32_t samples[] = {int_min, -33, -8, -7, -1, 0,  1,
                                  2,       7,   31, 32, 33, 65536, int_max};
  const std::string division_by_zero = "e.q 1: division by zero\n";
  for (const OperatorRow& row : operator_table) {
    if (row.level == precedence::unary || row.apply == nullptr) continue;
    for (std::int32_t a : samples) {
      for (std::int32_t b : samples) {
        const std::optional<std::int32_t> expected =
            reference(row.spelling, a, b);
        const std::string want =
            expected ? std::to_string(*expected) : division_by_zero;
        const std::string text =
            literal(a) + " " + std::string(row.spelling) + " " + literal(b);
        ASSERT_EQ(tree_value(row.token, a, b), want) << text;
        ASSERT_EQ(parsed_value(text), want) << text;
      }
    }
  }
}

TEST_F(OperatorCodeTest, TheDivisorIsLookedAtFirst) {
  // A zero divisor is refused even when the dividend is not a constant;
  // the other operators refuse the dividend.
  const auto message_of = [&](TokenCode op) {
    console.clear();
    Node* n = new_node(operator_node(NodeClass::binary, op),
                       parse("i"), new_folded(0), type_int);
    try {
      evaluate_and_release(n);
    } catch (const CompileExit&) {
    }
    return console;
  };
  EXPECT_EQ(message_of(tok::slash), "e.q 1: division by zero\n");
  EXPECT_EQ(message_of(tok::percent), "e.q 1: division by zero\n");
  EXPECT_EQ(message_of(tok::plus), "e.q 1: not a constant expression\n");
  EXPECT_EQ(message_of(tok::less), "e.q 1: not a constant expression\n");
}

TEST_F(OperatorCodeTest, EachOperatorEmitsItsInstructions) {
  struct Case {
    const char* text;
    ByteBuffer instructions;
  };
  const Case cases[] = {
      {"i * j", {op::mul}},  {"i / j", {op::div}},   {"i % j", {op::mod}},
      {"i + j", {op::add}},  {"i - j", {op::sub}},   {"i & j", {op::and_}},
      {"i ^ j", {op::xor_}}, {"i | j", {op::or_}},   {"i >> j", {op::shift}},
      {"i < j", {op::lt}},   {"i > j", {op::gt}},    {"i <= j", {op::le}},
      {"i >= j", {op::ge}},  {"i == j", {op::eq}},   {"i != j", {op::ne}},
      // The shift instruction shifts right by its count.
      {"i << j", {op::neg, op::shift}},
  };
  const ByteBuffer i = code_of_value("i");
  const ByteBuffer j = code_of_value("j");
  for (const Case& c : cases)
    EXPECT_EQ(code_of_value(c.text), joined(i, j, c.instructions)) << c.text;

  const ByteBuffer bp = code_of_value("bp");
  EXPECT_EQ(code_of_value("-i"), joined(i, {op::neg}));
  EXPECT_EQ(code_of_value("~i"), joined(i, {op::push_i8, 0xFF, op::xor_}));
  EXPECT_EQ(code_of_value("!i"), joined(i, {op::not_}));
  EXPECT_EQ(code_of_value("!bp"), joined(bp, {op::ptr_to_int, op::not_}));
  // Two pointers are announced; a pointer and an integer are not.
  EXPECT_EQ(code_of_value("bp - bp"),
            joined(bp, bp, {op::ptr_operands, op::sub}));
  EXPECT_EQ(code_of_value("bp < bp"),
            joined(bp, bp, {op::ptr_operands, op::lt}));
  EXPECT_EQ(code_of_value("bp + i"), joined(bp, i, {op::add}));
  EXPECT_EQ(code_of_value("i + bp"), joined(bp, i, {op::add}));
  EXPECT_EQ(code_of_value("bp - i"), joined(bp, i, {op::sub}));
  // A compound assignment computes with the same instructions.
  const ByteBuffer update = code_of_value("i <<= j");
  const ByteBuffer computed = joined(i, j, {op::neg, op::shift});
  ASSERT_GE(update.size(), computed.size());
  EXPECT_EQ(ByteBuffer(update.begin(),
                       update.begin() + static_cast<long>(computed.size())),
            computed);
}

TEST(OperatorTable, CompoundAssignmentsHaveComputedRows) {
  for (std::string_view op : {"*", "/", "%", "+", "-", "<<", ">>", "&", "^",
                              "|"}) {
    TokenCode assign_op = tok::none;
    const std::string text = "x " + std::string(op) + "= 1";
    test::run_on_text(text, [&] {
      for (TokenCode t = scan_token(); t != tok::end_of_input;
           t = scan_token())
        if (t == tok::assign) assign_op = lexer.assign_op;
    });
    const OperatorRow* row = computed_operator(assign_op);
    ASSERT_NE(row, nullptr) << text;
    EXPECT_EQ(row->spelling, op);
  }
}

}  // namespace
}  // namespace qxl
