#include <gtest/gtest.h>

#include "expression_support.h"
#include "types/operands.h"

namespace qxl {
namespace {

using test::aggregate_type;
using test::array_of;
using test::declare_name;
using test::function_returning;
using test::tree;

// Declares a small world of names, then parses texts against it.
class ExpressionTest : public ::testing::Test, protected test::ExpressionFixture {
 protected:
  void SetUp() override {
    start();
    point = aggregate_type(TypeKind::struct_, {{"x", type_int}, {"y", type_short},
                                           {"name", type_char_ptr}});
    other_point = aggregate_type(TypeKind::struct_, {{"x", type_int},
                                                 {"y", type_short},
                                                 {"name", type_char_ptr}});
    small_union = aggregate_type(TypeKind::union_, {{"i", type_int}, {"b", type_byte}});
    declare_name("i", DeclKind::global, type_int);
    declare_name("j", DeclKind::global, type_int);
    declare_name("c", DeclKind::global, type_char);
    declare_name("b", DeclKind::global, type_byte);
    declare_name("s", DeclKind::global, type_spot);
    declare_name("p", DeclKind::global, pointer_to(type_int));
    declare_name("q", DeclKind::global, pointer_to(type_int));
    declare_name("cp", DeclKind::global, type_char_ptr);
    declare_name("sp", DeclKind::global, pointer_to(type_short));
    declare_name("bp", DeclKind::global, pointer_to(type_byte));
    declare_name("pp", DeclKind::global, pointer_to(type_char_ptr));
    declare_name("arr", DeclKind::global, array_of(type_int, 10));
    declare_name("pt", DeclKind::global, point);
    declare_name("pt2", DeclKind::global, other_point);
    declare_name("ptp", DeclKind::global, pointer_to(point));
    declare_name("u", DeclKind::global, small_union);
    declare_name("u2", DeclKind::global, small_union);
    declare_name("f", DeclKind::function, type_int);
    declare_name("proc", DeclKind::function, nullptr);
    declare_name("fp", DeclKind::global, pointer_to(function_returning(type_int)));
    declare_name("prim", DeclKind::builtin_function, type_int, 200);
    declare_name("memcpy", DeclKind::builtin_function, nullptr, 560);
    declare_name("T", DeclKind::type_name, type_short);
    declare_name("fparam", DeclKind::parameter_typed,
                 pointer_to(function_returning(type_int)), -4);
    test::symbol_named("red")->tag = color_class_marker;
  }
  void TearDown() override { finish(); }

  // The tree of a text that must parse.
  std::string parsed(std::string_view text) {
    console.clear();
    Node* n = parse(text);
    EXPECT_NE(n, nullptr) << text << ": " << console;
    return tree(n);
  }
  // The message of a text that must fail, without its location.
  std::string failure(std::string_view text) {
    console.clear();
    Node* n = parse(text);
    EXPECT_EQ(n, nullptr) << text << " parsed as " << tree(n);
    const std::string prefix = "e.q 1: ";
    if (console.rfind(prefix, 0) == 0) return console.substr(prefix.size());
    return console;
  }
  Type* type_of(std::string_view text) {
    Node* n = parse(text);
    return n != nullptr ? n->type : nullptr;
  }

  Type* point = nullptr;
  Type* other_point = nullptr;
  Type* small_union = nullptr;
};

TEST_F(ExpressionTest, PrecedenceAndAssociativity) {
  EXPECT_EQ(parsed("1 + 2 * 3"), "#7");
  EXPECT_EQ(type_of("1 + 2 * 3"), type_int);
  EXPECT_EQ(parsed("i - j - i"), "(- (- i j) i)");
  EXPECT_EQ(parsed("i = j = 3"), "(= i (= j 3))");
  EXPECT_EQ(parsed("i ? j : i ? 1 : 2"), "(? i (: j (? i (: 1 2))))");
  EXPECT_EQ(parsed("i || j && i | j ^ i & j == i < j << i + j * i"),
            "(|| i (&& j (| i (^ j (& i (== j (< i (<< j (+ i (* j i))))))))))");
  EXPECT_EQ(parsed("i * j / i % j"), "(% (/ (* i j) i) j)");
  EXPECT_EQ(parsed("i << j >> i"), "(>> (<< i j) i)");
  EXPECT_EQ(parsed("i < j > i <= j >= i"), "(>= (<= (> (< i j) i) j) i)");
  EXPECT_EQ(parsed("i == j != i"), "(!= (== i j) i)");
  EXPECT_EQ(parsed("i, j, 3"), "(, (, i j) 3)");
  EXPECT_EQ(parsed("(i, j)"), "(, i j)");
  EXPECT_EQ(parsed("i += j -= 2"), "(+= i (-= j 2))");
  EXPECT_EQ(parsed("-~!i"), "(neg (~ (! i)))");
}

TEST_F(ExpressionTest, ConditionalMiddleIsLogicalOr) {
  EXPECT_EQ(parsed("i ? (j = 1) : 2"), "(? i (: (= j 1) 2))");
  EXPECT_EQ(failure("i ? j = 1 : 2"), "expected :, not =\n");
  EXPECT_EQ(parsed("i ? j || i : 0"), "(? i (: (|| j i) 0))");
}

TEST_F(ExpressionTest, CompoundAssignmentsAndIncrements) {
  EXPECT_EQ(parsed("i <<= 2"), "(<<= i 2)");
  EXPECT_EQ(parsed("i %= j"), "(%= i j)");
  EXPECT_EQ(parsed("++i"), "(+= i #1)");
  EXPECT_EQ(parsed("--c"), "(-= c #1)");
  EXPECT_EQ(parsed("i++"), "(post++ i #1)");
  EXPECT_EQ(parsed("i--"), "(post-- i #1)");
  EXPECT_EQ(failure("i++ ++"), "expected end, not ++\n");
  // Pointers step by their target's size.
  EXPECT_EQ(parsed("p++"), "(post++ p #4)");
  EXPECT_EQ(parsed("++p"), "(+= p #4)");
  EXPECT_EQ(parsed("p += i"), "(+= p (* i #4))");
  EXPECT_EQ(parsed("bp -= i"), "(-= bp i)");
  EXPECT_EQ(failure("p *= 2"), "operation illegal with pointer\n");
  EXPECT_EQ(failure("pt += 1"), "operation illegal with structure\n");
  EXPECT_EQ(failure("s += 1"), "operation illegal with spot\n");
  EXPECT_EQ(failure("i += p"), "operation illegal with pointer\n");
  EXPECT_EQ(failure("i += u"), "operation illegal with union\n");
  EXPECT_EQ(failure("3 += i"), "not an lvalue\n");
  EXPECT_EQ(failure("i += proc()"), "value required\n");
  EXPECT_EQ(type_of("c += 1"), type_int);
}

TEST_F(ExpressionTest, FoldingAndIdentities) {
  EXPECT_EQ(parsed("2 * 3 + 4 / 2 - 7 % 4"), "#5");
  EXPECT_EQ(parsed("i + 0"), "i");
  EXPECT_EQ(parsed("0 + i"), "i");
  EXPECT_EQ(parsed("i - 0"), "i");
  EXPECT_EQ(parsed("0 - i"), "(- 0 i)");
  EXPECT_EQ(parsed("i * 1"), "i");
  EXPECT_EQ(parsed("1 * i"), "i");
  EXPECT_EQ(parsed("i / 1"), "i");
  EXPECT_EQ(parsed("1 / i"), "(/ 1 i)");
  EXPECT_EQ(parsed("i << 0"), "i");
  EXPECT_EQ(parsed("i >> 0"), "i");
  EXPECT_EQ(parsed("-5"), "#-5");
  EXPECT_EQ(parsed("!0 + ~0"), "#0");
  EXPECT_EQ(parsed("'a' + 1"), "#98");
  EXPECT_EQ(parsed("1 < 2 && 3"), "#1");
  EXPECT_EQ(parsed("0 && i"), "(&& 0 i)");
  // The conditional is folded only when its whole tree is evaluated.
  EXPECT_EQ(parsed("1 ? 2 : 3"), "(? 1 (: 2 3))");
  EXPECT_EQ(failure("1 / 0"), "division by zero\n");
  EXPECT_EQ(failure("5 % (2 - 2)"), "division by zero\n");
}

TEST_F(ExpressionTest, LogicalNotTurnsComparisons) {
  EXPECT_EQ(parsed("!(i < j)"), "(>= i j)");
  EXPECT_EQ(parsed("!(i > j)"), "(<= i j)");
  EXPECT_EQ(parsed("!(i <= j)"), "(> i j)");
  EXPECT_EQ(parsed("!(i >= j)"), "(< i j)");
  EXPECT_EQ(parsed("!(i == j)"), "(!= i j)");
  EXPECT_EQ(parsed("!(i != j)"), "(== i j)");
  EXPECT_EQ(parsed("!p"), "(! p)");
  EXPECT_EQ(parsed("!s"), "(! s)");
  EXPECT_EQ(failure("!pt"), "operation illegal with structure\n");
  EXPECT_EQ(failure("-p"), "operation illegal with pointer\n");
  EXPECT_EQ(failure("~s"), "operation illegal with spot\n");
  EXPECT_EQ(failure("-u"), "operation illegal with union\n");
  EXPECT_EQ(failure("-proc()"), "value required\n");
}

TEST_F(ExpressionTest, PointerArithmetic) {
  EXPECT_EQ(parsed("p + 1"), "(+ p #4)");
  EXPECT_EQ(parsed("cp + 1"), "(+ cp #2)");
  EXPECT_EQ(parsed("bp + 1"), "(+ bp 1)");
  EXPECT_EQ(parsed("pp + 1"), "(+ pp #12)");
  EXPECT_EQ(parsed("1 + p"), "(+ p #4)");
  EXPECT_EQ(parsed("p - i"), "(- p (* i #4))");
  EXPECT_EQ(type_of("p + i"), test::symbol_named("p")->declaration->type);
  EXPECT_EQ(parsed("p - q"), "(/ (- p q) #4)");
  EXPECT_EQ(type_of("p - q"), type_int);
  EXPECT_EQ(parsed("bp - bp"), "(- bp bp)");
  EXPECT_EQ(failure("p + q"), "operation illegal with pointer\n");
  EXPECT_EQ(failure("i - p"), "operation illegal with pointer\n");
  EXPECT_EQ(failure("s + 1"), "operation illegal with spot\n");
  EXPECT_EQ(failure("pt - 1"), "operation illegal with structure\n");
  EXPECT_EQ(failure("p + pt"), "operation illegal with structure\n");
  console.clear();
  EXPECT_NE(parse("p - sp"), nullptr);
  EXPECT_EQ(console,
            "e.q 1: mismatched types: pointer to integer & pointer to short\n");
  // The sum takes the left operand's type.
  EXPECT_EQ(type_of("c + i"), type_char);
}

TEST_F(ExpressionTest, SubscriptsThroughTheAdditiveRule) {
  EXPECT_EQ(parsed("p[2]"), "(deref (+ p #8))");
  EXPECT_EQ(parsed("2[p]"), "(deref (+ p #8))");
  EXPECT_EQ(parsed("arr[i]"), "(deref (+ arr (* i #4)))");
  EXPECT_EQ(parsed("pp[1][2]"), "(deref (+ (deref (+ pp #12)) #4))");
  EXPECT_EQ(parsed("p[0]"), "(deref p)");
  EXPECT_EQ(type_of("cp[1]"), type_char);
  EXPECT_EQ(failure("i[j]"), "can't dereference non-pointer\n");
}

TEST_F(ExpressionTest, AssignmentsAndComparisons) {
  console.clear();
  EXPECT_EQ(parsed("s = 0"), "(= s 0)");
  EXPECT_EQ(parsed("s == 0"), "(== s 0)");
  EXPECT_EQ(parsed("0 != s"), "(!= 0 s)");
  EXPECT_EQ(parsed("p = 0"), "(= p nullptr)");
  EXPECT_EQ(parsed("0 == p"), "(== nullptr p)");
  EXPECT_EQ(parsed("i = c"), "(= i c)");
  EXPECT_EQ(parsed("c = i"), "(= c i)");
  EXPECT_EQ(parsed("fp = 0"), "(= fp 0)");
  EXPECT_EQ(parsed("i = fp"), "(= i fp)");
  EXPECT_TRUE(console.empty()) << console;
  EXPECT_EQ(type_of("c = i"), type_char);
  EXPECT_EQ(type_of("i < j"), type_int);
  EXPECT_EQ(type_of("i ? 0 : s"), type_spot);

  EXPECT_NE(parse("s = 5"), nullptr);
  EXPECT_EQ(console, "e.q 1: mismatched types: spot & integer\n");
  console.clear();
  EXPECT_NE(parse("p = 1"), nullptr);
  EXPECT_EQ(console, "e.q 1: mismatched types: pointer to integer & integer\n");
  console.clear();
  EXPECT_NE(parse("cp = sp"), nullptr);
  EXPECT_EQ(console,
            "e.q 1: mismatched types: pointer to character & pointer to short\n");
  EXPECT_EQ(failure("u = u2"), "operation illegal with union\n");
  EXPECT_EQ(failure("i = pt"), "operation illegal with structure\n");
  EXPECT_EQ(failure("i < proc()"), "value required\n");
  EXPECT_EQ(failure("f = 1"), "not an lvalue\n");
  EXPECT_EQ(failure("arr = p"), "not an lvalue\n");
  EXPECT_EQ(failure("1 = i"), "not an lvalue\n");
  EXPECT_EQ(failure("i + j = 1"), "not an lvalue\n");
  EXPECT_EQ(failure("prim = 1"), "cannot take address of a built in function\n");
}

TEST_F(ExpressionTest, StructureCopyCallsMemcpy) {
  EXPECT_EQ(parsed("pt = pt2"),
            "(call memcpy (; (addr pt) (; (addr pt2) #18)))");
  EXPECT_EQ(type_of("pt = pt2"), nullptr);
  EXPECT_EQ(failure("i = (pt = pt2)"), "value required\n");
}

TEST_F(ExpressionTest, Members) {
  EXPECT_EQ(parsed("pt.y"), "(.4 pt)");
  EXPECT_EQ(parsed("pt.name"), "(.6 pt)");
  EXPECT_EQ(parsed("ptp->name"), "(.6 (deref ptp))");
  EXPECT_EQ(parsed("u.b"), "(.0 u)");
  EXPECT_EQ(parsed("(*ptp).x"), "(.0 (deref ptp))");
  EXPECT_EQ(parsed("&ptp->x"), "(addr (.0 (deref ptp)))");
  EXPECT_EQ(parsed("&*ptp"), "ptp");
  EXPECT_EQ(parsed("*&i"), "i");
  EXPECT_EQ(type_of("pt.y"), type_short);
  EXPECT_EQ(failure("pt.z"), "z is not a member of this structure/union\n");
  EXPECT_EQ(failure("i.x"), "not a structure/union\n");
  EXPECT_EQ(failure("ptp.x"), "not a structure/union\n");
  EXPECT_EQ(failure("pt.3"), "expected identifier, not intconst\n");
}

TEST_F(ExpressionTest, AddressesAndDereferences) {
  EXPECT_EQ(parsed("&i"), "(addr i)");
  EXPECT_EQ(type_text(type_of("&i")), "pointer to integer");
  EXPECT_EQ(parsed("*p"), "(deref p)");
  EXPECT_EQ(parsed("*s"), "(spot@ s)");
  EXPECT_EQ(type_of("*s"), type_int);
  EXPECT_EQ(parsed("*s = 3"), "(= (spot@ s) 3)");
  EXPECT_EQ(failure("&arr"), "not an lvalue\n");
  EXPECT_EQ(failure("&3"), "not an lvalue\n");
  EXPECT_EQ(failure("&fparam"), "No pointers to function pointer arguments.\n");
  EXPECT_EQ(failure("*i"), "can't dereference non-pointer\n");
  EXPECT_EQ(failure("*proc()"), "value required\n");
  EXPECT_EQ(failure("&proc()"), "value required\n");
}

TEST_F(ExpressionTest, Casts) {
  EXPECT_EQ(parsed("(char *) i"), "(int>ptr i)");
  EXPECT_EQ(parsed("(int) p"), "(ptr>int p)");
  EXPECT_EQ(parsed("(short) i"), "(cast i)");
  EXPECT_EQ(parsed("(char *) 0"), "nullptr");
  EXPECT_EQ(parsed("(int *) cp"), "(cast cp)");
  EXPECT_EQ(parsed("(T) i"), "(cast i)");
  EXPECT_EQ(type_of("(T) i"), type_short);
  EXPECT_EQ(parsed("(char *) (int *) 0"), "nullptr");
  EXPECT_EQ(parsed("(int (*)()) i"), "(cast i)");
  EXPECT_EQ(type_text(type_of("(int (*)()) i")),
            "pointer to function returning integer");
  console.clear();
  EXPECT_EQ(tree(parse("(struct { int a; int b; }) p")), "p");
  EXPECT_EQ(console,
            "e.q 1: can't cast pointer to integer to structure of {a: "
            "integer, b: integer}\n");
}

TEST_F(ExpressionTest, Sizeof) {
  EXPECT_EQ(parsed("sizeof \"abc\""), "#8");
  EXPECT_EQ(parsed("sizeof \"\""), "#2");
  EXPECT_EQ(parsed("sizeof \"ab\" \"c\""), "#8");
  EXPECT_EQ(parsed("sizeof \"a\\n\""), "#6");
  EXPECT_EQ(parsed("sizeof arr"), "#40");
  EXPECT_EQ(parsed("sizeof(arr)"), "#40");
  EXPECT_EQ(parsed("sizeof (arr + 1)"), "#12");
  EXPECT_EQ(parsed("sizeof (arr + 0)"), "#40");
  EXPECT_EQ(parsed("sizeof i"), "#4");
  EXPECT_EQ(parsed("sizeof c"), "#2");
  EXPECT_EQ(parsed("sizeof pt"), "#18");
  EXPECT_EQ(parsed("sizeof(int)"), "#4");
  EXPECT_EQ(parsed("sizeof(short int)"), "#2");
  EXPECT_EQ(parsed("sizeof(char *)"), "#12");
  EXPECT_EQ(parsed("sizeof(char [7])"), "#14");
  EXPECT_EQ(parsed("sizeof(int (*)())"), "#2");
  EXPECT_EQ(parsed("sizeof(struct { byte a; int b; })"), "#5");
  EXPECT_EQ(parsed("sizeof(T)"), "#2");
  EXPECT_EQ(parsed("sizeof sizeof i"), "#4");
  EXPECT_EQ(parsed("sizeof(i) + 1"), "#5");
  // The operand is not compiled: a call inside costs nothing.
  EXPECT_EQ(parsed("sizeof f()"), "#4");
}

TEST_F(ExpressionTest, Calls) {
  EXPECT_EQ(parsed("f()"), "(call f null)");
  EXPECT_EQ(parsed("f(1)"), "(call f 1)");
  EXPECT_EQ(parsed("f(1, i, p)"), "(call f (; 1 (; i p)))");
  EXPECT_EQ(parsed("prim(i)"), "(call prim i)");
  EXPECT_EQ(parsed("fp(2)"), "(call (deref fp) 2)");
  EXPECT_EQ(parsed("(*fp)(2)"), "(call (deref fp) 2)");
  EXPECT_EQ(type_of("fp(2)"), type_int);
  EXPECT_EQ(type_of("proc()"), nullptr);
  EXPECT_EQ(parsed("f(i = 2, (i, j))"), "(call f (; (= i 2) (, i j)))");
  EXPECT_EQ(failure("f(proc())"), "invalid function argument, returns no value\n");
  EXPECT_EQ(failure("f(pt)"), "operation illegal with structure\n");
  EXPECT_EQ(failure("f(u)"), "operation illegal with union\n");
  EXPECT_EQ(failure("f(*fp)"), "operation illegal with function\n");
  EXPECT_EQ(failure("i(1)"), "invalid function call\n");
  EXPECT_EQ(failure("pt.x(1)"), "invalid function call\n");
  EXPECT_EQ(failure("f(1"), "expected ), not end of file\n");
}

TEST_F(ExpressionTest, UndeclaredCalledNamesBecomeFunctions) {
  EXPECT_EQ(parsed("newfn(3)"), "(call newfn 3)");
  const Declaration* d = test::symbol_named("newfn")->declaration;
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->kind, DeclKind::function);
  EXPECT_EQ(d->type, type_int);
  EXPECT_EQ(failure("nothing + 1"), "undeclared variable nothing\n");
}

TEST_F(ExpressionTest, FunctionValues) {
  EXPECT_EQ(parsed("fp = f"), "(= fp f)");
  EXPECT_EQ(type_text(type_of("f")), "pointer to function returning integer");
  EXPECT_EQ(failure("fp = prim"), "cannot take address of a built in function\n");
}

TEST_F(ExpressionTest, PrimaryForms) {
  EXPECT_EQ(parsed("\"a\" \"b\" \"c\""), "(concat (concat \"a\" \"b\") \"c\")");
  EXPECT_EQ(type_of("\"a\""), type_char_ptr);
  EXPECT_EQ(parsed("'x'"), "'x'");
  EXPECT_EQ(type_of("'x'"), type_char);
  EXPECT_EQ(parsed("color_class red"), "color:red");
  EXPECT_EQ(failure("color_class blue"), "unrecognized color class\n");
  EXPECT_EQ(failure("color_class 3"), "unrecognized color class\n");
  EXPECT_EQ(parsed("i.default"), "i.default");
  EXPECT_EQ(parsed("pt.x"), "(.0 pt)");
  EXPECT_EQ(failure(";"), "expected expression, not ;\n");
  EXPECT_EQ(failure(""), "expected expression, not end of file\n");
  EXPECT_EQ(failure("T + 1"), "expected expression, not +\n");
  EXPECT_EQ(failure("(i"), "expected ), not end of file\n");
}

TEST_F(ExpressionTest, DefinedOnlyInConditions) {
  test::symbol_named("undeclared_macro");
  EXPECT_EQ(failure("defined(X)"), "undeclared variable X\n");
  preprocessor.parsing_condition = true;
  EXPECT_EQ(parsed("defined(X) + 1"), "1");
  EXPECT_EQ(parsed("defined(X) * 5"), "#0");
  EXPECT_EQ(parsed("!defined(int)"), "#1");
  EXPECT_EQ(failure("defined(3)"), "bad defined() syntax\n");
  preprocessor.parsing_condition = false;
}

TEST_F(ExpressionTest, GlobalsAreMarkedUsed) {
  Declaration* d = test::symbol_named("j")->declaration;
  d->usage = 0;
  parse("j + 1");
  EXPECT_EQ(d->usage & decl_flag::used, decl_flag::used);
}

TEST_F(ExpressionTest, DeepNestingIsRefusedNotCrashed) {
  const std::string deep = std::string(5000, '(') + "1" + std::string(5000, ')');
  EXPECT_EQ(failure(deep), "expression too complex\n");
  std::string negations(100000, '-');
  EXPECT_EQ(failure(negations + "i"), "expression too complex\n");
  std::string long_sum = "i";
  for (int n = 0; n < 5000; ++n) long_sum += "+i";
  EXPECT_EQ(failure(long_sum), "expression too complex\n");
  // A long but flat constant expression folds as it goes.
  std::string constant_sum = "1";
  for (int n = 0; n < 5000; ++n) constant_sum += "+1";
  EXPECT_EQ(parsed(constant_sum), "#5001");
}

TEST_F(ExpressionTest, NodesAreRecycled) {
  Node* n = parse("i + j * i");
  ASSERT_NE(n, nullptr);
  const std::size_t allocated = nodes_made();
  release_tree(n);
  for (int k = 0; k < 100; ++k) release_tree(parse("i + j * i"));
  EXPECT_EQ(nodes_made(), allocated);
  // The shared null pointer survives being released.
  release_tree(parse("p = 0"));
  EXPECT_EQ(null_pointer_node()->op, NodeOp::null_pointer);
  Node* copy = copy_tree(parse("p == 0 ? i : j"));
  EXPECT_EQ(tree(copy), "(? (== p nullptr) (: i j))");
}

// A released tree's nodes are reused root first, then the right subtree,
// then the left; the deepest accepted tree is released without trouble.
TEST_F(ExpressionTest, ReleasedNodesAreReusedInWalkOrder) {
  Node* n = parse("(i + j) * (i - j)");
  ASSERT_EQ(tree(n), "(* (+ i j) (- i j))");
  Node* const root = n;
  Node* const left = n->left;
  Node* const right = n->right;
  Node* const right_right = right->right;
  Node* const left_left = left->left;
  Node* const left_right = left->right;
  const std::size_t free_before = node_pool.free_count;
  release_tree(n);
  EXPECT_EQ(node_pool.free_count, free_before + 7);
  EXPECT_EQ(node_pool.free_list, left_left);
  EXPECT_EQ(new_folded(1), left_left);
  std::vector<Node*> reused;
  for (int k = 0; k < 6; ++k) reused.push_back(new_folded(k));
  EXPECT_EQ(reused[0], left_right);
  EXPECT_EQ(reused[1], left);
  EXPECT_EQ(reused[3], right_right);
  EXPECT_EQ(reused[5], root);
  EXPECT_EQ(reused[5]->left, nullptr);
  std::string deep = "i";
  for (int k = 0; k < 900; ++k) deep = "~" + deep;
  Node* chain = parse(deep);
  ASSERT_NE(chain, nullptr);
  const std::size_t before_chain = node_pool.free_count;
  release_tree(chain);
  EXPECT_EQ(node_pool.free_count, before_chain + 901);
}

// A scope takes back at once every node made while it was open, whatever
// was released inside it, and leaves the nodes made before it alone.
TEST_F(ExpressionTest, ScopesGiveBackTheirNodesAtOnce) {
  Node* before = parse("i + j");
  ASSERT_EQ(tree(before), "(+ i j)");
  const std::size_t carved = nodes_carved();
  const std::size_t free_outside = node_pool.free_count;
  Node* first_inside = nullptr;
  {
    const NodeScope outer;
    first_inside = parse("i * j");
    // The scope starts a free list of its own; what is released in it is
    // reused in it.
    EXPECT_EQ(node_pool.free_count, 0u);
    release_tree(parse("(i + j) * (i - j)"));
    EXPECT_EQ(node_pool.free_count, 7u);
    Node* const released = new_folded(3);  // the last one released
    EXPECT_EQ(node_pool.free_count, 6u);
    release_node(released);
    EXPECT_EQ(node_pool.free_count, 7u);
    EXPECT_EQ(new_folded(4), released);
    {
      const NodeScope inner;
      const std::size_t inner_start = nodes_carved();
      for (int k = 0; k < 2000; ++k) parse("i + j * i");
      EXPECT_GE(nodes_carved(), inner_start + 2000);
    }
    // The inner scope gave back its nodes, the outer ones are intact.
    EXPECT_EQ(tree(first_inside), "(* i j)");
    EXPECT_LT(nodes_carved(), carved + 100);
  }
  EXPECT_EQ(nodes_carved(), carved);
  EXPECT_EQ(tree(before), "(+ i j)");
  // The free list from before the scope is back, without the scope's.
  EXPECT_EQ(node_pool.free_count, free_outside);
  // The next node is carved where the scope began, and the most carved
  // counts what the inner scope held.
  EXPECT_EQ(parse("i"), first_inside->left);
  EXPECT_GE(nodes_made(), carved + 2000);
  // Many nodes in many scopes take no more room than one scope's worth.
  const std::size_t most = nodes_made();
  for (int round = 0; round < 50; ++round) {
    const NodeScope again;
    for (int k = 0; k < 400; ++k) parse("i + j * i");
  }
  EXPECT_EQ(nodes_made(), most);
}

// An error inside a scope ends the compile; the scope still closes on the
// way out, so the nodes it held are free again.
TEST_F(ExpressionTest, ScopesCloseOnErrors) {
  const std::size_t carved = nodes_carved();
  std::string long_sum = "i";
  for (int n = 0; n < 5000; ++n) long_sum += "+i";
  bool refused = false;
  feed(long_sum);
  try {
    const NodeScope nodes;
    next_token();
    parse_expression();
  } catch (const CompileExit&) {
    refused = true;
  }
  EXPECT_TRUE(refused);
  EXPECT_NE(console.find("expression too complex"), std::string::npos);
  EXPECT_EQ(node_pool.open_scopes, 0);
  EXPECT_EQ(nodes_carved(), carved);
}

TEST(KindChecks, PassableAndInteger) {
  test::ExpressionFixture f;
  f.start();
  auto message = [&](auto check, TypeKind k) {
    f.console.clear();
    try {
      check(k);
    } catch (const CompileExit&) {
    }
    return f.console;
  };
  EXPECT_EQ(message(check_passable, TypeKind::spot), "");
  EXPECT_EQ(message(check_passable, TypeKind::pointer), "");
  EXPECT_EQ(message(check_passable, TypeKind::struct_),
            "e.q 1: operation illegal with structure\n");
  EXPECT_EQ(message(check_passable, TypeKind::function),
            "e.q 1: operation illegal with function\n");
  EXPECT_EQ(message(check_integer_kind, TypeKind::byte), "");
  EXPECT_EQ(message(check_integer_kind, TypeKind::spot),
            "e.q 1: operation illegal with spot\n");
  EXPECT_EQ(message(check_integer_kind, TypeKind::pointer),
            "e.q 1: operation illegal with pointer\n");
  EXPECT_EQ(message(check_integer_kind, TypeKind::union_),
            "e.q 1: operation illegal with union\n");
  f.finish();
}

}  // namespace
}  // namespace qxl
