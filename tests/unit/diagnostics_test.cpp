#include "driver/diagnostics.h"

#include <gtest/gtest.h>

#include "driver/options.h"
#include "test_support.h"

namespace qxl {
namespace {

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_compiler_state();
    diagnostics.capture = &console_;
    reader.file_name = "f.q";
    reader.line_number = 7;
  }
  void TearDown() override { diagnostics.capture = nullptr; }

  // Runs an error routine; returns the exit status it ended with.
  template <typename Body>
  int ends_compile(Body&& body) {
    try {
      body();
    } catch (const CompileExit& exit) {
      return exit.status;
    }
    return -1;
  }

  std::string console_;
};

TEST_F(DiagnosticsTest, WarningsAndNotesGoOn) {
  report_warning("variable %s was not used", "x");
  report_at("g.q", 3, "unknown preprocessor directive");
  print_location();
  console_print("%d\n", 5);
  EXPECT_EQ(console_,
            "f.q 7: warning: variable x was not used\n"
            "g.q 3: unknown preprocessor directive\n"
            "f.q 7: 5\n");
  EXPECT_EQ(diagnostics.error_count, 0);
}

TEST_F(DiagnosticsTest, ErrorsCountAndEndTheCompile) {
  EXPECT_EQ(ends_compile([] { report_error("bad %s", "thing"); }), 1);
  EXPECT_EQ(console_, "f.q 7: bad thing\n");
  EXPECT_EQ(diagnostics.error_count, 1);
}

TEST_F(DiagnosticsTest, ErrorAtMovesThePosition) {
  EXPECT_EQ(ends_compile([] {
              report_error_at("h.q", 12, "unterminated #if or #ifdef");
            }),
            1);
  EXPECT_EQ(console_, "h.q 12: unterminated #if or #ifdef\n");
  EXPECT_EQ(reader.file_name, "h.q");
  EXPECT_EQ(reader.line_number, 12);
}

TEST_F(DiagnosticsTest, PendingProgressLineIsEndedFirst) {
  settings.verbose = 1;
  diagnostics.pending_progress = 3;
  report_warning("w");
  EXPECT_EQ(console_, "\nf.q 7: warning: w\n");
  EXPECT_EQ(diagnostics.pending_progress, 0);
  // Without -v no empty line is printed.
  console_.clear();
  settings.verbose = 0;
  diagnostics.pending_progress = 1;
  report_warning("w");
  EXPECT_EQ(console_, "f.q 7: warning: w\n");
  // print_location leaves the counter alone.
  console_.clear();
  settings.verbose = 1;
  diagnostics.pending_progress = 1;
  print_location();
  EXPECT_EQ(console_, "\nf.q 7: ");
  EXPECT_EQ(diagnostics.pending_progress, 1);
}

TEST_F(DiagnosticsTest, LongTextsAreCutToTheirBuffers) {
  const std::string long_text(5000, 'x');
  report_warning("%s", long_text.c_str());
  EXPECT_EQ(console_, "f.q 7: warning: " +
                          std::string(warning_buffer_size - 1, 'x') + "\n");
  console_.clear();
  console_print("%s", long_text.c_str());
  EXPECT_EQ(console_.size(), console_buffer_size - 1);
  console_.clear();
  ends_compile([&] { report_error("%s", long_text.c_str()); });
  EXPECT_EQ(console_, "f.q 7: " + std::string(error_buffer_size - 1, 'x') +
                          "\n");
  console_.clear();
  ends_compile([&] { report_fatal("%s", long_text.c_str()); });
  EXPECT_EQ(console_, "f.q 7: " + std::string(fatal_buffer_size - 1, 'x') +
                          "\n");
}

TEST_F(DiagnosticsTest, LongFileNamesAreCutButTheLineStays) {
  reader.file_name = std::string(4000, 'n');
  report_warning("w");
  ASSERT_LT(console_.size(), 1200u);
  EXPECT_EQ(console_.substr(console_.size() - 16), "n 7: warning: w\n");
}

TEST_F(DiagnosticsTest, AllocateGivesZeroedMemoryOrOutOfMemory) {
  std::vector<unsigned char> block = allocate(100);
  EXPECT_EQ(block.size(), 100u);
  EXPECT_EQ(block[99], 0);
  EXPECT_EQ(ends_compile([] { allocate(static_cast<std::size_t>(-1)); }),
            1);
  EXPECT_EQ(console_, "f.q 7: out of memory\n");
}

TEST_F(DiagnosticsTest, NulCharactersInMessagesArePrinted) {
  console_print("(%c)", 0);
  EXPECT_EQ(console_, std::string("(\0)", 3));
}

}  // namespace
}  // namespace qxl
