#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "driver/options.h"
#include "driver/search_paths.h"
#include "test_support.h"

namespace qxl {
namespace {

// Parses the words as options; returns the index of the first non-option,
// or -1 when parsing ended the run.
int parse(std::vector<std::string> words, std::string* console = nullptr) {
  reset_compiler_state();
  std::string captured;
  diagnostics.capture = &captured;
  int result;
  try {
    result = static_cast<int>(parse_options(words));
  } catch (const CompileExit&) {
    result = -1;
  }
  diagnostics.capture = nullptr;
  if (console != nullptr) *console = captured;
  return result;
}

TEST(Options, SearchSuppressionBits) {
  parse({"-w8"});
  EXPECT_EQ(settings.search_suppression, 8u);
  parse({"-w9"});
  EXPECT_EQ(settings.search_suppression, 9u);
  parse({"-w1", "-w2"});
  EXPECT_EQ(settings.search_suppression, 3u);
  parse({"-w0x10", "-w0b1"});
  EXPECT_EQ(settings.search_suppression, 17u);
  parse({"-w1_0"});
  EXPECT_EQ(settings.search_suppression, 10u);
  parse({"-w3", "-wx"});
  EXPECT_EQ(settings.search_suppression, 0u);
  parse({"-w3", "-W"});
  EXPECT_EQ(settings.search_suppression, 0u);
}

TEST(Options, CountsAndTexts) {
  EXPECT_EQ(parse({"-v", "-V", "-q", "-s", "-e", "-b", "-p", "f.q"}), 7);
  EXPECT_EQ(settings.verbose, 2);
  EXPECT_EQ(settings.no_unused_warnings, 1);
  EXPECT_EQ(settings.no_debug_info, 1);
  EXPECT_EQ(settings.exclude_headers, 1);
  EXPECT_EQ(settings.builtin_file, 1);
  EXPECT_EQ(settings.listing, 1);

  EXPECT_EQ(parse({"-fname", "-f", "-F"}), 3);
  EXPECT_EQ(settings.filter_mode, 2);
  EXPECT_EQ(settings.stdout_mode, 3);
  EXPECT_EQ(settings.filter_name, "name");

  EXPECT_EQ(parse({"-n", "-N", "f"}), 2);
  EXPECT_EQ(settings.logo_suppression, 2);
  parse({"-n7"});
  EXPECT_EQ(settings.logo_suppression, 7);

  EXPECT_EQ(parse({"-oa", "-o", "b", "x"}), 3);
  EXPECT_EQ(settings.output_name, "b");
}

TEST(Options, IncludeCursor) {
  parse({"-ia", "-ib", "-i-", "-ic"});
  EXPECT_EQ(settings.include_dirs, (std::vector<std::string>{"c", "b"}));
  parse({"-ia", "-i", "-", "-ib", "-ic", "-id"});
  EXPECT_EQ(settings.include_dirs,
            (std::vector<std::string>{"b", "c", "d"}));
  // Many more directories than the fixed list of old had room for.
  std::vector<std::string> words;
  for (int i = 0; i < 40; ++i) words.push_back("-id" + std::to_string(i));
  parse(words);
  EXPECT_EQ(settings.include_dirs.size(), 40u);
}

TEST(Options, EndOfOptions) {
  EXPECT_EQ(parse({"--", "-x"}), 1);
  EXPECT_EQ(parse({"--anything", "-x"}), 1);
  EXPECT_EQ(parse({"file", "-v"}), 0);
  EXPECT_EQ(settings.verbose, 0);
  EXPECT_EQ(parse({}), 0);
  std::string console;
  EXPECT_EQ(parse({"-n", "-z"}, &console), -1);
  EXPECT_EQ(console.rfind("unknown switch '-z'\n", 0), 0u);
  EXPECT_EQ(parse({"-n", "-i"}), -1);
  EXPECT_EQ(parse({"-n", "-o"}), -1);
  EXPECT_EQ(parse({"-n", "-d"}), -1);
}

TEST(Options, WordSplitting) {
  EXPECT_EQ(split_option_words(" -a\t-b\n\v\f\r-c  "),
            (std::vector<std::string>{"-a", "-b", "-c"}));
  EXPECT_TRUE(split_option_words(" \t ").empty());
  EXPECT_EQ(split_option_words("'-a b'"),
            (std::vector<std::string>{"'-a", "b'"}));
}

TEST(Paths, FileNamePart) {
  EXPECT_EQ(file_name_part("a/b/c", false), 4u);
  EXPECT_EQ(file_name_part("a/b/", false), 2u);
  EXPECT_EQ(file_name_part("a/b/", true), 4u);
  EXPECT_EQ(file_name_part("abc", false), 0u);
  EXPECT_EQ(file_name_part("/", false), 0u);
  EXPECT_EQ(file_name_part("/x", false), 1u);
  EXPECT_EQ(directory_part("dir/Prog.Q"), "dir/");
  EXPECT_EQ(directory_part("Prog.Q"), "");
  EXPECT_EQ(directory_part("dir/"), "");
}

TEST(Paths, ExtensionOf) {
  EXPECT_EQ(extension_of("a.q"), 1u);
  EXPECT_EQ(extension_of("a.b.q"), 3u);
  EXPECT_EQ(extension_of("v1.2/prog"), 9u);
  EXPECT_EQ(extension_of("v1.2/prog.q"), 9u);
  EXPECT_EQ(extension_of("noext"), 5u);
  EXPECT_EQ(extension_of(".hidden"), 0u);
}

TEST(Paths, JoinPath) {
  std::string dir;
  join_path(dir, "include/");
  EXPECT_EQ(dir, "include/");
  dir = "a";
  join_path(dir, "include/");
  EXPECT_EQ(dir, "a/include/");
  dir = "a/";
  join_path(dir, "b");
  EXPECT_EQ(dir, "a/b");
}

TEST(Paths, VersionedEnvironmentOrder) {
  const char* names[] = {"QXLTEST1317-UNIX", "QXLTEST1317", "QXLTEST131-UNIX",
                         "QXLTEST131",       "QXLTEST13",   "QXLTEST1-UNIX",
                         "QXLTEST-UNIX",     "QXLTEST"};
  for (const char* name : names) ::unsetenv(name);
  EXPECT_FALSE(versioned_getenv("QXLTEST").has_value());
  // Set them from the last to the first: each one set wins over the rest.
  for (int i = static_cast<int>(std::size(names)) - 1; i >= 0; --i) {
    ::setenv(names[i], names[i], 1);
    EXPECT_EQ(versioned_getenv("QXLTEST"), std::string(names[i]));
  }
  ::setenv("QXLTEST1317-UNIX", "", 1);
  EXPECT_EQ(versioned_getenv("QXLTEST"), std::string());
  for (const char* name : names) ::unsetenv(name);
}

TEST(Paths, ExecutableIsAbsolute) {
  const std::string path = find_executable("unit_tests");
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path[0], '/');
  EXPECT_EQ(::access(path.c_str(), X_OK), 0);
}

}  // namespace
}  // namespace qxl
