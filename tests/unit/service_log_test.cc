#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/process_state.h"
#include "harness.h"
#include "log/service_log.h"

namespace kelvra {
namespace {

class ServiceLogTest : public ::testing::Test {
 protected:
  void SetUp() override { DataDir = dir_.path(); }
  std::string LogFile() const { return dir_ / "logs/KelvraSyncServer.log"; }
  test::TempDir dir_;
};

// CTest runs every test in a process of its own, where nothing has been
// logged before this test starts.
TEST_F(ServiceLogTest, EmptyBufferGivesEmptyText) {
  if (!RecentLogText().empty()) GTEST_SKIP() << "something was logged earlier in this process";
  EXPECT_EQ(RecentLogText(), "");
  LogMessage("x");
  EXPECT_EQ(RecentLogText().substr(10), " x\n");
}

TEST_F(ServiceLogTest, FormatsTimeOfDayWithoutDate) {
  EXPECT_EQ(FormatLogLine(7, 5, 9, "hello"), "[07:05:09] hello");
  EXPECT_EQ(FormatLogLine(23, 59, 0, ""), "[23:59:00] ");
}

TEST_F(ServiceLogTest, KeepsTheNewest300LinesNewestFirst) {
  for (int i = 1; i <= 301; ++i) LogMessage("line " + std::to_string(i));
  std::string text = RecentLogText();
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 300u);
  // Newest first: the text opens with line 301 and ends with line 2.
  EXPECT_EQ(text.substr(11, 9), "line 301\n");
  EXPECT_NE(text.find("] line 2\n"), std::string::npos);
  EXPECT_EQ(text.size() - text.rfind("] line 2\n"), std::string("] line 2\n").size());
  EXPECT_EQ(text.find("] line 1\n"), std::string::npos);
}

TEST_F(ServiceLogTest, AppendsEachLineToTheFile) {
  LogMessage("first");
  LogMessage("second <b>\nwith a break");
  std::string file = test::ReadFile(LogFile());
  EXPECT_NE(file.find("] first\n["), std::string::npos);
  // Messages are taken unchanged: no escaping, no trimming.
  EXPECT_NE(file.find("] second <b>\nwith a break\n"), std::string::npos);
}

TEST_F(ServiceLogTest, RecreatesADeletedLogsDirectory) {
  LogMessage("before");
  std::filesystem::remove_all(dir_ / "logs");
  LogMessage("after");
  std::string file = test::ReadFile(LogFile());
  EXPECT_EQ(file.find("before"), std::string::npos);
  EXPECT_NE(file.find("] after\n"), std::string::npos);
}

TEST_F(ServiceLogTest, KeepsLinesInMemoryWhenTheFileCannotBeOpened) {
  std::filesystem::create_directories(LogFile());  // a directory where the file belongs
  LogMessage("only in memory");
  EXPECT_EQ(RecentLogText().find("only in memory"), 11u);
}

// A client can register with a device name of megabytes; the recent-lines
// buffer keeps a short copy, the file the whole line.
TEST_F(ServiceLogTest, HugeMessagesAreShortenedInMemoryOnly) {
  std::string name = "设备" + std::string(RecentLineBytes * 4, 'x');
  LogMessage("注册账号: a 设备: " + name);
  std::string newest = RecentLogText().substr(0, RecentLogText().find('\n'));
  EXPECT_LE(newest.size(), RecentLineBytes + 3);
  EXPECT_EQ(newest.substr(newest.size() - 3), "\u2026");
  EXPECT_NE(test::ReadFile(LogFile()).find(name + "\n"), std::string::npos);
}

TEST_F(ServiceLogTest, ShortenedLinesNeverSplitACharacter) {
  // Three-byte characters across the cut: the line ends on a boundary.
  std::string line;
  while (line.size() < RecentLineBytes + 10) line += "字";
  std::string cut = ShortenedLine(line);
  EXPECT_EQ(cut.size(), RecentLineBytes / 3 * 3 + 3);
  EXPECT_EQ(cut.substr(0, cut.size() - 3), line.substr(0, RecentLineBytes / 3 * 3));
  EXPECT_EQ(ShortenedLine("short"), "short");
  EXPECT_EQ(ShortenedLine(std::string(RecentLineBytes, 'a')), std::string(RecentLineBytes, 'a'));
}

TEST_F(ServiceLogTest, SameSecondLinesKeepCallOrder) {
  LogMessage("alpha");
  LogMessage("beta");
  std::string text = RecentLogText();
  EXPECT_LT(text.find("beta"), text.find("alpha"));
}

}  // namespace
}  // namespace kelvra
