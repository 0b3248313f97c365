// qxlrun's editor sessions: the buffer's file, key scripts, key tables
// and their dispatch, the test runner's report, backtraces, and a script
// run as a command through its #! line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "qxlrun_support.h"
#include "tools/key_notation.h"
#include "tools/run/session.h"

namespace qxl::test {
namespace {

using run::Outcome;

// Compiles the sources (a.q, b.q, ...) and loads and links them; fails
// the test when that does not work.
run::Program load_sources(const std::vector<std::string>& sources) {
  ScratchDir dir;
  run::Program program;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const std::string name(1, static_cast<char>('a' + i));
    dir.write(name + ".q", sources[i]);
    const RunResult compiled = run_compiler({"-n", "-b", "-q", name + ".q"});
    EXPECT_EQ(compiled.status, 0) << compiled.console;
    const std::string b = dir.read(name + ".b");
    const auto problem = run::load_file(program, name + ".q",
                                        std::vector<std::uint8_t>(b.begin(), b.end()));
    EXPECT_FALSE(problem.has_value()) << *problem;
  }
  const auto problem = run::link(program);
  EXPECT_FALSE(problem.has_value()) << *problem;
  return program;
}

std::size_t function_index(const run::Program& p, const std::string& name) {
  return p.names.at(run::stored_name(name)).index;
}

// ------------------------------------------------------------ buffer files

TEST(QxlrunSession, DecodesBufferFilesAsSourcesAreRead) {
  // UTF-8 only after a byte-order mark; a character above U+FFFF becomes
  // a surrogate pair, a byte outside a well-formed character itself.
  EXPECT_EQ(run::decode_buffer_file("\xEF\xBB\xBF" "a\xC3\xA9\xE2\x82\xAC"),
            u"a\u00E9\u20AC");
  EXPECT_EQ(run::decode_buffer_file("\xEF\xBB\xBF\xF0\x9F\x98\x80"),
            std::u16string({0xD83D, 0xDE00}));
  EXPECT_EQ(run::decode_buffer_file("\xEF\xBB\xBF" "x\xFFy\xC3"),
            std::u16string({'x', 0xFF, 'y', 0xC3}));
  EXPECT_EQ(run::decode_buffer_file("\xEF\xBB\xBF"), u"");
  // Without the mark every byte is one character, UTF-8 or not.
  EXPECT_EQ(run::decode_buffer_file("a\xC3\xA9"),
            std::u16string({'a', 0xC3, 0xA9}));
  EXPECT_EQ(run::decode_buffer_file(std::string("\0\xFF", 2)),
            std::u16string({0, 0xFF}));
  // A mark that is cut short is Latin-1 text.
  EXPECT_EQ(run::decode_buffer_file("\xEF\xBB"), std::u16string({0xEF, 0xBB}));
  EXPECT_EQ(run::decode_buffer_file(""), u"");
}

TEST(QxlrunSession, EncodesTheBufferAsUtf8WithoutAMark) {
  EXPECT_EQ(run::encode_buffer_file(u"a\u00E9\u20AC"), "a\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(run::encode_buffer_file(std::u16string({0xD83D, 0xDE00})),
            "\xF0\x9F\x98\x80");
  EXPECT_EQ(run::encode_buffer_file(std::u16string({0xD83D, 'x'})),
            "\xEF\xBF\xBDx");
  EXPECT_EQ(run::encode_buffer_file(std::u16string(1, u'\0')), std::string(1, '\0'));
  // What a Latin-1 file holds comes back as UTF-8 of the same characters.
  EXPECT_EQ(run::encode_buffer_file(run::decode_buffer_file("caf\xE9")),
            "caf\xC3\xA9");
}

// ------------------------------------------------------------- key scripts

TEST(QxlrunSession, ReadsKeyScripts) {
  std::vector<std::uint32_t> keys;
  EXPECT_FALSE(run::parse_key_script(" C-x\th\n\rAlt-s  F4 a Space #300 ", keys));
  EXPECT_EQ(keys, (std::vector<std::uint32_t>{24, 'h', 0x100 + 's', 0x204, 'a',
                                               ' ', 300}));
  keys.clear();
  EXPECT_FALSE(run::parse_key_script("", keys));
  EXPECT_FALSE(run::parse_key_script(" \n\t", keys));
  EXPECT_TRUE(keys.empty());
  // An unknown word is returned, with the keys before it kept.
  const auto bad = run::parse_key_script("a b Ctrl-x c", keys);
  ASSERT_TRUE(bad.has_value());
  EXPECT_EQ(*bad, "Ctrl-x");
  EXPECT_EQ(keys, (std::vector<std::uint32_t>{'a', 'b'}));
  keys.clear();
  EXPECT_EQ(run::parse_key_script("F100", keys).value_or(""), "F100");
  EXPECT_EQ(run::parse_key_script("#4294967296", keys).value_or(""), "#4294967296");
}

TEST(QxlrunSession, OnlyCharacterKeysInsertThemselves) {
  EXPECT_FALSE(run::inserts_itself(key::control_limit - 1));
  EXPECT_TRUE(run::inserts_itself(' '));
  EXPECT_TRUE(run::inserts_itself('~'));
  EXPECT_FALSE(run::inserts_itself(key::del));
  EXPECT_TRUE(run::inserts_itself(0x80));
  EXPECT_TRUE(run::inserts_itself(0xFF));
  EXPECT_FALSE(run::inserts_itself(key::character_limit));
  EXPECT_FALSE(run::inserts_itself(key::alt + 'h'));
  EXPECT_FALSE(run::inserts_itself(key::function + 1));
}

// -------------------------------------------------------------- key tables

TEST(QxlrunKeyTables, NumbersTablesInEachFileAndSharesThemByName) {
  // b.q declares the tables the other way round: its table 1 is ctlx.
  const run::Program p = load_sources({
      "keytable top, ctlx;\n"
      "command one() on top['a'], ctlx['a'] { }\n"
      "int plain() on top['p'] { return 0; }\n",
      "keytable ctlx, top;\n"
      "command two() on ctlx['b'] { }\n"
      "command three() on top['a'] { }\n",
  });
  ASSERT_EQ(p.key_tables.size(), 2u);
  EXPECT_EQ(run::find_key_table(p, "top"), 0u);
  EXPECT_EQ(run::find_key_table(p, "ctlx"), 1u);
  EXPECT_FALSE(run::find_key_table(p, "other").has_value());
  const auto& top = p.key_tables[0].bindings;
  const auto& ctlx = p.key_tables[1].bindings;
  // A later file's binding of a key replaces the earlier one.
  EXPECT_EQ(top.at('a'), function_index(p, "three"));
  EXPECT_EQ(top.at('p'), function_index(p, "plain"));
  EXPECT_EQ(ctlx.at('a'), function_index(p, "one"));
  EXPECT_EQ(ctlx.at('b'), function_index(p, "two"));
  EXPECT_EQ(top.size(), 2u);
  EXPECT_EQ(ctlx.size(), 2u);
  EXPECT_FALSE(p.functions[function_index(p, "plain")].command);
}

TEST(QxlrunKeyTables, AKeyTableAndAVariableOfOneNameClash) {
  ScratchDir dir;
  dir.write("a.q", "keytable keys;\n");
  dir.write("b.q", "int keys;\n");
  run::Program p;
  for (const char* name : {"a", "b"}) {
    ASSERT_EQ(run_compiler({"-n", "-b", "-q", std::string(name) + ".q"}).status, 0);
    const std::string b = dir.read(std::string(name) + ".b");
    const auto problem = run::load_file(p, std::string(name) + ".q",
                                        std::vector<std::uint8_t>(b.begin(), b.end()));
    if (std::string(name) == "b") {
      ASSERT_TRUE(problem.has_value());
      EXPECT_EQ(*problem, "duplicate definition of keys in a.q and b.q");
    }
  }
}

// ---------------------------------------------------------------- dispatch

const char* const session_source =
    "keytable top, ctlx;\n"
    "int runs;\n"
    "command stamp() on top[0x201] {\n"
    "  runs++;\n"
    "  say(\"stamp key %d iter %d has_arg %d prev %d\", key, iter, has_arg, prev_cmd);\n"
    "  this_cmd = runs;\n"
    "  stuff(\"*\");\n"
    "}\n"
    "command oops() on ctlx['e'] { error(\"oops %d\", runs); }\n"
    "command bye() on ctlx['q'] { leave(5); }\n"
    "command crash() on ctlx['c'] { int *p = 0; runs = *p; }\n"
    "int helper() on top[0x202] { return 1; }\n";

struct Session {
  run::Program program = load_sources({session_source});
  run::Machine machine;
  std::string out, err;
  run::DispatchSettings settings;

  Outcome dispatch(std::string_view keys, bool has_arg = false,
                   std::int32_t iter = 1, std::u16string text = u"") {
    run::Options options;
    options.buffer_text = std::move(text);
    EXPECT_FALSE(run::parse_key_script(keys, options.keys));
    run::Output output;
    output.out = [this](std::string_view s) { out.append(s); };
    output.err = [this](std::string_view s) { err.append(s); };
    run::start_machine(machine, program, options, output);
    settings.prefixes = {{0, 'X' - key::control_offset, 1}};
    return run::dispatch_keys(machine, settings, has_arg, iter);
  }
  std::u16string text() const { return machine.buffer.text; }
};

TEST(QxlrunDispatch, RunsCommandsAndInsertsUnboundCharacters) {
  Session s;
  const Outcome o = s.dispatch("F1 a b F1 C-x e c", true, 3);
  EXPECT_EQ(o.kind, Outcome::Kind::aborted);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.text, "oops 2");
  // The numeric argument goes with the first command only; prev_cmd is
  // what the command before left in this_cmd.
  EXPECT_EQ(s.out,
            "stamp key 513 iter 3 has_arg 1 prev 0\n"
            "stamp key 513 iter 1 has_arg 0 prev 1\n");
  EXPECT_EQ(s.err, "oops 2\n");
  // error() ends its command only: the c after it is still typed.
  EXPECT_EQ(s.text(), u"*ab*c");
  EXPECT_EQ(s.machine.next_key, 7u);
}

TEST(QxlrunDispatch, TheNumericArgumentRepeatsAFirstTypedCharacter) {
  Session s;
  EXPECT_EQ(s.dispatch("x y", true, 4).kind, Outcome::Kind::returned);
  EXPECT_EQ(s.text(), u"xxxxy");
  Session none;
  EXPECT_EQ(none.dispatch("x y", true, 0).kind, Outcome::Kind::returned);
  EXPECT_EQ(none.text(), u"y");
  // More copies than the buffer holds are refused before any is made.
  Session huge;
  const Outcome o = huge.dispatch("x", true, 0x7FFFFFFF, u"abc");
  EXPECT_EQ(o.kind, Outcome::Kind::fault);
  EXPECT_EQ(o.text, "the buffer would grow beyond 256M characters");
  EXPECT_EQ(huge.text(), u"abc");
}

TEST(QxlrunDispatch, KeysThatCannotRunEndTheSession) {
  struct Case {
    const char* keys;
    const char* message;
    std::size_t taken;
  };
  const Case cases[] = {
      {"a F2 b", "the key F2 in top is bound to helper, which is not a command (key 2 of the script)", 2},
      {"F1 C-q b", "the key C-q has no binding in top (key 2 of the script)", 2},
      {"C-x z", "the key C-x z has no binding in ctlx (key 2 of the script)", 2},
      // After a prefix even a character key needs a binding.
      {"C-x C-x", "the key C-x C-x has no binding in ctlx (key 2 of the script)", 2},
      {"F1 C-x", "the keys end after the prefix C-x (key 2 of the script)", 2},
  };
  for (const Case& c : cases) {
    Session s;
    const Outcome o = s.dispatch(c.keys);
    EXPECT_EQ(o.kind, Outcome::Kind::fault) << c.keys;
    EXPECT_EQ(o.status, 3) << c.keys;
    EXPECT_EQ(o.message, c.message);
    EXPECT_EQ(s.machine.next_key, c.taken) << c.keys;
  }
}

TEST(QxlrunDispatch, LeaveAndFaultsEndTheSessionAtOnce) {
  Session left;
  const Outcome l = left.dispatch("F1 C-x q F1");
  EXPECT_EQ(l.kind, Outcome::Kind::left);
  EXPECT_EQ(l.status, 5);
  EXPECT_EQ(left.text(), u"*");
  Session crashed;
  const Outcome c = crashed.dispatch("C-x c F1");
  EXPECT_EQ(c.kind, Outcome::Kind::fault);
  EXPECT_EQ(c.text, "null pointer dereferenced");
  ASSERT_EQ(c.calls.size(), 1u);
  EXPECT_EQ(c.calls[0].function, "crash");
  EXPECT_EQ(c.calls[0].line, 11);
  EXPECT_EQ(crashed.text(), u"");
}

TEST(QxlrunDispatch, ALongScriptOfTypingIsOneInsertion) {
  Session s;
  std::string keys;
  for (int i = 0; i < 200000; ++i) keys += "q ";
  keys += "F1";
  EXPECT_EQ(s.dispatch(keys, false, 1, u"end").kind, Outcome::Kind::returned);
  EXPECT_EQ(s.text().size(), 200004u);
  EXPECT_EQ(s.text().substr(199998), u"qq*end");
}

// ------------------------------------------------------------------- tests

TEST(QxlrunTests, EachTestRunsInAFreshMachineAndIsReported) {
  const run::Program p = load_sources({
      "int count;\n"
      "int test_first() { count++; stuff(\"ab\"); return count; }\n"
      "int test_second() {\n"
      "  say(\"count %d size %d\", count, size());\n"
      "  error(\"said \\\"no\\\"\");\n"
      "}\n"
      "int helper() { return 0; }\n",
      "int test_other() { return 1; }\n",
  });
  const auto tests = run::find_tests(p, {0});
  ASSERT_EQ(tests.size(), 2u);
  std::string tap;
  const std::size_t failed =
      run::run_tests(p, tests, {}, [&tap](std::string_view s) { tap.append(s); });
  EXPECT_EQ(failed, 1u);
  EXPECT_EQ(tap,
            "TAP version 13\n"
            "1..2\n"
            "ok 1 - test_first\n"
            "# count 0 size 0\n"
            "not ok 2 - test_second\n"
            "  ---\n"
            "  message: \"said \\\"no\\\"\"\n"
            "  file: \"a.q\"\n"
            "  line: 5\n"
            "  ...\n");
  EXPECT_EQ(run::find_tests(p, {1}).size(), 1u);
  EXPECT_EQ(run::find_tests(p, {0, 1}).back(), function_index(p, "test_other"));
}

TEST(QxlrunTests, QuotesYamlStrings) {
  EXPECT_EQ(run::yaml_quoted("plain: text"), "\"plain: text\"");
  EXPECT_EQ(run::yaml_quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(run::yaml_quoted("1\n2\t3\x01\x7F"), "\"1\\n2\\t3\\x01\\x7F\"");
  EXPECT_EQ(run::yaml_quoted("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
}

// -------------------------------------------------------------- backtraces

TEST(QxlrunBacktrace, NamesEveryActiveCallInnermostFirst) {
  const RunOutput r = run_source({
      "int c(int *p) { return *p; }\n"
      "int b(int *p)\n{\n  return c(p);\n}\n"
      "int a() { return b((int *) 0) + 1; }\n"
      "main() { return a(); }\n"});
  ASSERT_FALSE(r.load_error.has_value()) << *r.load_error;
  ASSERT_EQ(r.outcome.kind, Outcome::Kind::fault);
  EXPECT_EQ(r.outcome.message, "a.q 1: null pointer dereferenced (in function c)");
  EXPECT_EQ(run::backtrace_lines(r.outcome.calls),
            (std::vector<std::string>{"  in c at a.q:1", "  in b at a.q:4",
                                      "  in a at a.q:6", "  in main at a.q:7"}));
}

TEST(QxlrunBacktrace, ErrorTellsWhereItWasCalled) {
  const RunOutput r = run_source({
      "check(int n)\n{\n  if (n) error(\"bad %d\", n);\n}\n"
      "main() { check(0); check(2); }\n"});
  ASSERT_FALSE(r.load_error.has_value()) << *r.load_error;
  ASSERT_EQ(r.outcome.kind, Outcome::Kind::aborted);
  EXPECT_EQ(r.outcome.text, "bad 2");
  ASSERT_EQ(r.outcome.calls.size(), 1u);
  EXPECT_EQ(r.outcome.calls[0].function, "check");
  EXPECT_EQ(r.outcome.calls[0].file, "a.q");
  EXPECT_EQ(r.outcome.calls[0].line, 3);
}

TEST(QxlrunBacktrace, ShortensDeepRecursion) {
  auto at = [](std::string f, int line) { return run::Location{f, "x.q", line}; };
  std::vector<run::Location> calls(5, at("down", 3));
  calls.push_back(at("main", 9));
  EXPECT_EQ(run::backtrace_lines(calls),
            (std::vector<std::string>{"  in down at x.q:3",
                                      "  ... the same 4 more times",
                                      "  in main at x.q:9"}));
  // A call without debug records names only its function.
  EXPECT_EQ(run::backtrace_line({"f", "", 0}), "  in f");
  // Up to head + tail + 1 lines are shown whole; more lose their middle.
  calls.clear();
  const std::size_t whole = run::backtrace_head + run::backtrace_tail + 1;
  for (std::size_t i = 0; i < whole; ++i) calls.push_back(at("f", static_cast<int>(i)));
  EXPECT_EQ(run::backtrace_lines(calls).size(), whole);
  calls.push_back(at("f", 1000));
  const auto lines = run::backtrace_lines(calls);
  ASSERT_EQ(lines.size(), whole);
  EXPECT_EQ(lines[run::backtrace_head - 1], "  in f at x.q:19");
  EXPECT_EQ(lines[run::backtrace_head], "  ... 2 more lines");
  EXPECT_EQ(lines[run::backtrace_head + 1], "  in f at x.q:22");
  EXPECT_EQ(lines.back(), "  in f at x.q:1000");
}

// ------------------------------------------------------------ the binary

struct Command {
  std::string output;  // standard output and standard error
  int status = -1;
};

Command shell(const std::string& command) {
  Command c;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return c;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) c.output += chunk;
  const int status = pclose(pipe);
  c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return c;
}

// The commands of the shipped example, each typed on a sample buffer with
// point at 5.  C-x reaches the example's ctlx_keys by the table's name.
struct ExampleCommand {
  const char* keys;
  const char* output;  // what the command says, then the buffer
};

const char* const example_buffer =
    "First line of text   \n  TODO: write more here\nthe quick brown fox\nXXX last\n";

Command type_into_example(const ScratchDir& dir, const std::string& keys) {
  dir.write("sample.txt", example_buffer);
  return shell(std::string("'") + QXLRUN_BINARY + "' --buffer sample.txt --point 5 --keys '" +
               keys + "' --dispatch --write-buffer - '" +
               QXL_SOURCE_DIR + "/examples/hello.q'");
}

TEST(QxlrunExample, CommandsOfHelloRunOnABuffer) {
  const ExampleCommand commands[] = {
      {"Alt-h", "Hello from QXL: first greeting\nFirstHello from QXL line of text   \n"},
      {"C-x h", "Hello from QXL: first greeting\nFirstHello from QXL line of text   \n"},
      {"C-x w", "note: 14 words, 4 lines, 75 characters\nFirst line of text   \n"},
      {"C-x Tab", "3 blanks removed\nFirst line of text\n"},
      {"Alt-s", "                        First line of text   \n"},
      {"C-x i", "1 line indented by 4\n    First line of text   \n"},
  };
  ScratchDir dir;
  const std::string rest = "  TODO: write more here\nthe quick brown fox\nXXX last\n";
  for (const ExampleCommand& c : commands) {
    const Command run = type_into_example(dir, c.keys);
    EXPECT_EQ(run.status, 0) << c.keys;
    EXPECT_EQ(run.output, c.output + rest) << c.keys;
  }
}

// The rest of the example's commands, which move point, search, color,
// read a key and look at the window; a '|' typed after a command that
// moves point shows where it went.
TEST(QxlrunExample, CommandsThatMoveSearchAndReadKeys) {
  const std::string lines[] = {"First line of text   \n", "  TODO: write more here\n",
                               "the quick brown fox\n", "XXX last\n"};
  const auto buffer = [&](int line, const std::string& changed) {
    std::string out;
    for (int i = 0; i < 4; ++i) out += i == line ? changed : lines[i];
    return out;
  };
  const ExampleCommand commands[] = {
      {"C-x g |", "Column 21 of 80\n"},
      {"C-x t |", "TODO found (1 so far)\n"},
      {"F4 F4 |", "TODO found (1 so far)\nTODO found (2 so far)\n"},
      {"C-x C-u", "5 letters changed\n"},
      {"F1 a", "Press a key to describe: \nKey 97 is 'a'\n"},
      {"C-x f", "Fill column 8, for new buffers 70\n"},
      {"C-x F", "Fill column 8, for new buffers 8\n"},
      {"C-x r C-x r", "Ruler on\nRuler off\n"},
      {"C-x n", "note: [Note                                    ]\n"},
  };
  const std::string after[] = {
      buffer(0, "First line of text   |\n"), buffer(1, "  |TODO: write more here\n"),
      buffer(1, "  |TODO: write more here\n"), buffer(0, "fIRST line of text   \n"),
      buffer(-1, ""), buffer(-1, ""), buffer(-1, ""), buffer(-1, ""), buffer(-1, ""),
  };
  ScratchDir dir;
  for (std::size_t i = 0; i < std::size(commands); ++i) {
    const Command run = type_into_example(dir, commands[i].keys);
    EXPECT_EQ(run.status, 0) << commands[i].keys;
    EXPECT_EQ(run.output, commands[i].output + after[i]) << commands[i].keys;
  }
}

// ------------------------------------------------------------ script mode

// A script run as a command through its #! line, with qxlrun found on
// PATH: its arguments, its include beside it, and the line of a fault.
TEST(QxlrunScript, RunsAsACommandThroughItsFirstLine) {
  ScratchDir dir;
  dir.write("near.h", "#define NEAR 5\n");
  dir.write("tool",
            "#!/usr/bin/env qxlrun\n"
            "#include \"near.h\"\n"
            "main()\n{\n"
            "  say(\"%s %s %d\", argv[1], argv[2], NEAR);\n"
            "  return *(int *) 0;\n"
            "}\n");
  ASSERT_EQ(chmod((dir.path() + "/tool").c_str(), 0755), 0);
  std::string bin = QXLRUN_BINARY;
  bin.erase(bin.rfind('/'));
  const Command run = shell("PATH='" + bin + "':/usr/bin:/bin ./tool one two");
  EXPECT_EQ(run.output,
            "one two 5\n"
            "qxlrun: ./tool 6: null pointer dereferenced (in function main)\n"
            "  in main at ./tool:6\n");
  EXPECT_EQ(run.status, 3);
}

}  // namespace
}  // namespace qxl::test
