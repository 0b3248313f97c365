#include "driver/search_paths.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "driver/options.h"
#include "driver/user_database.h"
#include "test_support.h"

namespace qxl {
namespace {

// Sets environment variables for one test and puts the old values back.
class Environment {
 public:
  void set(const std::string& name, std::optional<std::string> value) {
    if (!saved_.contains(name)) {
      const char* old = std::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    if (value)
      ::setenv(name.c_str(), value->c_str(), 1);
    else
      ::unsetenv(name.c_str());
  }
  // Unsets every versioned form of a base name.
  void clear_versioned(const std::string& base) {
    for (std::string tag : {"1317", "131", "13", "1", ""}) {
      set(base + tag, std::nullopt);
      set(base + tag + "-UNIX", std::nullopt);
    }
  }
  ~Environment() {
    for (const auto& [name, value] : saved_) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class SearchPathTest : public testing::Test {
 protected:
  void SetUp() override {
    settings.reset();
    user_database = UserDatabase{};
    env_.clear_versioned("QLTPATH");
    env_.clear_versioned("QLTCUSTDIR");
    env_.set("HOME", "/home/u");
  }
  void TearDown() override {
    settings.reset();
    user_database = UserDatabase{};
  }

  std::vector<std::string> include_list(const std::string& executable) {
    settings.include_dirs.clear();
    settings.include_cursor = 0;
    settings.executable_path = executable;
    build_include_list();
    return settings.include_dirs;
  }

  void use_passwd(std::string_view text) {
    scratch_.write("passwd", text);
    user_database.path = scratch_.path() + "/passwd";
  }

  Environment env_;
  test::ScratchDir scratch_;
};

using List = std::vector<std::string>;

TEST_F(SearchPathTest, VersionedNamesInOrder) {
  env_.set("QLTPATH", "plain");
  EXPECT_EQ(versioned_getenv("QLTPATH"), "plain");
  env_.set("QLTPATH-UNIX", "unix");
  EXPECT_EQ(versioned_getenv("QLTPATH"), "unix");
  env_.set("QLTPATH13", "13");
  EXPECT_EQ(versioned_getenv("QLTPATH"), "13");
  env_.set("QLTPATH1317", "");  // set, even to nothing, wins
  EXPECT_EQ(versioned_getenv("QLTPATH"), "");
  env_.set("QLTPATH1317-UNIX", "full");
  EXPECT_EQ(versioned_getenv("QLTPATH"), "full");
  EXPECT_EQ(versioned_getenv("QLTNOSUCHVARIABLE"), std::nullopt);
}

TEST_F(SearchPathTest, InstalledLayouts) {
  EXPECT_TRUE(installed_layout("/opt/q/quillet13.17/bin/qxl"));
  EXPECT_TRUE(installed_layout("/opt/quick/binaries/qxl"));
  EXPECT_TRUE(installed_layout("/Apps/Q.app/Contents/bin/qxl"));
  EXPECT_TRUE(installed_layout("/Apps/Q.app.old/Contents/bin64/qxl"));
  EXPECT_FALSE(installed_layout("/Apps/Q/Contents/bin/qxl"));
  EXPECT_FALSE(installed_layout("/Apps/Q.app/Content/bin/qxl"));
  EXPECT_FALSE(installed_layout("/opt/q/quillet13.17/sbin/qxl"));
  EXPECT_FALSE(installed_layout("/home/u/tools/qxl"));
  EXPECT_FALSE(installed_layout("/home/u/bin/qxl"));
  EXPECT_FALSE(installed_layout("/bin/qxl"));
  EXPECT_FALSE(installed_layout("qxl"));
  EXPECT_FALSE(installed_layout(""));
}

TEST_F(SearchPathTest, DefaultSearchPath) {
  settings.executable_path = "/opt/q/quillet13.17/bin/qxl";
  EXPECT_EQ(default_search_path(true),
            "~/.quillet:/opt/q/quillet13.17:/usr/local/quillet13.17");
  EXPECT_EQ(default_search_path(false),
            "~/.quillet:/usr/local/quillet13.17");
  settings.executable_path = "/home/u/tools/qxl";
  EXPECT_EQ(default_search_path(true),
            "~/.quillet:/home/u/tools:/usr/local/quillet13.17");
  env_.set("QLTCUSTDIR", "");  // empty counts as unset
  EXPECT_EQ(default_search_path(false),
            "~/.quillet:/usr/local/quillet13.17");
  env_.set("QLTCUSTDIR-UNIX", "/custom");
  EXPECT_EQ(default_search_path(false), "/custom:/usr/local/quillet13.17");
}

TEST_F(SearchPathTest, IncludeListFromTheDefault) {
  EXPECT_EQ(include_list("/opt/q/quillet13.17/bin/qxl"),
            (List{"/home/u/.quillet/include/", "/opt/q/quillet13.17/include/",
                  "/usr/local/quillet13.17/include/"}));
  // Not installed: the executable's directory is added once more, as it
  // is, also when bit 8 leaves it out of the default path.
  EXPECT_EQ(include_list("/home/u/tools/qxl"),
            (List{"/home/u/.quillet/include/", "/home/u/tools/include/",
                  "/usr/local/quillet13.17/include/", "/home/u/tools/"}));
  settings.search_suppression = search_off::executable_directory;
  EXPECT_EQ(include_list("/home/u/tools/qxl"),
            (List{"/home/u/.quillet/include/",
                  "/usr/local/quillet13.17/include/", "/home/u/tools/"}));
  EXPECT_EQ(include_list("/opt/q/quillet13.17/bin/qxl"),
            (List{"/home/u/.quillet/include/",
                  "/usr/local/quillet13.17/include/"}));
}

TEST_F(SearchPathTest, IncludeListFromQltpath) {
  env_.set("QLTPATH", "a::~/lib:b/");
  // -i directories come first; no executable entry with QLTPATH set.
  settings.include_dirs = {"first"};
  settings.include_cursor = 1;
  settings.executable_path = "/home/u/tools/qxl";
  build_include_list();
  EXPECT_EQ(settings.include_dirs,
            (List{"first", "a/include/", "include/", "/home/u/lib/include/",
                  "b/include/"}));
  // An empty QLTPATH is one empty piece.
  env_.set("QLTPATH", "");
  EXPECT_EQ(include_list("/home/u/tools/qxl"), (List{"include/"}));
}

TEST_F(SearchPathTest, ExpandHome) {
  use_passwd(
      "root:x:0:0:root:/root:/bin/bash\n"
      "joe-2:x:1000:1000::/home/joe/:/bin/sh\n"
      "noslash:x:1001:1001::/n:/bin/sh\n");
  EXPECT_EQ(expand_home("plain/~x"), "plain/~x");
  EXPECT_EQ(expand_home(""), "");
  EXPECT_EQ(expand_home("~"), "/home/u/");
  EXPECT_EQ(expand_home("~/lib"), "/home/u/lib");
  EXPECT_EQ(expand_home("~root"), "/root/");
  EXPECT_EQ(expand_home("~root/x"), "/root/x");
  EXPECT_EQ(expand_home("~joe-2/x"), "/home/joe/x");
  EXPECT_EQ(expand_home("~noslash//x"), "/n//x");
  // The name ends at the first other character; what follows is kept.
  EXPECT_EQ(expand_home("~root.d"), "/root/.d");
  EXPECT_EQ(expand_home("~nobody/x"), "~nobody/x");
  EXPECT_EQ(expand_home("~_x/y"), "~_x/y");
  EXPECT_EQ(expand_home("~" + std::string(257, 'r')),
            "~" + std::string(257, 'r'));

  env_.set("HOME", "/h/");
  EXPECT_EQ(expand_home("~/lib"), "/h/lib");
  // Without HOME, the current user's entry.
  env_.set("HOME", std::nullopt);
  use_passwd("me:x:" + std::to_string(::getuid()) + ":0::/me-home:/bin/sh\n");
  user_database.reset();
  EXPECT_EQ(expand_home("~/lib"), "/me-home/lib");
  user_database.reset();
  user_database.path = scratch_.path() + "/none";
  EXPECT_EQ(expand_home("~/lib"), "~/lib");
}

TEST_F(SearchPathTest, ExpandHomeByShell) {
  EXPECT_EQ(expand_home_by_shell("plain"), std::nullopt);
  EXPECT_EQ(expand_home_by_shell("~"), "/home/u/");
  EXPECT_EQ(expand_home_by_shell("~/bin/qxl"), "/home/u/bin/qxl");
  // A user name is asked of the shell.
  EXPECT_EQ(expand_home_by_shell("~root/bin"), "/root/bin");
  EXPECT_EQ(expand_home_by_shell("~root"), "/root/");
}

}  // namespace
}  // namespace qxl
