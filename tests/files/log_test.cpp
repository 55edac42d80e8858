#include "files/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <vector>

#include "files/scratch_dir.h"

namespace nimbra {
namespace {

using testing::fileBytes;
using testing::putFile;
using testing::runInChild;
using testing::ScratchDir;

namespace fs = std::filesystem;

TEST(LogLineFormat, IsBracketedWholeSecondsThenTheMessageAndALineFeed) {
  EXPECT_EQ(formatLogLine(1700000000.999, "event tap installed"),
            "[1700000000] event tap installed\n");
  EXPECT_EQ(formatLogLine(5, ""), "[5] \n");
}

TEST(LogLineFormat, TruncatesTowardZero) {
  EXPECT_EQ(formatLogLine(-0.5, "m"), "[0] m\n");
  EXPECT_EQ(formatLogLine(-1.5, "m"), "[-1] m\n");
}

TEST(LogLineFormat, ClampsTimesOutsideTheSigned64BitRange) {
  EXPECT_EQ(formatLogLine(1e300, "m"), "[9223372036854775807] m\n");
  EXPECT_EQ(formatLogLine(-1e300, "m"), "[-9223372036854775808] m\n");
  EXPECT_EQ(formatLogLine(std::nan(""), "m"), "[0] m\n");
}

TEST(LogLineFormat, KeepsTheMessageVerbatim) {
  EXPECT_EQ(formatLogLine(1, "helper starting, pid 7, dir /tmp/a\nb — x"),
            "[1] helper starting, pid 7, dir /tmp/a\nb — x\n");
}

class LogAppend : public ::testing::Test {
 protected:
  ScratchDir tmp;
  const std::string logPath = tmp / "log.txt";
};

TEST_F(LogAppend, CreatesTheFileWithTheFirstLineAndAppendsTheNext) {
  appendLogLine(logPath, 100.7, "first", false);
  EXPECT_EQ(fileBytes(logPath), "[100] first\n");
  appendLogLine(logPath, 101.2, "second", false);
  EXPECT_EQ(fileBytes(logPath), "[100] first\n[101] second\n");
}

TEST_F(LogAppend, KeepsWhatTheFileAlreadyHeld) {
  putFile(logPath, "earlier run\n");
  appendLogLine(logPath, 1, "later", false);
  EXPECT_EQ(fileBytes(logPath), "earlier run\n[1] later\n");
}

TEST_F(LogAppend, CreatesTheFileReadableByAll) {
  const mode_t old = ::umask(0);
  appendLogLine(logPath, 1, "m", false);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(::stat(logPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(LogAppend, WritesAMessageWithALineFeedVerbatimAcrossTwoLines) {
  appendLogLine(logPath, 3, "dir /tmp/x\ny", false);
  EXPECT_EQ(fileBytes(logPath), "[3] dir /tmp/x\ny\n");
}

TEST_F(LogAppend, LeavesAnUnopenableLogAsItIs) {
  fs::create_directory(logPath);
  putFile(logPath + "/inside", "x");
  appendLogLine(logPath, 1, "lost", false);
  EXPECT_TRUE(fs::is_directory(logPath));
  EXPECT_EQ(fileBytes(logPath + "/inside"), "x");
  EXPECT_EQ(tmp.names(), std::set<std::string>{"log.txt"});
  const std::set<std::string> inside{"inside"};
  std::set<std::string> found;
  for (const auto& e : fs::directory_iterator(logPath)) found.insert(e.path().filename());
  EXPECT_EQ(found, inside);
}

TEST_F(LogAppend, LosesTheLineQuietlyWhenTheFolderIsGone) {
  appendLogLine(tmp / "gone/log.txt", 1, "lost", false);
  EXPECT_TRUE(tmp.names().empty());
}

TEST_F(LogAppend, NeverBlocksOnAFifoAtTheLogPath) {
  ASSERT_EQ(::mkfifo(logPath.c_str(), 0644), 0);
  const int code = runInChild(
      [&] {
        appendLogLine(logPath, 1, "m", true);
        return 0;
      },
      5);
  EXPECT_EQ(code, 0) << "appending blocked on a FIFO with no reader";
}

TEST_F(LogAppend, NeverWritesThroughALinkWhenAskedNotToFollow) {
  ScratchDir outside;
  putFile(outside / "victim", "untouched");
  fs::create_symlink(outside / "victim", logPath);
  appendLogLine(logPath, 1, "boot: pid 1", true);
  EXPECT_EQ(fileBytes(outside / "victim"), "untouched");
  EXPECT_TRUE(fs::is_symlink(logPath));

  // A dangling link must not make the open create the file it names.
  fs::remove(logPath);
  fs::create_symlink(outside / "created", logPath);
  appendLogLine(logPath, 1, "boot: pid 1", true);
  EXPECT_FALSE(fs::exists(outside / "created"));
}

TEST_F(LogAppend, TwoProcessesAppendingTogetherNeverMixOrLoseLines) {
  constexpr int kLines = 1000;
  const std::string pad(120, '.');
  auto writer = [&](char tag) {
    return [&, tag] {
      for (int i = 0; i < kLines; ++i) {
        appendLogLine(logPath, 1, std::string(1, tag) + " " + std::to_string(i) + " " + pad, false);
      }
      return 0;
    };
  };
  const pid_t a = ::fork();
  if (a == 0) ::_exit(writer('A')());
  const pid_t b = ::fork();
  if (b == 0) ::_exit(writer('B')());
  int status = 0;
  ASSERT_EQ(::waitpid(a, &status, 0), a);
  ASSERT_EQ(::waitpid(b, &status, 0), b);

  std::istringstream in(fileBytes(logPath));
  std::string line;
  int next[2] = {0, 0};
  int total = 0;
  while (std::getline(in, line)) {
    ++total;
    ASSERT_TRUE(line.starts_with("[1] A ") || line.starts_with("[1] B ")) << line;
    const int who = line[4] == 'A' ? 0 : 1;
    // Each writer's lines arrive whole and in its own order.
    ASSERT_EQ(line, "[1] " + std::string(1, line[4]) + " " + std::to_string(next[who]) + " " + pad);
    ++next[who];
  }
  EXPECT_EQ(total, 2 * kLines);
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

}  // namespace
}  // namespace nimbra
