// What the compiler knows about each operator, one row per operator: how
// tightly it binds and how it groups, which operand rule checks it, the
// instructions that compute it, how it folds when its operands are
// constants, and for a comparison the one that "!" turns it into.  The
// parser, the operand rules, constant evaluation and code generation look
// operators up here instead of each keeping its own list.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "bytecode/instructions.h"
#include "source/tokens.h"

namespace qxl {

// Binding strength, weakest first.  A binary operator takes as its right
// operand what binds more tightly than itself, or as tightly when it groups
// to the right.
namespace precedence {
inline constexpr int comma = 1;
inline constexpr int assignment = 2;
inline constexpr int conditional = 3;
inline constexpr int logical_or = 4;
inline constexpr int logical_and = 5;
inline constexpr int bitwise_or = 6;
inline constexpr int bitwise_xor = 7;
inline constexpr int bitwise_and = 8;
inline constexpr int equality = 9;
inline constexpr int relational = 10;
inline constexpr int shift = 11;
inline constexpr int additive = 12;
inline constexpr int multiplicative = 13;
inline constexpr int unary = 14;  // the prefix operators
// The levels the binary-operator loop parses; the weaker ones have
// routines of their own.
inline constexpr int first_binary = logical_or;
}  // namespace precedence

enum class Grouping : std::uint8_t { left, right };

// The operand rule that checks an operator's operands and types its node.
enum class OperandRule : std::uint8_t {
  own,       // checked by a routine of its own ("," and "?")
  integer,   // integers only
  logical,   // any value but a structure, union or function
  compare,   // comparisons and "=": pointers, spots, null pointer constants
  additive,  // "+" and "-": pointer plus integer, pointer difference
};

// How an operator with constant operands folds.
enum class Fold : std::uint8_t {
  never,     // never a constant: both operands are evaluated, then refused
  both,      // the operands in order, then `apply`
  divisor,   // the right operand first, refused when zero, then the left
  and_then,  // "&&": the right operand only when the left is nonzero
  or_else,   // "||": the right operand only when the left is zero
  select,    // "?": the alternative of the ":" node that the left chooses
};

// A constant operand that leaves the other as it is, and is dropped.
enum class Identity : std::uint8_t {
  none,
  right_zero,   // x - 0, x << 0, x >> 0
  right_one,    // x / 1
  either_zero,  // x + 0 and 0 + x
  either_one,   // x * 1 and 1 * x
};

using FoldFunction = std::int32_t (*)(std::int32_t, std::int32_t);

// op::none ends a row's instruction list.

struct OperatorRow {
  std::string_view spelling;
  int level;  // precedence::unary for a prefix operator
  Grouping grouping;
  OperandRule rule;
  // Emitted in order after the operands.  The shift instruction shifts
  // right by its count, so "<<" negates the count first; "~" is an
  // exclusive or with all ones, which its code pushes before it.
  std::array<Opcode, 2> code;
  Fold fold;
  FoldFunction apply;  // a prefix operator's is apply(operand, 0)
  // A comparison's negation, the comparison that "!" turns it into; empty
  // for the other operators.
  std::string_view negation;
  Identity identity;
  // Token codes of the spelling and of the negation (tok::none when empty).
  TokenCode token = tok::none;
  TokenCode opposite = tok::none;
};

// The folding arithmetic: 32 bits that wrap around, with a defined result
// everywhere.
namespace folding {
constexpr std::int32_t wrap(std::uint32_t v) {
  return static_cast<std::int32_t>(v);
}
constexpr std::uint32_t bits(std::int32_t v) {
  return static_cast<std::uint32_t>(v);
}
constexpr std::int32_t add(std::int32_t a, std::int32_t b) {
  return wrap(bits(a) + bits(b));
}
constexpr std::int32_t subtract(std::int32_t a, std::int32_t b) {
  return wrap(bits(a) - bits(b));
}
constexpr std::int32_t multiply(std::int32_t a, std::int32_t b) {
  return wrap(bits(a) * bits(b));
}
// The quotient of the most negative value by -1 is that value, the
// remainder 0.  The caller has refused a zero divisor.
constexpr std::int32_t divide(std::int32_t a, std::int32_t b) {
  if (a == std::numeric_limits<std::int32_t>::min() && b == -1) return a;
  return a / b;
}
constexpr std::int32_t remainder(std::int32_t a, std::int32_t b) {
  if (b == -1) return 0;
  return a % b;
}
constexpr std::int32_t bit_and(std::int32_t a, std::int32_t b) { return a & b; }
constexpr std::int32_t bit_or(std::int32_t a, std::int32_t b) { return a | b; }
constexpr std::int32_t bit_xor(std::int32_t a, std::int32_t b) { return a ^ b; }
// Shift counts are taken modulo 32.
constexpr std::int32_t shift_left(std::int32_t a, std::int32_t b) {
  return wrap(bits(a) << (bits(b) & 31));
}
constexpr std::int32_t shift_right(std::int32_t a, std::int32_t b) {
  return a >> (bits(b) & 31);
}
constexpr std::int32_t less(std::int32_t a, std::int32_t b) { return a < b; }
constexpr std::int32_t greater(std::int32_t a, std::int32_t b) { return a > b; }
constexpr std::int32_t at_most(std::int32_t a, std::int32_t b) { return a <= b; }
constexpr std::int32_t at_least(std::int32_t a, std::int32_t b) { return a >= b; }
constexpr std::int32_t equal(std::int32_t a, std::int32_t b) { return a == b; }
constexpr std::int32_t differ(std::int32_t a, std::int32_t b) { return a != b; }
constexpr std::int32_t negate(std::int32_t v, std::int32_t) {
  return wrap(0u - bits(v));
}
constexpr std::int32_t complement(std::int32_t v, std::int32_t) { return ~v; }
constexpr std::int32_t logical_not(std::int32_t v, std::int32_t) {
  return v == 0 ? 1 : 0;
}
}  // namespace folding

namespace detail {
// The token code spelled `text`, or tok::none.
constexpr TokenCode token_spelled(std::string_view text) {
  if (text.empty()) return tok::none;
  for (std::size_t code = 0; code < token_names.size(); ++code)
    if (token_names[code] != nullptr && text == token_names[code])
      return static_cast<TokenCode>(code);
  return tok::none;
}
}  // namespace detail

// Weakest binding first; the prefix operators last.
inline constexpr auto operator_table = [] {
  namespace P = precedence;
  using namespace folding;
  using enum Grouping;
  using enum OperandRule;
  using enum Fold;
  using enum Identity;
  std::array<OperatorRow, 24> rows{{
      // op  level              group  rule      code                  fold      apply        negation identity
      {",",  P::comma,          left,  own,      {},                   never,    nullptr,     "",      none},
      {"=",  P::assignment,     right, compare,  {},                   never,    nullptr,     "",      none},
      {"?",  P::conditional,    right, own,      {},                   select,   nullptr,     "",      none},
      {"||", P::logical_or,     left,  logical,  {},                   or_else,  nullptr,     "",      none},
      {"&&", P::logical_and,    left,  logical,  {},                   and_then, nullptr,     "",      none},
      {"|",  P::bitwise_or,     left,  integer,  {op::or_},            both,     bit_or,      "",      none},
      {"^",  P::bitwise_xor,    left,  integer,  {op::xor_},           both,     bit_xor,     "",      none},
      {"&",  P::bitwise_and,    left,  integer,  {op::and_},           both,     bit_and,     "",      none},
      {"==", P::equality,       left,  compare,  {op::eq},             both,     equal,       "!=",    none},
      {"!=", P::equality,       left,  compare,  {op::ne},             both,     differ,      "==",    none},
      {"<",  P::relational,     left,  compare,  {op::lt},             both,     less,        ">=",    none},
      {">",  P::relational,     left,  compare,  {op::gt},             both,     greater,     "<=",    none},
      {"<=", P::relational,     left,  compare,  {op::le},             both,     at_most,     ">",     none},
      {">=", P::relational,     left,  compare,  {op::ge},             both,     at_least,    "<",     none},
      {"<<", P::shift,          left,  integer,  {op::neg, op::shift}, both,     shift_left,  "",      right_zero},
      {">>", P::shift,          left,  integer,  {op::shift},          both,     shift_right, "",      right_zero},
      {"+",  P::additive,       left,  additive, {op::add},            both,     add,         "",      either_zero},
      {"-",  P::additive,       left,  additive, {op::sub},            both,     subtract,    "",      right_zero},
      {"*",  P::multiplicative, left,  integer,  {op::mul},            both,     multiply,    "",      either_one},
      {"/",  P::multiplicative, left,  integer,  {op::div},            divisor,  divide,      "",      right_one},
      {"%",  P::multiplicative, left,  integer,  {op::mod},            divisor,  remainder,   "",      none},
      {"-",  P::unary,          right, integer,  {op::neg},            both,     negate,      "",      none},
      {"~",  P::unary,          right, integer,  {op::xor_},           both,     complement,  "",      none},
      {"!",  P::unary,          right, logical,  {op::not_},           both,     logical_not, "",      none},
  }};
  for (OperatorRow& row : rows) {
    row.token = detail::token_spelled(row.spelling);
    row.opposite = detail::token_spelled(row.negation);
  }
  return rows;
}();

static_assert(
    [] {
      for (const OperatorRow& row : operator_table)
        if (row.token == tok::none ||
            row.negation.empty() != (row.opposite == tok::none))
          return false;
      return true;
    }(),
    "every operator and negation is spelled as a token");

namespace detail {
// Row numbers by token code, -1 where the token has no row of the form.
constexpr std::array<std::int8_t, tok::table_size> operator_rows(bool prefix) {
  std::array<std::int8_t, tok::table_size> rows{};
  rows.fill(-1);
  for (std::size_t i = 0; i < operator_table.size(); ++i) {
    const OperatorRow& row = operator_table[i];
    if ((row.level == precedence::unary) == prefix)
      rows[static_cast<std::size_t>(row.token)] = static_cast<std::int8_t>(i);
  }
  return rows;
}
inline constexpr auto binary_rows = operator_rows(false);
inline constexpr auto prefix_rows = operator_rows(true);

constexpr const OperatorRow* row_at(
    const std::array<std::int8_t, tok::table_size>& rows, TokenCode t) {
  if (t < 0 || t >= tok::table_size) return nullptr;
  const int i = rows[static_cast<std::size_t>(t)];
  return i < 0 ? nullptr : &operator_table[static_cast<std::size_t>(i)];
}
}  // namespace detail

// The row of a binary operator (with "=", "?" and ","), or null.
constexpr const OperatorRow* binary_operator(TokenCode t) {
  return detail::row_at(detail::binary_rows, t);
}

// The row of a prefix operator ("-", "~", "!"), or null.  The other prefix
// forms (sizeof, "*", "&", casts, "++", "--") are parsed by routines of
// their own.
constexpr const OperatorRow* prefix_operator(TokenCode t) {
  return detail::row_at(detail::prefix_rows, t);
}

constexpr bool is_comparison(TokenCode t) {
  const OperatorRow* row = binary_operator(t);
  return row != nullptr && row->opposite != tok::none;
}

// A row that computes its value by instructions of its own (neither "&&",
// "||", "=", "?" nor ","), or null.
constexpr const OperatorRow* computed_operator(TokenCode t) {
  const OperatorRow* row = binary_operator(t);
  return row != nullptr && row->code[0] != op::none ? row : nullptr;
}

// "&&" and "||" skip their right operand when the left one alone decides:
// the jump sense of that decision (-1: the left is false, for "&&"; +1:
// true, for "||"), 0 for the operators that always evaluate both.
constexpr int short_circuit_sense(TokenCode t) {
  const OperatorRow* row = binary_operator(t);
  if (row == nullptr) return 0;
  if (row->fold == Fold::and_then) return -1;
  if (row->fold == Fold::or_else) return 1;
  return 0;
}

// Whether both operands may be data pointers when the row's instructions
// run (comparisons and pointer differences; a pointer sum has been turned
// so that the pointer is on the left).  The pair is announced by
// ptr_operands.
constexpr bool takes_pointer_pair(const OperatorRow& row) {
  return row.rule == OperandRule::compare || row.rule == OperandRule::additive;
}

// The identity of an operator, and whether it is dropped on the left too.
constexpr bool has_identity(const OperatorRow& row) {
  return row.identity != Identity::none;
}
constexpr bool identity_on_left(const OperatorRow& row) {
  return row.identity == Identity::either_zero ||
         row.identity == Identity::either_one;
}
constexpr std::int32_t identity_value(const OperatorRow& row) {
  return row.identity == Identity::either_one ||
                 row.identity == Identity::right_one
             ? 1
             : 0;
}

}  // namespace qxl
