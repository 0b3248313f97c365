#include "codegen/constant_eval.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <random>

#include "bytecode/writer.h"
#include "codegen/code_buffer.h"
#include "codegen/expression_code.h"
#include "expression_support.h"
#include "types/operators.h"

namespace qxl {
namespace {

constexpr std::int32_t int_min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t int_max = std::numeric_limits<std::int32_t>::max();

class ConstantEvalTest : public ::testing::Test,
                         protected test::ExpressionFixture {
 protected:
  void SetUp() override {
    start();
    test::declare_name("x", DeclKind::global, type_int);
  }
  void TearDown() override { finish(); }

  // The value of a constant expression text, or the message it stops with.
  std::string value_of(std::string_view text) {
    console.clear();
    Node* n = parse(text);
    if (n == nullptr) return console;
    try {
      return std::to_string(evaluate_and_release(n));
    } catch (const CompileExit&) {
      return console;
    }
  }
};

TEST_F(ConstantEvalTest, IntegerConstants) {
  EXPECT_EQ(value_of("1_000"), "1000");
  EXPECT_EQ(value_of("0x_ff"), "255");
  EXPECT_EQ(value_of("0b101"), "5");
  EXPECT_EQ(value_of("0o17"), "15");
  EXPECT_EQ(value_of("017"), "15");
  EXPECT_EQ(value_of("0"), "0");
  EXPECT_EQ(value_of("4294967295"), "-1");
  EXPECT_EQ(value_of("0x80000000"), std::to_string(int_min));
  EXPECT_EQ(value_of("'A'"), "65");
}

TEST_F(ConstantEvalTest, SignedDivisionAndShifts) {
  EXPECT_EQ(value_of("7 / -2"), "-3");
  EXPECT_EQ(value_of("7 % -2"), "1");
  EXPECT_EQ(value_of("-7 % 2"), "-1");
  EXPECT_EQ(value_of("-7 / 2"), "-3");
  EXPECT_EQ(value_of("1 << 33"), "2");
  EXPECT_EQ(value_of("1 << -1"), std::to_string(int_min));
  EXPECT_EQ(value_of("-8 >> 1"), "-4");
  EXPECT_EQ(value_of("-1 >> 31"), "-1");
  EXPECT_EQ(value_of("0x40000000 << 1"), std::to_string(int_min));
}

TEST_F(ConstantEvalTest, WrappingHasDefinedResults) {
  EXPECT_EQ(value_of("2147483647 + 1"), std::to_string(int_min));
  EXPECT_EQ(value_of("-2147483647 - 2"), std::to_string(int_max));
  EXPECT_EQ(value_of("65536 * 65536"), "0");
  EXPECT_EQ(value_of("-0x80000000"), std::to_string(int_min));
  // The quotient of the most negative value by -1 is that value; the
  // remainder is 0.
  EXPECT_EQ(value_of("0x80000000 / -1"), std::to_string(int_min));
  EXPECT_EQ(value_of("0x80000000 % -1"), "0");
  EXPECT_EQ(folding::divide(int_min, -1), int_min);
  EXPECT_EQ(folding::remainder(int_min, -1), 0);
  EXPECT_EQ(folding::remainder(5, -1), 0);
}

TEST_F(ConstantEvalTest, ComparisonsAndLogic) {
  EXPECT_EQ(value_of("-1 < 0"), "1");
  EXPECT_EQ(value_of("0x80000000 < 0"), "1");
  EXPECT_EQ(value_of("3 >= 3"), "1");
  EXPECT_EQ(value_of("3 != 3"), "0");
  EXPECT_EQ(value_of("5 && 7"), "1");
  EXPECT_EQ(value_of("0 || 0"), "0");
  EXPECT_EQ(value_of("!5"), "0");
  EXPECT_EQ(value_of("~0"), "-1");
  EXPECT_EQ(value_of("6 ^ 3 | 8 & 12"), "13");
}

TEST_F(ConstantEvalTest, OnlyWhatIsNeededIsEvaluated) {
  EXPECT_EQ(value_of("0 && x"), "0");
  EXPECT_EQ(value_of("1 || x"), "1");
  EXPECT_EQ(value_of("1 ? 2 : x"), "2");
  EXPECT_EQ(value_of("0 ? x : 3"), "3");
  EXPECT_EQ(value_of("1 && x"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("0 || x"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("0 ? 2 : x"), "e.q 1: not a constant expression\n");
}

TEST_F(ConstantEvalTest, Errors) {
  EXPECT_EQ(value_of("x"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("x + 1"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("x = 1"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("x += 1"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("*&x"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("-x"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("\"s\""), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("(1, 2)"), "e.q 1: not a constant expression\n");
  EXPECT_EQ(value_of("1 / 0"), "e.q 1: division by zero\n");
  EXPECT_EQ(value_of("1 % 0"), "e.q 1: division by zero\n");
  // Operands are folded as they are parsed, so a division by zero in a
  // branch that would not be taken is still found.
  EXPECT_EQ(value_of("0 && 1 / 0"), "e.q 1: division by zero\n");
}

TEST_F(ConstantEvalTest, ConstantTests) {
  Node* small = new_folded(126);
  Node* negative = new_folded(-126);
  Node* big = new_folded(127);
  Node* very_negative = new_folded(-127);
  EXPECT_TRUE(is_small_constant(small));
  EXPECT_TRUE(is_small_constant(negative));
  EXPECT_FALSE(is_small_constant(big));
  EXPECT_FALSE(is_small_constant(very_negative));
  EXPECT_FALSE(is_small_constant(parse("x")));
  EXPECT_TRUE(is_constant_leaf(parse("'c'")));
  EXPECT_FALSE(is_constant_leaf(null_pointer_node()));

  const std::size_t free_before = node_pool.free_count;
  EXPECT_FALSE(is_constant_equal(small, 5));
  EXPECT_EQ(node_pool.free_count, free_before);
  EXPECT_TRUE(is_constant_equal(small, 126));
  EXPECT_EQ(node_pool.free_count, free_before + 1);
  EXPECT_TRUE(is_foldable(tok::question));
  EXPECT_FALSE(is_foldable(tok::assign));
  EXPECT_FALSE(is_foldable(tok::comma));
}

// Random constant expressions, parsed and folded by the compiler, against
// an independent evaluation with the host's 32-bit wrapping arithmetic.
//
// Two moments matter.  Operators whose operands are both folded constants
// fold while the text is parsed, so a division by zero anywhere in such a
// subtree stops the parse.  A conditional is never folded while parsing:
// a tree that contains one is evaluated afterwards, taking only the branch
// chosen and only what && and || need.
struct Expr {
  enum class Kind { leaf, unary, binary, conditional };
  Kind kind = Kind::leaf;
  int op = 0;
  std::int32_t value = 0;
  std::vector<Expr> children;
  std::string text;
};

class RandomExpression {
 public:
  explicit RandomExpression(std::uint32_t seed) : random_(seed) {}

  Expr make(int depth) {
    if (depth == 0 || pick(4) == 0) return leaf();
    switch (pick(4)) {
      case 0: {
        Expr e = node(Expr::Kind::unary, pick(3));
        e.children.push_back(make(depth - 1));
        static constexpr const char* ops[] = {"-", "~", "!"};
        e.text = std::string(ops[e.op]) + "(" + e.children[0].text + ")";
        return e;
      }
      case 1: {
        Expr e = node(Expr::Kind::conditional, 0);
        for (int k = 0; k < 3; ++k) e.children.push_back(make(depth - 1));
        e.text = "(" + e.children[0].text + " ? " + e.children[1].text +
                 " : " + e.children[2].text + ")";
        return e;
      }
      default: {
        Expr e = node(Expr::Kind::binary, pick(std::size(binary_ops)));
        e.children.push_back(make(depth - 1));
        e.children.push_back(make(depth - 1));
        e.text = "(" + e.children[0].text + " " + binary_ops[e.op] + " " +
                 e.children[1].text + ")";
        return e;
      }
    }
  }

  static constexpr const char* binary_ops[] = {
      "+", "-", "*", "/", "%", "&", "|", "^", "<<",
      ">>", "<", ">", "<=", ">=", "==", "!=", "&&", "||"};
  static constexpr int divide = 3;
  static constexpr int remainder = 4;
  static constexpr int logical_and = 16;
  static constexpr int logical_or = 17;

 private:
  static Expr node(Expr::Kind kind, int op) {
    Expr e;
    e.kind = kind;
    e.op = op;
    return e;
  }

  int pick(std::size_t n) {
    return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(
        random_);
  }

  Expr leaf() {
    static constexpr std::int32_t interesting[] = {
        0, 1, 2, 3, 7, 31, 32, 33, 126, 127, 128, 255, 65535, 65536,
        int_max, -1, -2, -127, -128};
    Expr e = node(Expr::Kind::leaf, 0);
    if (pick(3) == 0) {
      e.value = std::uniform_int_distribution<std::int32_t>(int_min,
                                                            int_max)(random_);
      e.text = std::to_string(static_cast<std::uint32_t>(e.value));
      return e;
    }
    e.value = interesting[pick(std::size(interesting))];
    e.text = e.value < 0 ? "(" + std::to_string(e.value) + ")"
                         : std::to_string(e.value);
    return e;
  }

  std::mt19937 random_;
};

// Whether the subtree folds while it is parsed (contains no conditional).
bool folds_early(const Expr& e) {
  if (e.kind == Expr::Kind::conditional) return false;
  for (const Expr& child : e.children)
    if (!folds_early(child)) return false;
  return true;
}

std::optional<std::int32_t> reference_value(const Expr& e);

// A division by zero met while parsing.
bool fails_while_parsing(const Expr& e) {
  for (const Expr& child : e.children)
    if (fails_while_parsing(child)) return true;
  return e.kind == Expr::Kind::binary &&
         (e.op == RandomExpression::divide ||
          e.op == RandomExpression::remainder) &&
         folds_early(e) && reference_value(e.children[1]) == 0;
}

std::int32_t wrap(std::int64_t v) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

// The value as evaluated after parsing; none for a division by zero.
std::optional<std::int32_t> reference_value(const Expr& e) {
  switch (e.kind) {
    case Expr::Kind::leaf:
      return e.value;
    case Expr::Kind::unary: {
      auto v = reference_value(e.children[0]);
      if (!v) return v;
      const auto u = static_cast<std::uint32_t>(*v);
      if (e.op == 0) return wrap(static_cast<std::int64_t>(0u - u));
      if (e.op == 1) return wrap(static_cast<std::int64_t>(~u));
      return *v == 0 ? 1 : 0;
    }
    case Expr::Kind::conditional: {
      auto c = reference_value(e.children[0]);
      if (!c) return c;
      return reference_value(e.children[*c != 0 ? 1 : 2]);
    }
    case Expr::Kind::binary:
      break;
  }
  const Expr& left = e.children[0];
  const Expr& right = e.children[1];
  if (e.op == RandomExpression::divide || e.op == RandomExpression::remainder) {
    auto b = reference_value(right);
    if (!b || *b == 0) return std::nullopt;
    auto a = reference_value(left);
    if (!a) return a;
    if (*b == -1) return e.op == RandomExpression::divide ? wrap(-std::int64_t{*a}) : 0;
    return e.op == RandomExpression::divide ? *a / *b : *a % *b;
  }
  auto a = reference_value(left);
  if (!a) return a;
  if (e.op == RandomExpression::logical_and && *a == 0) return 0;
  if (e.op == RandomExpression::logical_or && *a != 0) return 1;
  auto b = reference_value(right);
  if (!b) return b;
  const std::int64_t x = *a;
  const std::int64_t y = *b;
  const auto ux = static_cast<std::uint32_t>(x);
  const auto uy = static_cast<std::uint32_t>(y);
  switch (e.op) {
    case 0: return wrap(x + y);
    case 1: return wrap(x - y);
    case 2: return wrap(static_cast<std::int64_t>(ux * uy));
    case 5: return wrap(x & y);
    case 6: return wrap(x | y);
    case 7: return wrap(x ^ y);
    case 8: return wrap(static_cast<std::int64_t>(ux << (uy & 31)));
    case 9: return wrap(x >> (uy & 31));
    case 10: return x < y;
    case 11: return x > y;
    case 12: return x <= y;
    case 13: return x >= y;
    case 14: return x == y;
    case 15: return x != y;
    default: return y != 0 ? 1 : 0;  // the second operand of && or ||
  }
}

TEST_F(ConstantEvalTest, AgreesWithHostArithmetic) {
  RandomExpression generator(20261208);
  int values = 0;
  int divisions_by_zero = 0;
  for (int round = 0; round < 4000; ++round) {
    const Expr e = generator.make(5);
    const std::string got = value_of(e.text);
    std::optional<std::int32_t> expected;
    if (!fails_while_parsing(e)) expected = reference_value(e);
    if (expected) {
      ASSERT_EQ(got, std::to_string(*expected)) << e.text;
      ++values;
    } else {
      ASSERT_EQ(got, "e.q 1: division by zero\n") << e.text;
      ++divisions_by_zero;
    }
  }
  EXPECT_GT(values, 2500);
  EXPECT_GT(divisions_by_zero, 50);
}


// A constant's value is kept for its text: the same text gives the same
// value however often it is met, also after the code buffer's facts are
// reset, and a constant whose text is in error reports it at every use.
TEST_F(ConstantEvalTest, ConstantValuesAreKeptForTheirTextOnly) {
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(value_of("0x10 + 0x10"), "32");
    EXPECT_EQ(value_of("'\\101' - 'A'"), "0");
    EXPECT_EQ(value_of("010 * 2"), "16");
    EXPECT_EQ(value_of("10 * 2"), "20");
  }
  Node* n = parse("0x10");
  ASSERT_NE(n, nullptr);
  EXPECT_TRUE(facts_of(n->symbol).has_value);
  code.reset();
  EXPECT_FALSE(facts_of(n->symbol).has_value);
  EXPECT_EQ(evaluate_and_release(n), 16);
  const std::string first = value_of("'\xC3('");
  EXPECT_NE(first.find("bad UTF-8"), std::string::npos) << first;
  EXPECT_EQ(value_of("'\xC3('"), first);
}

// A string literal's pool offset is found once for its text; another text
// decoding to the same characters, or a chain of literals, finds the same
// entry, and the pool holds each text once, in the order first met.  A
// literal in error reports it at every use.
TEST_F(ConstantEvalTest, StringLiteralsFindTheirPoolEntryOnce) {
  const auto offset_of = [&](std::string_view text) -> std::int64_t {
    console.clear();
    Node* n = parse(text);
    if (n == nullptr) return -1;
    const std::size_t start = code.function.bytes.size();
    try {
      compile_value(n);
    } catch (const CompileExit&) {
      return -1;
    }
    const CodeBytes& bytes = code.function.bytes;
    if (bytes.size() != start + 5 || bytes[start] != op::push_string)
      return -2;
    std::uint32_t offset = 0;
    for (int i = 0; i < 4; ++i)
      offset |= std::uint32_t{bytes[start + 1 + std::size_t(i)]} << (8 * i);
    return offset;
  };
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(offset_of("\"ab\""), 0);
    EXPECT_EQ(offset_of("\"a\\x62\""), 0);
    EXPECT_EQ(offset_of("\"a\" \"b\""), 0);
    EXPECT_EQ(offset_of("\"c\""), 10);
    EXPECT_EQ(offset_of("\"\""), 18);
    // The later piece of the chain above is a text of its own.
    EXPECT_EQ(offset_of("\"b\""), 24);
  }
  EXPECT_EQ(writer.string_pool.size(), 32u);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(offset_of("\"x\xC3(\""), -1);
    EXPECT_NE(console.find("bad UTF-8"), std::string::npos) << console;
  }
  EXPECT_EQ(writer.string_pool.size(), 32u);
}

}  // namespace
}  // namespace qxl
