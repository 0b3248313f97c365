// qxlrun's loader: checking, gathering names across files, common globals
// and the resolution of name references.
#include <gtest/gtest.h>

#include "qxlrun_support.h"

namespace qxl::test {
namespace {

using run::Program;

std::vector<std::uint8_t> call_code() {
  return {op::call, 0, 0, call_byte(0, false), op::return_};
}

HandFile caller(const std::string& name, const std::string& callee) {
  HandFile f;
  f.functions.push_back({name, call_code(), 0, 0, {{1, callee}}});
  return f;
}

TEST(QxlrunLoader, RefusesWhatTheChecksRefuse) {
  Program p;
  std::vector<std::uint8_t> b = bytes(caller("main", "main"));
  b[4] = 205;
  const auto error = run::load_file(p, "bad.b", b);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(*error, "bad.b: offset 4: unsupported version 205, expected 206");
  EXPECT_TRUE(p.files.empty());
}

TEST(QxlrunLoader, SplitsRecordsAndResolvesReferences) {
  HandFile f;
  f.globals.push_back({"count", "I", 4, std::vector<std::uint8_t>{7, 0, 0, 0}});
  f.functions.push_back(
      {"main", {op::global_ref, 0, 0, op::load_4, op::call, 0, 0, 0x80,
                op::add, op::return_value, op::return_},
       0, 0, {{1, "count"}, {5, "helper-fn"}}});
  f.functions.push_back({"helper-fn", {op::push_i8, 35, op::return_value, op::return_}, 0, 0, {}});
  Program p;
  ASSERT_FALSE(run::load_file(p, "a.b", bytes(f)).has_value());
  ASSERT_FALSE(run::link(p).has_value());
  ASSERT_EQ(p.functions.size(), 2u);
  const run::Function& main = p.functions[0];
  EXPECT_EQ(main.target_at[1], 0);  // the global
  EXPECT_EQ(main.target_at[5], 1);  // the function
  EXPECT_EQ(main.target_at[0], -1);
  EXPECT_EQ(p.globals[0].data, (std::vector<std::uint8_t>{7, 0, 0, 0}));
  const RunOutput r = run_files({bytes(f)});
  EXPECT_EQ(r.outcome.status, 42);
}

TEST(QxlrunLoader, DuplicateFunctionsNameBothFiles) {
  Program p;
  ASSERT_FALSE(run::load_file(p, "one.b", bytes(caller("twice", "twice"))).has_value());
  const auto error = run::load_file(p, "two.b", bytes(caller("twice", "twice")));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(*error, "duplicate definition of twice in one.b and two.b");
  EXPECT_EQ(p.files.size(), 1u);  // the second file left no trace
  EXPECT_EQ(p.functions.size(), 1u);
}

TEST(QxlrunLoader, AGlobalDeclaredInSeveralFilesIsOneVariable) {
  HandFile declares, initializes, again, other_type, function;
  declares.globals.push_back({"shared", "I", 4, std::nullopt});
  initializes.globals.push_back({"shared", "I", 4, std::vector<std::uint8_t>{9, 0, 0, 0}});
  again.globals.push_back({"shared", "I", 4, std::vector<std::uint8_t>{1, 0, 0, 0}});
  other_type.globals.push_back({"shared", "C", 2, std::nullopt});
  function.functions.push_back({"shared", {op::return_}, 0, 0, {}});

  Program p;
  ASSERT_FALSE(run::load_file(p, "a.b", bytes(declares)).has_value());
  ASSERT_FALSE(run::load_file(p, "b.b", bytes(initializes)).has_value());
  ASSERT_FALSE(run::load_file(p, "c.b", bytes(declares)).has_value());
  ASSERT_EQ(p.globals.size(), 1u);
  EXPECT_EQ(p.globals[0].data, (std::vector<std::uint8_t>{9, 0, 0, 0}));
  EXPECT_EQ(*run::load_file(p, "d.b", bytes(again)),
            "duplicate definition of shared in b.b and d.b");
  EXPECT_EQ(*run::load_file(p, "e.b", bytes(other_type)),
            "duplicate definition of shared in b.b and e.b");
  EXPECT_EQ(*run::load_file(p, "f.b", bytes(function)),
            "duplicate definition of shared in b.b and f.b");
}

TEST(QxlrunLoader, UnresolvedAndMisusedNames) {
  Program p;
  ASSERT_FALSE(run::load_file(p, "m.b", bytes(caller("main", "nowhere"))).has_value());
  EXPECT_EQ(*run::link(p),
            "function main in m.b refers to nowhere, which no file defines");

  HandFile var;
  var.globals.push_back({"thing", "I", 4, std::nullopt});
  Program q;
  ASSERT_FALSE(run::load_file(q, "v.b", bytes(var)).has_value());
  ASSERT_FALSE(run::load_file(q, "m.b", bytes(caller("main", "thing"))).has_value());
  EXPECT_EQ(*run::link(q),
            "function main in m.b uses thing as a function, but it is a variable");

  HandFile reads_function;
  reads_function.functions.push_back(
      {"main", {op::global_ref, 0, 0, op::load_4, op::return_value, op::return_}, 0, 0,
       {{1, "main"}}});
  Program r;
  ASSERT_FALSE(run::load_file(r, "g.b", bytes(reads_function)).has_value());
  EXPECT_EQ(*run::link(r),
            "function main in g.b uses main as a variable, but it is a function");
}

TEST(QxlrunLoader, NamesAndDebugEntries) {
  EXPECT_EQ(run::source_name("key-bound-fn"), "key_bound_fn");
  EXPECT_EQ(run::stored_name("my_main"), "my-main");
  run::SourceFile f;
  f.debug_names = {4, 0, 0, 0, 'a', '.', 'q', 0, 99, 0, 0, 0, 'x'};
  EXPECT_EQ(run::debug_file_name(f, 0), "a.q");
  EXPECT_EQ(run::debug_file_name(f, 8), "");   // runs past the end
  EXPECT_EQ(run::debug_file_name(f, 100), "");
}

}  // namespace
}  // namespace qxl::test
