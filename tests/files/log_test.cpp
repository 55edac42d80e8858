#include "files/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <sstream>

#include "files/scratch_dir.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;

TEST(LogLineFormat, IsWholeSecondsInBracketsThenTheMessageVerbatimAndALineFeed) {
  const std::pair<double, const char*> cases[] = {{1700000000.999, "[1700000000] m\n"},
                                                  {-0.5, "[0] m\n"},
                                                  {-1.5, "[-1] m\n"},
                                                  {1e300, "[9223372036854775807] m\n"},
                                                  {-1e300, "[-9223372036854775808] m\n"},
                                                  {std::nan(""), "[0] m\n"}};
  for (const auto& [time, line] : cases) EXPECT_EQ(formatLogLine(time, "m"), line) << time;
  EXPECT_EQ(formatLogLine(1, "dir /tmp/a\nb — x"), "[1] dir /tmp/a\nb — x\n");
}

TEST(LogAppend, CreatesTheFileReadableByAllAndAppendsToIt) {
  TempDir tmp;
  const mode_t old = ::umask(0);
  appendLogLine(tmp.file("log.txt"), 100.7, "first", false);
  ::umask(old);
  appendLogLine(tmp.file("log.txt"), 101.2, "second", true);
  EXPECT_EQ(readFile(tmp.file("log.txt")), "[100] first\n[101] second\n");
  struct stat st {};
  ASSERT_EQ(::stat(tmp.file("log.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(LogAppend, NeverBlocksOnAFifoAtTheLogPath) {
  TempDir tmp;
  ASSERT_EQ(::mkfifo(tmp.file("log.txt").c_str(), 0644), 0);
  const int code = runInChild(
      [&] {
        appendLogLine(tmp.file("log.txt"), 1, "m", true);
        return 0;
      },
      5);
  EXPECT_EQ(code, 0) << "appending blocked on a FIFO with no reader";
}

TEST(LogAppend, NeverWritesThroughALinkWhenAskedNotToFollow) {
  TempDir tmp, outside;
  const std::string log = tmp.file("log.txt");
  writeFile(outside.file("victim"), "untouched");
  fs::create_symlink(outside.file("victim"), log);
  appendLogLine(log, 1, "boot: pid 1", true);
  EXPECT_TRUE(fs::is_symlink(log));
  fs::remove(log);
  // A second name of the file is as much a way out as a link.
  fs::create_hard_link(outside.file("victim"), log);
  appendLogLine(log, 1, "boot: pid 1", true);
  EXPECT_EQ(readFile(outside.file("victim")), "untouched");
  // A dangling link must not make the open create the file it names.
  fs::remove(log);
  fs::create_symlink(outside.file("created"), log);
  appendLogLine(log, 1, "boot: pid 1", true);
  EXPECT_FALSE(fs::exists(outside.file("created")));
}

TEST(LogAppend, TwoProcessesAppendingTogetherNeverMixOrLoseLines) {
  TempDir tmp;
  constexpr int kLines = 500;
  const std::string pad(120, '.');
  pid_t writers[2];
  for (const char tag : {'A', 'B'}) {
    if ((writers[tag - 'A'] = ::fork()) == 0) {
      for (int i = 0; i < kLines; ++i)
        appendLogLine(tmp.file("log.txt"), 1, tag + std::to_string(i) + pad, false);
      ::_exit(0);
    }
  }
  for (const pid_t pid : writers) ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
  std::istringstream in(readFile(tmp.file("log.txt")));
  int next[2] = {0, 0};
  for (std::string line; std::getline(in, line);) {
    const int who = line[4] == 'B';
    // Each writer's lines arrive whole and in its own order.
    ASSERT_EQ(line, "[1] " + std::string(1, "AB"[who]) + std::to_string(next[who]++) + pad);
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

}  // namespace
}  // namespace nimbra::testing
