// A compile run in-process after others must give exactly what a fresh
// process gives: the same bytecode file, the same console text and the same
// status.  Whatever one compile leaves behind in any module (symbols,
// macros, types, string pool, debugging names, open includes, key tables,
// color classes, label counters) would show up here as a difference.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "test_support.h"

namespace qxl {
namespace {

// Sources that between them touch every module's state.
constexpr const char* defs_h = R"(#define SQUARE(x) ((x) * (x))
#define LIMIT 40
keytable shared_keys;
struct pair { int a; char name[6]; };
color_class accent = 0x102030 on 0x405060;
)";

constexpr const char* first_q = R"(#include "defs.h"
#if LIMIT > 10
int big = SQUARE(LIMIT);
#else
int big = 1;
#endif
char title[] = "first source";
struct pair pairs[3] = { { 1, "one" }, { 2, "two" } };
buffer int per_buffer = 5;
window short per_window;
int pick(int n)
{
        switch (n) {
        case 1: return pairs[0].a;
        case 7: goto done;
        default: break;
        }
done:
        return strlen(title) + n;
}
command first_command() on shared_keys['x' | 0x100]
{
        int i;
        save_var per_buffer = 3;
        for (i = 0; i < 3; i++)
                say("%s %d", pairs[i].name, pick(i));
}
)";

constexpr const char* second_q = R"(char words[3][14] = { "alpha", "beta", "first source" };
keytable own_keys;
color_class quiet = 0x0 on 0xffffff;
int total;
int add(int a, int b) { return a + b; }
command second_command() on own_keys['q']
{
        int n = 0;
        while (n < 3) {
                total = add(total, strlen(words[n]));
                n++;
        }
        say("%d", total);
}
)";

// Stops with an error inside an included file, in the middle of a macro
// expansion and an open #if, with a function half compiled.
constexpr const char* broken_h = R"(#define HALF(x) ((x) / 2 +
#if 1
int broken_part()
{
        return HALF(4) ;
}
#endif
)";

constexpr const char* broken_q = R"(int before = 3;
#include "broken.h"
int after;
)";

// Warnings and notes, but a complete output.
constexpr const char* noisy_q = R"(#bogus directive
int unused_locals()
{
        int never_used;
        char *p = 5;
        return 0;
}
)";

struct Outcome {
  int status;
  std::string console;
  std::string output;  // empty when no file was written
};

// Stops where the parsers refuse to nest deeper: in an expression, in
// statements and in a declarator.
std::string too_deep(const std::string& open, const std::string& middle,
                     const std::string& close, int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) text += open;
  text += middle;
  for (int i = 0; i < levels; ++i) text += close;
  return text;
}

void write_sources(const test::ScratchDir& dir) {
  dir.write("deep_expression.q",
            "int x = " + too_deep("(", "1", ")", 1100) + ";\n");
  dir.write("deep_statements.q",
            "f() " + too_deep("{", "", "}", 1100) + "\n");
  dir.write("deep_declarator.q", "int " + too_deep("(", "x", ")", 600) + ";\n");
  // As deep as each parser allows: a depth count left over from a refused
  // compile would refuse these.
  dir.write("deepest_expression.q",
            "int x = " + too_deep("(", "1", ")", 332) + ";\n");
  dir.write("deepest_statements.q",
            "f() " + too_deep("{", "", "}", 1001) + "\n");
  dir.write("deepest_declarator.q",
            "int " + too_deep("(", "x", ")", 499) + ";\n");
  dir.write("defs.h", defs_h);
  dir.write("first.q", first_q);
  dir.write("second.q", second_q);
  dir.write("broken.h", broken_h);
  dir.write("broken.q", broken_q);
  dir.write("noisy.q", noisy_q);
}

std::string output_of(const test::ScratchDir& dir, const std::string& source) {
  const std::string name = source.substr(0, source.size() - 2) + ".b";
  if (!dir.exists(name)) return {};
  std::string bytes = dir.read(name);
  std::remove(name.c_str());
  return bytes;
}

Outcome in_process(const test::ScratchDir& dir, const std::string& source) {
  test::RunResult r = test::run_compiler({source});
  return {r.status, r.console, output_of(dir, source)};
}

// The real compiler, started as a new process in the same directory.
Outcome fresh_process(const test::ScratchDir& dir, const std::string& source) {
  const std::string command =
      std::string("'") + QXL_BINARY + "' " + source + " 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  std::string console;
  std::array<char, 4096> block;
  for (std::size_t n; (n = std::fread(block.data(), 1, block.size(), pipe)) > 0;)
    console.append(block.data(), n);
  const int status = ::pclose(pipe);
  return {WEXITSTATUS(status), console, output_of(dir, source)};
}

void expect_same(const Outcome& got, const Outcome& fresh,
                 const std::string& what) {
  EXPECT_EQ(got.status, fresh.status) << what;
  EXPECT_EQ(got.console, fresh.console) << what;
  EXPECT_EQ(got.output.size(), fresh.output.size()) << what;
  EXPECT_TRUE(got.output == fresh.output) << what << ": output bytes differ";
}

TEST(FreshCompile, EveryOrderMatchesAFreshProcess) {
  test::ScratchDir dir;
  write_sources(dir);
  const std::vector<std::string> sources = {
      "first.q",           "second.q",        "broken.q",
      "noisy.q",           "deep_expression.q", "deep_statements.q",
      "deep_declarator.q", "deepest_expression.q", "deepest_statements.q",
      "deepest_declarator.q"};
  std::vector<Outcome> fresh;
  for (const auto& s : sources) fresh.push_back(fresh_process(dir, s));
  // The sources are what they are meant to be: two good ones, one that
  // fails without an output file, one that warns.
  EXPECT_EQ(fresh[0].status, 0);
  EXPECT_FALSE(fresh[0].output.empty());
  EXPECT_EQ(fresh[1].status, 0);
  EXPECT_EQ(fresh[2].status, 1);
  EXPECT_TRUE(fresh[2].output.empty());
  EXPECT_EQ(fresh[3].status, 0);
  EXPECT_FALSE(fresh[3].console.empty());
  for (std::size_t deep = 4; deep < 7; ++deep)
    EXPECT_EQ(fresh[deep].status, 1) << sources[deep];
  for (std::size_t deepest = 7; deepest < sources.size(); ++deepest)
    EXPECT_EQ(fresh[deepest].status, 0) << sources[deepest];

  for (std::size_t before = 0; before < sources.size(); ++before)
    for (std::size_t after = 0; after < sources.size(); ++after) {
      in_process(dir, sources[before]);
      expect_same(in_process(dir, sources[after]), fresh[after],
                  sources[after] + " after " + sources[before]);
    }
}

TEST(FreshCompile, OptionsDoNotCarryOver) {
  test::ScratchDir dir;
  write_sources(dir);
  const Outcome fresh = fresh_process(dir, "first.q");
  // A compile with other settings, macros and search directories first.
  test::run_compiler({"-s", "-b", "-e", "-q", "-dLIMIT=2", "-i/nonexistent",
                      "first.q"});
  std::remove("first.b");
  expect_same(in_process(dir, "first.q"), fresh, "first.q after options");
}

}  // namespace
}  // namespace qxl
