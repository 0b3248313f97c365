#include "types/types.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace qxl {
namespace {

class TypesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_compiler_state();
    init_symbol_table();
    diagnostics.capture = &console_;
    reader.file_name = "t.q";
    reader.line_number = 4;
  }
  void TearDown() override { diagnostics.capture = nullptr; }

  static Symbol* name(const char* text) {
    lookup_symbol(text, tok::identifier);
    return symbols.current;
  }
  // A struct (or union) with the given members, in order.
  static Type* aggregate(TypeKind k,
                         std::initializer_list<std::pair<const char*, Type*>>
                             members) {
    Type* t = make_type(k, nullptr, 0);
    Member** tail = &t->members;
    for (auto [member_name, member_type] : members) {
      *tail = make_member(name(member_name), member_type);
      tail = &(*tail)->next;
    }
    return t;
  }
  static Type* array_of(Type* element, int count) {
    return make_type(TypeKind::pointer, element, count);
  }
  static Type* function_returning(Type* result) {
    return make_type(TypeKind::function, result, 0);
  }

  std::string console_;
};

TEST_F(TypesTest, SizesInTheEditorsMemoryModel) {
  EXPECT_EQ(type_size(type_char, false), 2);
  EXPECT_EQ(type_size(type_short, false), 2);
  EXPECT_EQ(type_size(type_byte, false), 1);
  EXPECT_EQ(type_size(type_int, false), 4);
  EXPECT_EQ(type_size(type_spot, false), 4);
  EXPECT_EQ(type_size(nullptr, true), 0);
  EXPECT_EQ(type_size(type_char_ptr, false), 12);
  EXPECT_EQ(type_size(pointer_to(type_int), false), 12);
  EXPECT_EQ(type_size(make_type(TypeKind::pointer, nullptr, 0), false), 12);
  EXPECT_EQ(type_size(pointer_to(function_returning(type_int)), false), 2);
  EXPECT_EQ(type_size(function_returning(nullptr), false), 4);
  EXPECT_EQ(type_size(color_class_marker, false), 4);
  EXPECT_EQ(type_size(array_of(type_char, 256), true), 512);
}

TEST_F(TypesTest, StructsArePackedAndRoundedOnlyAtTheTop) {
  Type* s = aggregate(TypeKind::struct_, {{"b", type_byte}, {"i", type_int}});
  EXPECT_EQ(type_size(s, false), 5);
  EXPECT_EQ(rounded_size(s), 8);
  Type* pair = array_of(s, 2);
  EXPECT_EQ(type_size(pair, false), 10);
  EXPECT_EQ(rounded_size(pair), 10);
  // A struct inside a struct is not rounded either.
  Type* outer = aggregate(TypeKind::struct_, {{"s", s}, {"c", type_byte}});
  EXPECT_EQ(type_size(outer, false), 6);
  EXPECT_EQ(rounded_size(outer), 8);
  Type* u = aggregate(TypeKind::union_, {{"b", type_byte}, {"p", type_char_ptr}});
  EXPECT_EQ(type_size(u, false), 12);
  Type* odd = aggregate(TypeKind::union_, {{"b", type_byte}, {"c", array_of(type_byte, 5)}});
  EXPECT_EQ(rounded_size(odd), 8);
  EXPECT_EQ(member_offset(s, s->members->next), 1);
  EXPECT_EQ(member_offset(outer, outer->members->next), 5);
  EXPECT_EQ(member_offset(u, u->members->next), 0);
  // Huge arrays stop at the limit instead of overflowing.
  Type* huge = array_of(array_of(type_int, 2000000000), 2000000000);
  EXPECT_EQ(type_size(huge, false), type_size_limit);
  EXPECT_EQ(type_size(array_of(huge, 3), false), type_size_limit);
  Type* two_huge = aggregate(TypeKind::struct_, {{"a", huge}, {"b", huge}});
  EXPECT_EQ(rounded_size(two_huge), type_size_limit);
  EXPECT_EQ(type_size(array_of(type_int, 2000000000), false), 8000000000);
}

TEST_F(TypesTest, ClassesOfArithmetic) {
  EXPECT_EQ(arith_class(type_char), TypeKind::int_);
  EXPECT_EQ(arith_class(type_byte), TypeKind::int_);
  EXPECT_EQ(arith_class(type_short), TypeKind::int_);
  EXPECT_EQ(arith_class(pointer_to(function_returning(type_int))), TypeKind::int_);
  EXPECT_EQ(arith_class(type_char_ptr), TypeKind::pointer);
  EXPECT_EQ(arith_class(type_spot), TypeKind::spot);
  EXPECT_TRUE(is_data_pointer(array_of(type_int, 3)));
  EXPECT_TRUE(is_data_pointer(type_keytable));
  EXPECT_FALSE(is_data_pointer(pointer_to(function_returning(nullptr))));
  EXPECT_FALSE(is_data_pointer(type_int));
}

TEST_F(TypesTest, Compatibility) {
  // Integers of every width meet; a function pointer counts as an int.
  for (Type* a : {type_int, type_char, type_short, type_byte})
    for (Type* b : {type_int, type_char, type_short, type_byte})
      EXPECT_TRUE(types_compatible(a, b, false, false));
  EXPECT_TRUE(types_compatible(pointer_to(function_returning(type_int)),
                               type_int, false, false));
  EXPECT_FALSE(types_compatible(type_char, type_int, false, true));
  EXPECT_FALSE(types_compatible(type_char_ptr, pointer_to(type_short), false,
                                false));
  EXPECT_TRUE(types_compatible(type_char_ptr, array_of(type_char, 9), false,
                               false));
  EXPECT_FALSE(types_compatible(type_int, type_spot, false, false));
  EXPECT_FALSE(types_compatible(nullptr, type_int, false, false));
  EXPECT_TRUE(types_compatible(function_returning(type_int),
                               function_returning(nullptr), false, true));
}

TEST_F(TypesTest, StructsCompareByMembers) {
  Type* a = aggregate(TypeKind::struct_, {{"x", type_int}, {"p", type_char_ptr}});
  Type* b = aggregate(TypeKind::struct_, {{"x", type_int}, {"p", type_char_ptr}});
  Type* swapped =
      aggregate(TypeKind::struct_, {{"p", type_char_ptr}, {"x", type_int}});
  Type* shorter = aggregate(TypeKind::struct_, {{"x", type_int}});
  Type* as_union =
      aggregate(TypeKind::union_, {{"x", type_int}, {"p", type_char_ptr}});
  EXPECT_TRUE(types_compatible(a, b, false, true));
  EXPECT_FALSE(types_compatible(a, swapped, false, false));
  EXPECT_FALSE(types_compatible(a, shorter, false, false));
  EXPECT_FALSE(types_compatible(shorter, a, false, false));
  EXPECT_FALSE(types_compatible(a, as_union, false, false));
  // Members are compared strictly: char against int differs there.
  Type* c = aggregate(TypeKind::struct_, {{"x", type_char}, {"p", type_char_ptr}});
  EXPECT_FALSE(types_compatible(a, c, false, false));
  // Plain pointer members compare only the kinds of their targets.
  Type* d = aggregate(TypeKind::struct_, {{"x", type_int}, {"p", pointer_to(a)}});
  Type* e = aggregate(TypeKind::struct_, {{"x", type_int}, {"p", pointer_to(c)}});
  EXPECT_TRUE(types_compatible(d, e, false, false));
  // A struct without a member list matches nothing, not even itself.
  Type* undefined = make_type(TypeKind::struct_, nullptr, 0);
  EXPECT_FALSE(types_compatible(undefined, undefined, false, false));
}

TEST_F(TypesTest, StructsReachingThemselvesCompareInFiniteTime) {
  // struct A { struct A *p[2]; } against its twin B.
  Type* a = make_type(TypeKind::struct_, nullptr, 0);
  a->members = make_member(name("p"), array_of(pointer_to(a), 2));
  Type* b = make_type(TypeKind::struct_, nullptr, 0);
  b->members = make_member(name("p"), array_of(pointer_to(b), 2));
  EXPECT_TRUE(types_compatible(a, b, false, false));
  Type* c = make_type(TypeKind::struct_, nullptr, 0);
  c->members = make_member(name("p"), array_of(pointer_to(c), 3));
  c->members->next = make_member(name("q"), type_int);
  EXPECT_FALSE(types_compatible(a, c, false, false));
}

TEST_F(TypesTest, MismatchLineIsANote) {
  EXPECT_FALSE(types_compatible(type_char_ptr, type_int, true, false));
  EXPECT_EQ(console_,
            "t.q 4: mismatched types: pointer to character & integer\n");
  EXPECT_EQ(diagnostics.error_count, 0);
  console_.clear();
  report_cast_failure(type_spot, pointer_to(type_int));
  EXPECT_EQ(console_, "t.q 4: can't cast spot to pointer to integer\n");
}

TEST_F(TypesTest, Printing) {
  Type* s = aggregate(TypeKind::struct_, {{"a", type_int}, {"b", type_char_ptr}});
  EXPECT_EQ(type_text(pointer_to(s)),
            "pointer to structure of {a: integer, b: pointer to character}");
  EXPECT_EQ(type_text(array_of(type_char_ptr, 50)),
            "array of 50 pointer to character");
  // A member that points to its own struct prints just "structure".
  Type* node = make_type(TypeKind::struct_, nullptr, 0);
  node->members = make_member(name("next"), pointer_to(node));
  node->members->next = make_member(name("f"), pointer_to(function_returning(type_int)));
  EXPECT_EQ(type_text(node),
            "structure of {next: pointer to structure, f: pointer to function}");
  Type* u = aggregate(TypeKind::union_, {{"s", s}, {"u", pointer_to(make_type(TypeKind::union_, nullptr, 0))}});
  EXPECT_EQ(type_text(u),
            "union of {s: structure of {a: integer, b: pointer to character}, "
            "u: pointer to union}");
  EXPECT_EQ(type_text(make_type(TypeKind::struct_, nullptr, 0)),
            "undefined structure");
  EXPECT_EQ(type_text(make_type(TypeKind::union_, nullptr, 0)), "undefined union");
  EXPECT_EQ(type_text(function_returning(nullptr)), "function returning none");
  EXPECT_EQ(type_text(pointer_to(function_returning(type_spot))),
            "pointer to function returning spot");
  EXPECT_EQ(type_text(nullptr), "none");
  EXPECT_EQ(type_text(type_byte) + type_text(type_short), "byteshort");
  Type* bad = make_type(static_cast<TypeKind>(tok::kw_while), nullptr, 0);
  EXPECT_EQ(type_text(bad), "bad type 34 at " + std::to_string(bad->id) + "\n");
  print_member_list(s->members);
  EXPECT_EQ(console_, "a: integer, b: pointer to character");
}

TEST_F(TypesTest, Signatures) {
  EXPECT_EQ(type_signature(type_int, 0, false), "I");
  EXPECT_EQ(type_signature(type_char, 0, false), "C");
  EXPECT_EQ(type_signature(type_char, 0, true), "I");
  EXPECT_EQ(type_signature(type_short, 0, false), "T");
  EXPECT_EQ(type_signature(type_short, 0, true), "I");
  EXPECT_EQ(type_signature(type_byte, 0, true), "B");
  EXPECT_EQ(type_signature(type_spot, 0, false), ".");
  EXPECT_EQ(type_signature(type_char_ptr, 0, false), "*C");
  EXPECT_EQ(type_signature(pointer_to(type_char_ptr), 0, true), "**C");
  EXPECT_EQ(type_signature(array_of(type_char, 256), 0, false), "[256C]");
  EXPECT_EQ(type_signature(array_of(type_char, 256), 0, true), "*C");
  EXPECT_EQ(type_signature(function_returning(type_int), 0, false), "(I)");
  EXPECT_EQ(type_signature(function_returning(nullptr), 0, false), "()");
  EXPECT_EQ(type_signature(pointer_to(function_returning(type_char)), 0, true),
            "*(C)");
  Type* big = aggregate(TypeKind::struct_, {{"data", array_of(type_byte, 800)}});
  EXPECT_EQ(type_signature(pointer_to(big), 0, true), "*S{[800B]}");
  Type* u = aggregate(TypeKind::union_, {{"c", type_char}, {"s", type_short}});
  EXPECT_EQ(type_signature(u, 0, true), "U{CT}");
  EXPECT_TRUE(console_.empty());
  EXPECT_EQ(type_signature(make_type(static_cast<TypeKind>(tok::kw_while), nullptr, 0), 0, false),
            "????");
  EXPECT_EQ(console_, "bad type conversion\n");
}

TEST_F(TypesTest, CompleteStructuresKeepTheirSizeAndSignature) {
  // Made by hand, the records count as still being read (as during a body)
  // and nothing is kept: a member added later shows.
  Type* inner = aggregate(TypeKind::struct_, {{"a", type_int}});
  Type* outer = aggregate(TypeKind::struct_, {{"in", inner}, {"next", nullptr}});
  outer->members->next->type = pointer_to(outer);
  EXPECT_EQ(type_signature(outer, 0, false), "S{S{I}*S-}");
  EXPECT_EQ(type_size(inner, false), 4);
  inner->members->next = make_member(name("b"), type_char);
  EXPECT_EQ(type_signature(outer, 0, false), "S{S{IC}*S-}");
  EXPECT_EQ(type_size(inner, false), 6);
  EXPECT_EQ(inner->facts, nullptr);

  // Once complete, both are kept and read the same wherever the structure
  // appears: alone, as a member, through a pointer, promoted.
  inner->nesting = 1;
  outer->nesting = 2;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(type_signature(outer, 0, false), "S{S{IC}*S-}");
    EXPECT_EQ(type_signature(inner, 0, true), "S{IC}");
    EXPECT_EQ(type_signature(pointer_to(outer), 0, true), "*S{S{IC}*S-}");
    EXPECT_EQ(type_signature(array_of(inner, 2), 0, false), "[2S{IC}]");
    // Inside a member, past a pointer, a structure is only named.
    EXPECT_EQ(type_signature(inner, nesting::member | nesting::through_pointer,
                             false),
              "S-");
    EXPECT_EQ(type_size(outer, false), 18);
    EXPECT_EQ(rounded_size(outer), 20);
  }
  ASSERT_NE(inner->facts, nullptr);
  EXPECT_EQ(inner->facts->size, 6);
  EXPECT_EQ(inner->facts->members_signature, "{IC}");
}

TEST_F(TypesTest, SelfReferenceUsesTheShortForm) {
  Type* node = make_type(TypeKind::struct_, nullptr, 0);
  node->members = make_member(name("next"), pointer_to(node));
  node->members->next = make_member(name("inner"),
                                    aggregate(TypeKind::struct_, {{"c", type_char}}));
  node->members->next->next = make_member(name("v"), array_of(pointer_to(node), 2));
  EXPECT_EQ(type_signature(node, 0, false), "S{*S-S{C}[2*S-]}");
  EXPECT_EQ(type_signature(pointer_to(node), 0, true), "*S{*S-S{C}[2*S-]}");
}

TEST_F(TypesTest, ParameterSignatures) {
  const Type* params[] = {type_char_ptr, type_int, type_short,
                          array_of(type_int, 4)};
  EXPECT_EQ(param_signature(params), "*C;I;I;*I;");
  EXPECT_EQ(param_signature({}), "");
}

TEST_F(TypesTest, DecayAndSharedRecords) {
  EXPECT_EQ(pointer_to(type_char), type_char_ptr);
  Type* p = pointer_to(type_int);
  EXPECT_EQ(p->kind, TypeKind::pointer);
  EXPECT_EQ(p->sub, type_int);
  EXPECT_EQ(p->count, 0);
  EXPECT_NE(pointer_to(type_int), p);
  EXPECT_EQ(type_keytable->count, -1);
  EXPECT_EQ(type_keytable->sub, type_short);
  EXPECT_EQ(token_of(color_class_marker->kind), tok::kw_color_class);
}

// Array uses and "&" share one pointer record per target, yet every later
// record takes the id it would have if each pointer had been made anew.
TEST_F(TypesTest, SharedPointersKeepTheIdSequence) {
  Type* array = array_of(type_int, 3);
  Type* first = decayed_pointer(array->sub);
  EXPECT_EQ(first->kind, TypeKind::pointer);
  EXPECT_EQ(first->sub, type_int);
  EXPECT_EQ(first->count, 0);
  EXPECT_EQ(decayed_pointer(array->sub), first);
  EXPECT_EQ(shared_pointer_to(type_int), first);
  EXPECT_EQ(decayed_pointer(type_char), type_char_ptr);
  const std::uint32_t after = make_type(TypeKind::int_, nullptr, 0)->id;
  EXPECT_EQ(after, first->id + 3);
  // Another compile starts from fresh records.
  type_arena.reset();
  Type* again = decayed_pointer(type_int);
  EXPECT_EQ(again->sub, type_int);
  EXPECT_EQ(again->id, 101u);
}

// The answers settled without walking members agree with the full rules.
TEST_F(TypesTest, QuickCompatibilityAnswers) {
  Type* p = pointer_to(type_int);
  EXPECT_TRUE(types_compatible(p, p, false, true));
  EXPECT_FALSE(types_compatible(make_type(TypeKind::pointer, nullptr, 0),
                                make_type(TypeKind::pointer, nullptr, 0),
                                false, true));
  Type* dangling = make_type(TypeKind::pointer, nullptr, 0);
  EXPECT_FALSE(types_compatible(dangling, dangling, false, false));
  Type* undefined = make_type(TypeKind::struct_, nullptr, 0);
  EXPECT_FALSE(types_compatible(undefined, undefined, false, false));
  Type* pu = pointer_to(undefined);
  EXPECT_FALSE(types_compatible(pu, pu, false, false));
  EXPECT_TRUE(types_compatible(type_char, type_short, false, false));
  EXPECT_FALSE(types_compatible(type_char, type_short, false, true));
  EXPECT_FALSE(types_compatible(type_int, type_spot, false, false));
  EXPECT_TRUE(types_compatible(type_spot, type_spot, false, true));
  EXPECT_FALSE(types_compatible(type_int, nullptr, true, false));
  EXPECT_EQ(console_, "t.q 4: mismatched types: integer & none\n");
}

}  // namespace
}  // namespace qxl
