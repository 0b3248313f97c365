#include "driver/user_database.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace qxl {
namespace {

// Each test reads a password file of its own.
class UserDatabaseTest : public testing::Test {
 protected:
  void SetUp() override { user_database = UserDatabase{}; }
  void TearDown() override { user_database = UserDatabase{}; }

  void use_file(std::string_view text) {
    scratch_.write("passwd", text);
    user_database.path = scratch_.path() + "/passwd";
  }

  test::ScratchDir scratch_;
};

TEST_F(UserDatabaseTest, FieldsOfALine) {
  use_file("alice:x:1001:100:Alice A.,,,:/home/alice:/bin/sh\n");
  const UserEntry* alice = find_user_by_name("alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(alice->password, "x");
  EXPECT_EQ(alice->uid, 1001);
  EXPECT_EQ(alice->gid, 100);
  EXPECT_EQ(alice->gecos, "Alice A.,,,");
  EXPECT_EQ(alice->home, "/home/alice");
  EXPECT_EQ(alice->shell, "/bin/sh");
  EXPECT_EQ(find_user_by_uid(1001), alice);
  // Names compare exactly.
  EXPECT_EQ(find_user_by_name("Alice"), nullptr);
  EXPECT_EQ(find_user_by_name("alic"), nullptr);
  EXPECT_EQ(find_user_by_uid(1002), nullptr);
}

TEST_F(UserDatabaseTest, LaterLinesWin) {
  use_file(
      "u:x:5:5::/old:/bin/sh\n"
      "v:x:5:5::/v-home:/bin/sh\n"
      "u:x:6:6::/new:/bin/sh\n");
  EXPECT_EQ(find_user_by_name("u")->home, "/new");
  EXPECT_EQ(find_user_by_uid(5)->name, "v");
  EXPECT_EQ(find_user_by_uid(6)->home, "/new");
}

TEST_F(UserDatabaseTest, ShortLinesAndEmptyLines) {
  use_file(
      "\n"
      "onlyname\n"
      "\n"
      "nouid:pw\n"
      "emptyuid:pw:\n"
      "extra:x:7:7:g:/h:/sh:more:fields\n");
  const UserEntry* name_only = find_user_by_name("onlyname");
  ASSERT_NE(name_only, nullptr);
  EXPECT_EQ(name_only->home, "");
  EXPECT_FALSE(name_only->uid);
  EXPECT_EQ(find_user_by_name("nouid")->password, "pw");
  EXPECT_FALSE(find_user_by_name("nouid")->uid);
  // A uid field that is present but empty reads as 0.
  EXPECT_EQ(find_user_by_name("emptyuid")->uid, 0);
  // A seventh ':' ends the shell.
  EXPECT_EQ(find_user_by_name("extra")->shell, "/sh");
  EXPECT_EQ(user_database.entries.size(), 4u);
  EXPECT_EQ(find_user_by_name(""), nullptr);
}

TEST_F(UserDatabaseTest, LongLinesAreCutAndTheirRestSkipped) {
  // 255 characters of a line are used.
  const std::string home(300, 'h');
  const std::string line = "long:x:9:9::/" + home + ":/bin/sh\n";
  use_file(line + "next:x:10:10::/next:/bin/sh\n");
  const UserEntry* cut = find_user_by_name("long");
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->home, "/" + home.substr(0, 255 - 13));
  EXPECT_EQ(cut->shell, "");
  EXPECT_EQ(find_user_by_name("next")->home, "/next");
  EXPECT_EQ(user_database.entries.size(), 2u);

  // A line of exactly 255 characters and its newline is one entry.
  user_database.reset();
  const std::string exact = "e:x:1:1::/" + std::string(245, 'd');
  ASSERT_EQ(exact.size(), 255u);
  use_file(exact + "\nz:x:2:2::/z:\n");
  EXPECT_EQ(find_user_by_name("e")->home.size(), 246u);
  EXPECT_EQ(find_user_by_name("z")->home, "/z");
  EXPECT_EQ(user_database.entries.size(), 2u);
}

TEST_F(UserDatabaseTest, TheFileIsReadOnce) {
  user_database.path = scratch_.path() + "/missing";
  EXPECT_EQ(find_user_by_name("root"), nullptr);
  // Creating the file afterwards does not help within the same run.
  scratch_.write("missing", "late:x:3:3::/late:\n");
  EXPECT_EQ(find_user_by_name("late"), nullptr);
  EXPECT_EQ(find_user_by_uid(3), nullptr);
  user_database.reset();
  user_database.path = scratch_.path() + "/missing";
  EXPECT_EQ(find_user_by_name("late")->home, "/late");
}

TEST_F(UserDatabaseTest, TheSystemFileHasRoot) {
  const UserEntry* root = find_user_by_name("root");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->home, "/root");
  EXPECT_EQ(root->uid, 0);
}

}  // namespace
}  // namespace qxl
