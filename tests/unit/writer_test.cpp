#include "bytecode/writer.h"

#include <gtest/gtest.h>

#include "driver/options.h"
#include "source/preprocessor.h"
#include "test_support.h"

namespace qxl {
namespace {

// The writer in standard-output mode keeps the whole output in memory,
// where the tests can read it.
class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_compiler_state();
    diagnostics.capture = &console_;
    settings.stdout_mode = 1;
    output_open("unused.b");
  }
  void TearDown() override { diagnostics.capture = nullptr; }

  ByteBuffer written() const {
    return ByteBuffer(writer.image.begin(),
                      writer.image.begin() +
                          static_cast<long>(writer.high_water));
  }
  static void enter_include_file() {
    preprocessor.include_stack.emplace_back();
  }

  std::string console_;
};

TEST_F(WriterTest, HeaderIsLittleEndian) {
  EXPECT_EQ(file_header(0x01020304, 5),
            (ByteBuffer{'Q', 'X', 'L', 0x1A, 206, 0, 0, 0, 4, 3, 2, 1, 5, 0,
                        0, 0}));
}

TEST_F(WriterTest, RewindOverwritesOnlyTheHeader) {
  output_write(file_header(0, 0));
  write_end();
  output_rewind();
  output_write(file_header(7, 8));
  ByteBuffer out = written();
  ASSERT_EQ(out.size(), 17u);
  EXPECT_EQ(out[8], 7);
  EXPECT_EQ(out[12], 8);
  EXPECT_EQ(out[16], record::end);
}

TEST_F(WriterTest, EqualStringsShareOnePoolEntry) {
  EXPECT_EQ(add_string_entry(u"ab"), 0u);
  EXPECT_EQ(add_string_entry(u""), 10u);
  EXPECT_EQ(add_string_entry(u"ab"), 0u);
  EXPECT_EQ(add_string_entry(u"a"), 16u);
  EXPECT_EQ(add_string_entry(u""), 10u);
  EXPECT_EQ(writer.string_pool,
            (ByteBuffer{6, 0, 0, 0, 'a', 0, 'b', 0, 0, 0,  //
                        2, 0, 0, 0, 0, 0,                  //
                        4, 0, 0, 0, 'a', 0, 0, 0}));
  // Characters above 255 are 16-bit units.
  EXPECT_EQ(add_string_entry(u"\u20ac"), 24u);
  EXPECT_EQ(writer.string_pool[28], 0xAC);
  EXPECT_EQ(writer.string_pool[29], 0x20);
}

TEST_F(WriterTest, PoolFindsEveryEntryAsItGrows) {
  // Far more entries than the index starts with, some sharing a prefix
  // with the next, so that growing the index must keep every one findable.
  std::vector<std::uint32_t> offsets;
  for (int i = 0; i < 5000; ++i) {
    const std::u16string text(static_cast<std::size_t>(i % 7), u'p');
    offsets.push_back(add_string_entry(text + static_cast<char16_t>(u'A' + i)));
  }
  const std::size_t size = writer.string_pool.size();
  for (int i = 0; i < 5000; ++i) {
    const std::u16string text(static_cast<std::size_t>(i % 7), u'p');
    EXPECT_EQ(add_string_entry(text + static_cast<char16_t>(u'A' + i)),
              offsets[static_cast<std::size_t>(i)]);
  }
  EXPECT_EQ(writer.string_pool.size(), size);
  // An entry that is the start of a longer one is an entry of its own.
  EXPECT_EQ(add_string_entry(u"pp"), size);
}

TEST_F(WriterTest, PoolStopsAtItsLimit) {
  const std::u16string big(string_pool_limit / 2 - 3, u'x');
  EXPECT_EQ(add_string_entry(big), 0u);
  EXPECT_EQ(writer.string_pool.size(), string_pool_limit);
  EXPECT_EQ(add_string_entry(big), 0u);  // an equal entry still fits
  try {
    add_string_entry(u"y");
    FAIL() << "the pool grew past its limit";
  } catch (const CompileExit& exit) {
    EXPECT_EQ(exit.status, 1);
  }
  EXPECT_NE(console_.find("too many string constants, split into two files"),
            std::string::npos);
}

TEST_F(WriterTest, DebugFileNamesAreShared) {
  EXPECT_EQ(add_debug_file_name("a.q"), 0u);
  EXPECT_EQ(add_debug_file_name("inc/b.h"), 8u);
  EXPECT_EQ(add_debug_file_name("a.q"), 0u);
  EXPECT_EQ(writer.debug_names,
            (ByteBuffer{4, 0, 0, 0, 'a', '.', 'q', 0,  //
                        8, 0, 0, 0, 'i', 'n', 'c', '/', 'b', '.', 'h', 0}));
}

TEST_F(WriterTest, DebugFileNameDataHasALimit) {
  std::string name(1000, 'n');
  try {
    for (int i = 0; i < 200; ++i) {
      name[0] = static_cast<char>('A' + i % 26);
      name[1] = static_cast<char>('A' + i / 26);
      add_debug_file_name(name);
    }
    FAIL() << "no limit";
  } catch (const CompileExit&) {
  }
  EXPECT_NE(console_.find("too much debug file name data"), std::string::npos);
  EXPECT_LE(writer.debug_names.size(), debug_names_limit + 1005);
}

TEST_F(WriterTest, IdVariableNeedsAFunction) {
  write_id_variable("prog.q");
  EXPECT_TRUE(written().empty());
}

TEST_F(WriterTest, IdVariableRecord) {
  test::ScratchDir dir;
  dir.write("my_prog.q", "");
  writer.function_written = true;
  write_id_variable("my_prog");
  const std::string full = dir.path() + "/my_prog.q";
  char* resolved = ::realpath(full.c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  const std::string path = resolved;
  std::free(resolved);

  ByteBuffer expected{record::initialized_variable, 0x24};
  put_name(expected, "-loaded-qxl-file-my-prog");
  const std::string type = "[" + std::to_string(path.size() + 1) + "C]";
  expected.insert(expected.end(), type.begin(), type.end());
  put_u8(expected, 0);
  put_u32(expected, static_cast<std::uint32_t>(2 * (path.size() + 1)));
  for (char c : path) put_u16(expected, static_cast<unsigned char>(c));
  put_u16(expected, 0);
  EXPECT_EQ(written(), expected);
}

TEST_F(WriterTest, IdVariableOfAMissingFileKeepsTheName) {
  writer.function_written = true;
  write_id_variable("/nonexistent/dir/x.y.q");
  ByteBuffer out = written();
  const std::string text(out.begin(), out.end());
  EXPECT_NE(text.find("-loaded-qxl-file-x.y"), std::string::npos);
  EXPECT_NE(text.find("[23C]"), std::string::npos);
}

TEST_F(WriterTest, ExcludedHeadersDropAndDeferRecords) {
  settings.exclude_headers = 1;
  const ByteBuffer function{record::function, 'f', 0};
  const ByteBuffer variable{record::variable, 3, 'v', 0};
  const ByteBuffer scheme{record::color_scheme, 's', 0};
  const ByteBuffer color_class{record::color_class, 'c', 0};
  const ByteBuffer assignment{record::color_assignment, 1};
  const ByteBuffer key_table{record::key_table, 'k', 0};

  enter_include_file();
  write_function_record(function, false);
  write_variable_record(variable, in_main_source());
  write_color_record(scheme, in_main_source());
  write_color_record(assignment, in_main_source());
  write_color_record(color_class, in_main_source());
  write_plain_record(key_table);
  EXPECT_TRUE(writer.function_written);
  EXPECT_EQ(written(), key_table);

  preprocessor.include_stack.clear();
  write_function_record(function, true);
  EXPECT_EQ(writer.deferred.size(), scheme.size() + color_class.size());
  write_color_record(assignment, in_main_source());
  ByteBuffer expected = key_table;
  for (const ByteBuffer* part : {&function, &scheme, &color_class, &assignment})
    expected.insert(expected.end(), part->begin(), part->end());
  EXPECT_EQ(written(), expected);
  EXPECT_TRUE(writer.deferred.empty());
}

// Under -e the writer keeps or withholds a record by the origin its
// producer gives, whatever the preprocessor is reading at the time.
TEST_F(WriterTest, TheProducerSaysWhetherARecordIsWithheld) {
  settings.exclude_headers = 1;
  const ByteBuffer function{record::function, 'f', 0};
  const ByteBuffer variable{record::variable, 3, 'v', 0};
  const ByteBuffer scheme{record::color_scheme, 's', 0};
  const ByteBuffer assignment{record::color_assignment, 1};

  ASSERT_TRUE(in_main_source());
  write_function_record(function, false);
  write_variable_record(variable, false);
  write_color_record(scheme, false);
  write_color_record(assignment, false);
  EXPECT_TRUE(written().empty());
  EXPECT_EQ(writer.deferred, scheme);

  enter_include_file();
  ASSERT_FALSE(in_main_source());
  write_variable_record(variable, true);
  write_color_record(assignment, true);
  write_function_record(function, true);
  ByteBuffer expected = variable;
  for (const ByteBuffer* part : {&scheme, &assignment, &function})
    expected.insert(expected.end(), part->begin(), part->end());
  EXPECT_EQ(written(), expected);
  EXPECT_TRUE(writer.deferred.empty());
}

// Without -e every record is kept, whatever its origin.
TEST_F(WriterTest, WithoutExcludeEveryOriginIsKept) {
  const ByteBuffer variable{record::variable, 3, 'v', 0};
  const ByteBuffer assignment{record::color_assignment, 1};
  write_variable_record(variable, false);
  write_color_record(assignment, false);
  ByteBuffer expected = variable;
  expected.insert(expected.end(), assignment.begin(), assignment.end());
  EXPECT_EQ(written(), expected);
}

TEST_F(WriterTest, WithoutExcludeNothingIsDeferred) {
  const ByteBuffer scheme{record::color_scheme, 's', 0};
  enter_include_file();
  write_color_record(scheme, in_main_source());
  EXPECT_EQ(written(), scheme);
}

}  // namespace
}  // namespace qxl

namespace qxl {
namespace {

TEST(OutputFile, AnErrorRemovesTheFileALinkPointsTo) {
  test::ScratchDir dir;
  dir.write("prog.q", "int x[0x];\n");
  ASSERT_EQ(::symlink("real.b", (dir.path() + "/link.b").c_str()), 0);
  test::RunResult result = test::run_compiler({"-n", "-o", "link.b", "prog.q"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.console, "prog.q 1: bad numeric constant\n");
  EXPECT_FALSE(dir.exists("real.b"));
}

TEST(OutputFile, AnEarlierFileIsReplacedWhateverItsLength) {
  test::ScratchDir dir;
  dir.write("prog.q", "int a = 1;\nint f() { say(\"text\"); return a; }\n");
  ASSERT_EQ(test::run_compiler({"-n", "-o", "fresh.b", "prog.q"}).status, 0);
  const std::string fresh = dir.read("fresh.b");
  // Longer, shorter and equally long earlier files: the output is exactly
  // the fresh one each time, with nothing of the old file left at its end.
  for (std::size_t old_size : {std::size_t{200000}, std::size_t{3}, fresh.size()}) {
    dir.write("prog.b", std::string(old_size, 'x'));
    ASSERT_EQ(test::run_compiler({"-n", "prog.q"}).status, 0);
    EXPECT_EQ(dir.read("prog.b"), fresh) << old_size;
  }
  // An error still removes the file, whatever it held before.
  dir.write("bad.q", "int a = ;\n");
  dir.write("bad.b", std::string(200000, 'x'));
  EXPECT_EQ(test::run_compiler({"-n", "bad.q"}).status, 1);
  EXPECT_FALSE(dir.exists("bad.b"));
}

TEST(OutputFile, InProcessCompilesRunOneAfterAnother) {
  test::ScratchDir dir;
  dir.write("a.q", "int a;\n");
  dir.write("b.q", "'\n");
  EXPECT_EQ(test::run_compiler({"-n", "b.q"}).status, 1);
  test::RunResult result = test::run_compiler({"-n", "-p", "a.q"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.console, "int a;\n");
  EXPECT_EQ(dir.read("a.b").size(), 27u);
  EXPECT_FALSE(dir.exists("b.b"));
}

}  // namespace
}  // namespace qxl

namespace qxl {
namespace {

TEST(Robustness, SameInputGivesTheSameBytes) {
  test::ScratchDir dir;
  std::string source = "char greeting[] = \"hi\";\nkeytable keys;\n";
  for (int i = 0; i < 50; ++i)
    source += "command c" + std::to_string(i) + "() on keys[" +
              std::to_string(i) + "] { say(\"c%d\", " + std::to_string(i) +
              "); }\n";
  dir.write("p.q", source);
  ASSERT_EQ(test::run_compiler({"-n", "-o", "first", "p.q"}).status, 0);
  ASSERT_EQ(test::run_compiler({"-n", "-o", "second", "p.q"}).status, 0);
  EXPECT_EQ(dir.read("first.b"), dir.read("second.b"));
  EXPECT_GT(dir.read("first.b").size(), 1000u);
}

TEST(Robustness, ManyDistinctIdentifiers) {
  test::ScratchDir dir;
  std::string source;
  constexpr int names = 200000;
  source.reserve(names * 16);
  for (int i = 0; i < names; ++i) source += "int name" + std::to_string(i) + ";\n";
  dir.write("many.q", source);
  test::RunResult result = test::run_compiler({"-n", "-b", "many.q"});
  EXPECT_EQ(result.status, 0) << result.console;
  EXPECT_GT(dir.read("many.b").size(), static_cast<std::size_t>(names) * 10);
}

}  // namespace
}  // namespace qxl
