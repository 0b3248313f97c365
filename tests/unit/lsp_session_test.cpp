// The language server's compile: sources from memory, output to memory and
// messages as records, each the same as the command-line compile of the
// same text.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/session.h"
#include "test_support.h"

namespace qxl {
namespace {

constexpr const char* header_text = "#define LIMIT 40\nkeytable keys;\n";
constexpr const char* main_text = R"(#include "defs.h"
int big = LIMIT;
int f()
{
        int spare;
        return big;
}
command go() on keys['g'] { say("%d", f()); }
)";

std::string bytes_of(const ByteBuffer& buffer) {
  return {buffer.begin(), buffer.end()};
}

TEST(LspSession, MemoryCompileMatchesTheFileCompile) {
  test::ScratchDir dir;
  dir.write("defs.h", header_text);
  dir.write("main.q", main_text);
  // Main source from memory (the file on disk says something else), the
  // header from disk.
  dir.write("main.q", "this is not a program\n");
  CompileSession session;
  const std::string path = dir.path() + "/main.q";
  session.texts[normal_path(path)] = main_text;
  run_session(session, {}, path);
  EXPECT_EQ(session.status, 0);
  EXPECT_FALSE(dir.exists("main.b"));
  // The id variable records the source name, which is the absolute path
  // here: compare with the file compile of the same name.
  dir.write("main.q", main_text);
  const test::RunResult absolute = test::run_compiler({path});
  EXPECT_EQ(bytes_of(session.output), dir.read("main.b"));
  // The same console text, and its one message as a warning record.
  EXPECT_EQ(session.console, absolute.console);
  ASSERT_EQ(session.messages.size(), 1u);
  EXPECT_EQ(session.messages[0].kind, MessageKind::warning);
  EXPECT_EQ(session.messages[0].text, "warning: variable spare was not used");
  EXPECT_EQ(session.messages[0].line, 5);
  EXPECT_EQ(session.messages[0].main_line, 0);
}

TEST(LspSession, HeldHeaderAndErrorRecords) {
  test::ScratchDir dir;
  dir.write("defs.h", header_text);
  const std::string path = dir.path() + "/main.q";
  CompileSession session;
  session.texts[normal_path(path)] = main_text;
  session.texts[normal_path(dir.path() + "/./defs.h")] =
      "#define LIMIT 40\n\nint bad = (;\n";
  run_session(session, {}, path);
  EXPECT_EQ(session.status, 1);
  ASSERT_EQ(session.messages.size(), 1u);
  const MessageRecord& error = session.messages[0];
  EXPECT_EQ(error.kind, MessageKind::error);
  EXPECT_EQ(error.file, dir.path() + "/defs.h");
  EXPECT_EQ(error.line, 3);
  EXPECT_EQ(error.main_line, 1);
  EXPECT_EQ(error.text, "expected expression, not ;");
  EXPECT_EQ(error.token, ";");

  // Options as QXL's words: a definition that changes the compile.
  session.texts.clear();
  session.texts[normal_path(path)] = "#if !defined(X)\nint a = ;\n#endif\n";
  run_session(session, {"-dX"}, path);
  EXPECT_EQ(session.status, 0);
  EXPECT_TRUE(session.messages.empty());
  run_session(session, {}, path);
  EXPECT_EQ(session.status, 1);
  EXPECT_EQ(session.messages.size(), 1u);
}

TEST(LspSession, RepeatedCompilesAgree) {
  test::ScratchDir dir;
  dir.write("defs.h", header_text);
  const std::string path = dir.path() + "/main.q";
  CompileSession first;
  first.texts[normal_path(path)] = main_text;
  run_session(first, {}, path);
  CompileSession broken;
  broken.texts[normal_path(path)] = "int f() { return (1 + ; }\n";
  run_session(broken, {}, path);
  CompileSession again;
  again.texts[normal_path(path)] = main_text;
  run_session(again, {}, path);
  EXPECT_EQ(again.status, first.status);
  EXPECT_EQ(again.console, first.console);
  EXPECT_TRUE(again.output == first.output);
  // Outside a session nothing is held: the file compile reads the disk.
  EXPECT_EQ(compile_session, nullptr);
}

TEST(LspSession, NormalPath) {
  EXPECT_EQ(normal_path("/a/./b//c/../d"), "/a/b/d");
  EXPECT_EQ(normal_path("/../x"), "/x");
  EXPECT_EQ(normal_path("/"), "/");
  EXPECT_EQ(normal_path("/a/b/"), "/a/b");
  const std::string relative = normal_path("x/y");
  ASSERT_FALSE(relative.empty());
  EXPECT_EQ(relative.front(), '/');
  EXPECT_EQ(relative.substr(relative.size() - 4), "/x/y");
}

}  // namespace
}  // namespace qxl
