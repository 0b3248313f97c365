// qxlrun's stack machine: instruction semantics on hand-built code, and
// whole compiled programs for what the compiler relies on.
#include <gtest/gtest.h>

#include "qxlrun_support.h"

namespace qxl::test {
namespace {

constexpr std::uint8_t say_number = 101;  // say("*C;>")

std::uint8_t sb(int v) { return static_cast<std::uint8_t>(static_cast<std::int8_t>(v)); }

// Runs main() made of `pieces`, each leaving one int that is printed on a
// line of its own with say("%d").
RunOutput print_values(std::initializer_list<std::vector<std::uint8_t>> pieces,
                       int frame_words = 0, std::vector<std::uint8_t> prologue = {}) {
  HandFile f;
  f.strings.push_back(u"%d");
  std::vector<std::uint8_t> code = prologue;
  for (const auto& piece : pieces) {
    code.insert(code.end(), piece.begin(), piece.end());
    code.push_back(op::push_string);
    add_i32(code, 0);
    code.push_back(say_number);
    code.push_back(call_byte(4, false));
  }
  code.push_back(op::return_);
  f.functions.push_back({"main", code, 0, frame_words, {}});
  return run_files({bytes(f)});
}

std::string fault_of(const RunOutput& r) {
  EXPECT_FALSE(r.load_error.has_value()) << *r.load_error;
  EXPECT_EQ(r.outcome.kind, run::Outcome::Kind::fault);
  EXPECT_EQ(r.outcome.status, 3);
  return r.outcome.message;
}

TEST(QxlrunInstructions, ArithmeticEdges) {
  const RunOutput r = print_values({
      join({push_i32(INT32_MIN), {op::push_i8, sb(-1), op::div}}),
      join({push_i32(INT32_MIN), {op::push_i8, sb(-1), op::mod}}),
      {op::push_i8, sb(-7), op::push_i8, 2, op::div},
      {op::push_i8, sb(-7), op::push_i8, 2, op::mod},
      {op::push_i8, 1, op::push_i8, 3, op::neg, op::shift},   // 1 << 3
      {op::push_i8, sb(-16), op::push_i8, 2, op::shift},      // arithmetic
      {op::push_i8, 5, op::push_i8, 33, op::shift},           // count mod 32
      join({push_i32(0x7FFFFFFF), {op::push_i8, 1, op::add}}),
      {op::push_i8, sb(-1), op::push_i8, 1, op::lt},          // signed
      {op::push_i8, 6, op::push_i8, sb(-1), op::xor_},        // ~6
      {op::push_i8, 3, op::push_i8, 4, op::add_scaled, 10},   // 3 + 4 * 10
  });
  EXPECT_EQ(r.out, "-2147483648\n0\n-3\n-1\n8\n-4\n2\n-2147483648\n1\n-7\n43\n");
  EXPECT_EQ(r.outcome.status, 0);
}

TEST(QxlrunInstructions, DivisionByZeroFaults) {
  EXPECT_EQ(fault_of(run_code({op::push_i8, 1, op::push_zero, op::mod})),
            "division by zero (remainder) (in function main)");
}

TEST(QxlrunInstructions, PointerPlusIntAddressesInsideALocal) {
  // Four local words; store 77 through &local + 8, read word 2 back.
  const RunOutput r = print_values({
      {op::push_i8, 77, op::addr_local, 0, 16, 0, 0, 0, op::push_i8, 8, op::add,
       op::deref, op::store_4, op::load_local, 2},
      // Two pointers into the same local: their distance in bytes.
      {op::addr_local, 0, 16, 0, 0, 0, op::push_i8, 12, op::add, op::addr_local, 0,
       16, 0, 0, 0, op::ptr_operands, op::sub},
      // A pointer turned into an int and back still reaches the local.
      {op::addr_local, 0, 16, 0, 0, 0, op::push_i8, 8, op::add, op::ptr_to_int,
       op::int_to_ptr, op::deref, op::load_4},
      // Pointers compare by address.
      {op::addr_local, 0, 16, 0, 0, 0, op::push_i8, 4, op::add, op::addr_local, 0,
       16, 0, 0, 0, op::ptr_operands, op::gt},
  }, 4);
  EXPECT_EQ(r.out, "77\n12\n77\n1\n");
}

TEST(QxlrunInstructions, NarrowLocalsAndIncrements) {
  const RunOutput r = print_values({
      {op::push_i8, sb(-1), op::store_local_narrow, narrow::short_value, 0,
       op::load_local_narrow, narrow::short_value, 0},
      {op::load_local_narrow, narrow::char_value, 0},
      join({push_i32(300), {op::store_local_narrow, narrow::byte_value, 1,
                            op::load_local_narrow, narrow::byte_value, 1}}),
      {op::push_i8, 10, op::store_local, 2, op::inc_local, 5, inc_mode::value_before, 2},
      {op::inc_local, sb(-3), inc_mode::value_after, 2},
      {op::inc_local, 1, inc_mode::no_value, 2, op::load_local, 2},
  }, 3);
  EXPECT_EQ(r.out, "-1\n65535\n44\n10\n12\n13\n");
}

TEST(QxlrunInstructions, SwitchAndConstantJumps) {
  // switch (v) { case 5: 50; case -300: 30; } default 7
  std::vector<std::uint8_t> sw = {op::load_local, 0, op::switch_, 2, 0};
  sw.insert(sw.end(), {5, 0});  // case 5 -> 5 bytes past the table
  add_i32(sw, 5);
  sw.insert(sw.end(), {10, 0});  // case -300 -> 10 bytes past
  add_i32(sw, -300);
  sw.insert(sw.end(), {op::push_i8, 7, op::jump, 7, 0,     // no match
                       op::push_i8, 50, op::jump, 2, 0,    // case 5
                       op::push_i8, 30});                  // case -300
  auto with = [&](int v) {
    return join({push_i32(v), {op::store_local, 0}, sw});
  };
  const RunOutput r = print_values(
      {with(5), with(-300), with(6),
       {op::push_i8, 9, op::jump_if_eq_const, 9, 2, 0, op::push_i8, 1, op::push_i8, 2},
       {op::push_i8, 9, op::jump_if_ne_const, 9, 2, 0, op::push_i8, 1, op::push_i8, 3}},
      1);
  EXPECT_EQ(r.out, "50\n30\n7\n2\n3\n");
}

TEST(QxlrunCalls, ParametersLieBelowTheMachineWords) {
  // callee(int *p, int n): p at -6 (three words), n at -7.
  HandFile f;
  f.strings.push_back(u"%d");
  f.functions.push_back({"callee",
                         {op::load_local, sb(-7), op::load_local_large, sb(-6),
                          op::deref, op::load_4, op::add, op::return_value, op::return_},
                         4, 0, {}});
  std::vector<std::uint8_t> main = {op::push_i8, 37, op::store_local, 0,
                                    op::push_i8, 5, op::addr_local, 0, 4, 0, 0, 0,
                                    op::call, 0, 0, call_byte(4, true),
                                    // result unused: dropped by the call
                                    op::push_i8, 5, op::addr_local, 0, 4, 0, 0, 0,
                                    op::call, 0, 0, call_byte(4, false),
                                    op::return_value, op::return_};
  f.functions.push_back({"main", main, 0, 1, {{13, "callee"}, {25, "callee"}}});
  const RunOutput r = run_files({bytes(f)});
  EXPECT_EQ(r.outcome.status, 42);
}

TEST(QxlrunCalls, MissingResultIsZeroAndIndirectCalls) {
  HandFile f;
  f.functions.push_back({"nothing", {op::return_}, 0, 0, {}});
  f.functions.push_back({"nine", {op::push_i8, 9, op::return_value, op::return_}, 0, 0, {}});
  f.functions.push_back(
      {"main",
       {op::call, 0, 0, call_byte(0, true),                  // 0
        op::push_function, 0, 0, op::call_indirect, call_byte(0, true),  // 9
        op::add, op::return_value, op::return_},
       0, 0, {{1, "nothing"}, {5, "nine"}}});
  EXPECT_EQ(run_files({bytes(f)}).outcome.status, 9);
}

TEST(QxlrunFaults, MisusedStackAndFrame) {
  EXPECT_EQ(fault_of(run_code({op::pop})), "the operand stack is empty (in function main)");
  EXPECT_EQ(fault_of(run_code({op::load_local, 2}, 2)),
            "frame offset 2 lies outside the 2 local words (in function main)");
  EXPECT_EQ(fault_of(run_code({op::load_local, sb(-4)})),
            "frame offset -4 lies outside the arguments that were passed (in function main)");
  EXPECT_EQ(fault_of(run_code({op::end_handler})),
            "OP_END_HANDLER outside an on_exit body or restore code (in function main)");
  EXPECT_EQ(fault_of(run_code({op::push_i8, 5, op::deref})),
            "an int is used where a pointer belongs (in function main)");
  EXPECT_EQ(fault_of(run_code({op::push_i8, 5, op::call_indirect, 0})),
            "call through the invalid function pointer 5 (in function main)");
  EXPECT_EQ(fault_of(run_code({op::push_i8, 5, op::load_4})),
            "a load or store finds no address on the stack (in function main)");
}

// Code that the loader's checks never let through, run as it is: operands
// cut off by the end of the code and jumps out of it are faults.
TEST(QxlrunFaults, CodeCutShortOrLeft) {
  auto run_unchecked = [](std::vector<std::uint8_t> code) {
    run::Program program;
    program.files.push_back({"cut.b", {}, {}});
    run::Function main;
    main.name = "main";
    main.code = std::move(code);
    main.target_at.assign(main.code.size(), -1);
    program.functions.push_back(std::move(main));
    program.names["main"] = {true, 0};
    RunOutput r;
    r.outcome = run::run(program, {}, {});
    return r;
  };
  const std::string cut =
      "an instruction runs past the end of the code (in function main)";
  EXPECT_EQ(fault_of(run_unchecked({})), cut);
  EXPECT_EQ(fault_of(run_unchecked({op::push_i32, 1, 2, 3})), cut);
  EXPECT_EQ(fault_of(run_unchecked({op::push_i8})), cut);
  EXPECT_EQ(fault_of(run_unchecked({say_number})), cut);  // no call byte
  EXPECT_EQ(fault_of(run_unchecked({op::push_color_class, 'a', 'b'})), cut);
  EXPECT_EQ(fault_of(run_unchecked(
                {op::push_zero, op::switch_, 2, 0, 0, 0, 0, 0, 0, 0})),
            cut);
  EXPECT_EQ(fault_of(run_unchecked(
                {op::push_zero, op::save_var, 1, 3, op::return_})),
            cut);
  EXPECT_EQ(fault_of(run_unchecked({op::jump, 0x10, 0, op::return_})),
            "a jump leaves the code (in function main)");
  // The same bytes whole run.
  EXPECT_EQ(run_unchecked({op::push_color_class, 'a', 0, op::pop, op::return_})
                .outcome.kind,
            run::Outcome::Kind::returned);
}

TEST(QxlrunFaults, LocationComesFromTheDebugRecords) {
  HandFile f;
  f.debug_names = {"first.q", "second.q"};
  f.functions.push_back({"main",
                         {op::debug_file, 0, 0, 0, 0, op::debug_line, 3, 0, op::debug_file,
                          12, 0, 0, 0, op::debug_line, 0x10, 0x27, op::push_null, op::deref,
                          op::load_1, op::return_value, op::return_},
                         0, 0, {}});
  EXPECT_EQ(fault_of(run_files({bytes(f)})),
            "second.q 10000: null pointer dereferenced (in function main)");
}

TEST(QxlrunFaults, LimitsStopARun) {
  run::Options small;
  small.stack_words = 100;
  const RunOutput deep = run_source({"int f(int n) { return f(n + 1); }\n"
                                     "main() { return f(0); }\n"},
                                    small);
  EXPECT_EQ(fault_of(deep), "a.q 1: stack overflow (100 words) (in function f)");
  run::Options steps;
  steps.max_steps = 50;
  EXPECT_EQ(fault_of(run_source({"main()\n{\n  for (;;) ;\n}\n"}, steps)),
            "a.q 3: the step limit of 50 instructions is reached (in function main)");
}

TEST(QxlrunPrograms, ExitHandlersSeeSavedValuesThenRestore) {
  const RunOutput r = run_source({R"(
int level = 1;
int seen;
int f()
{
  on_exit seen = level;
  save_var level = 2;
  return level * 10;
}
main() { int r; r = f(); say("%d %d %d", r, seen, level); return 0; }
)"});
  EXPECT_EQ(r.out, "20 2 1\n");
}

TEST(QxlrunPrograms, LargeValuesAndFunctionPointers) {
  const RunOutput r = run_source({R"(
struct pair { int a; char *s; int b; };
struct two { int x; int y; };
struct pair g = {5, 0, 6};
struct pair get() { return g; }
struct two copy(struct two *t) { return *t; }
int twice(int x) { return 2 * x; }
main()
{
  char *p, *q;
  int (*fp)();
  struct two *t;
  t = (struct two *) malloc(8);
  get();
  copy(t);
  p = "text";
  q = p + 2;
  fp = twice;
  say("%s %d %d %d", q, q - p, (*fp)(21), sizeof(struct pair));
  return 0;
}
)"});
  ASSERT_FALSE(r.load_error.has_value()) << *r.load_error;
  EXPECT_EQ(r.out, "xt 2 42 20\n");
}

TEST(QxlrunPrograms, HeapBlocks) {
  const RunOutput r = run_source({R"(
main()
{
  char *p;
  int *n;
  p = malloc(4);
  strcpy(p, "a");
  p = realloc(p, 10);
  strcat(p, "bcd");
  n = (int *) malloc(8);
  say("%s %d %d", p, strlen(p), n[1]);
  free(p);
  free(n);
  free((char *) 0);
  return 0;
}
)"});
  EXPECT_EQ(r.out, "abcd 4 0\n");
  EXPECT_EQ(fault_of(run_source({"main() { int x; free(&x); }\n"})),
            "a.q 1: free: a local variable did not come from malloc (in function main)");
  EXPECT_EQ(fault_of(run_source({"main() { char *p; p = malloc(8); free(p + 2); }\n"})),
            "a.q 1: free: the pointer is 4 bytes into its block (in function main)");
  EXPECT_EQ(fault_of(run_source({"main() { char *p; p = \"ro\"; p[0] = 'x'; }\n"})),
            "a.q 1: write into a string constant (in function main)");
}

TEST(QxlrunPrograms, SpotsFollowTheText) {
  const RunOutput r = run_source({R"(
main()
{
  spot left, right;
  stuff("abcd");
  point = 2;
  left = alloc_spot(1);
  right = alloc_spot(0);
  insert('X');
  say("%d %d %d", *left, *right, point);
  delete(0, 3);
  say("%d %d %d %d", *left, *right, point, size());
  *right = 99;
  say("%d", *right);
  return 0;
}
)"});
  EXPECT_EQ(r.out, "2 3 3\n0 0 0 2\n2\n");
}

TEST(QxlrunPrograms, JumpBuffersAreReusedAndCheckedForLife) {
  const RunOutput r = run_source({R"(
jmp_buf jb;
int n;
main()
{
  int i;
  for (i = 0; i < 3; i++)
    if (setjmp(&jb) == 0 && n < 2) { n++; longjmp(&jb, 0); }
  say("%d %d", i, n);
  return 0;
}
)"});
  EXPECT_EQ(r.out, "3 2\n");
  EXPECT_EQ(fault_of(run_source({"jmp_buf jb;\nint set() { return setjmp(&jb); }\n"
                                 "main() { set(); longjmp(&jb, 1); }\n"})),
            "a.q 3: longjmp: the function that called setjmp has returned (in function main)");
}

}  // namespace
}  // namespace qxl::test
