#include "files/rewritten_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include "files/scratch_dir.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;

TEST(RewrittenFile, TakesTurnsBetweenTwoFilesReadableByAllAndLeavesOnlyTheNameBehind) {
  TempDir tmp;
  std::set<ino_t> inodes;
  const mode_t old = ::umask(077);
  {
    RewrittenFile pid(Paths(tmp.path()), "pid.txt");
    for (int i = 0; i < 6; ++i) {
      const std::string text = i % 3 ? std::to_string(i) : "4242|1796587177906";
      ASSERT_TRUE(pid.write(text));
      EXPECT_EQ(readFile(tmp.file("pid.txt")), text);
      struct stat st {};
      ASSERT_EQ(::stat(tmp.file("pid.txt").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0644u);
      inodes.insert(st.st_ino);
    }
    EXPECT_EQ(namesIn(tmp.path()).size(), 2u) << "the name and one spare";
  }
  ::umask(old);
  EXPECT_EQ(inodes.size(), 2u) << "a new file per write";
  EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"pid.txt"});
}

TEST(RewrittenFile, AReaderHoldingTheFileOpenNeverSeesItChange) {
  TempDir tmp;
  RewrittenFile pid(Paths(tmp.path()), "pid.txt");
  ASSERT_TRUE(pid.write("1|1000"));
  const int reader = ::open(tmp.file("pid.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  for (const char* text : {"2|2000", "3|3000", "4|4000"}) ASSERT_TRUE(pid.write(text));
  char buf[16] = {};
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(::pread(reader, buf, sizeof buf, 0))),
            "1|1000");
  ::close(reader);
  EXPECT_EQ(readFile(tmp.file("pid.txt")), "4|4000");
}

TEST(RewrittenFile, ReplacesALinkButNeverAFolderAndTouchesNothingBehindEither) {
  TempDir tmp, outside;
  writeFile(outside.file("victim"), "keep me");
  fs::create_symlink(outside.file("victim"), tmp.file("pid.txt"));
  fs::create_directory(tmp.file("lock.txt"));
  {
    RewrittenFile pid(Paths(tmp.path()), "pid.txt");
    RewrittenFile lock(Paths(tmp.path()), "lock.txt");
    for (const char* text : {"7|7000", "8|8000"}) {
      EXPECT_TRUE(pid.write(text));
      EXPECT_FALSE(lock.write(text));
    }
  }
  EXPECT_EQ(readFile(outside.file("victim")), "keep me");
  EXPECT_EQ(namesIn(tmp.path()), (std::set<std::string>{"lock.txt", "pid.txt"}));
  EXPECT_FALSE(fs::is_symlink(tmp.file("pid.txt")));
  EXPECT_EQ(readFile(tmp.file("pid.txt")), "8|8000");
  EXPECT_TRUE(namesIn(tmp.file("lock.txt")).empty());
}

TEST(RewrittenFile, StartsAfreshInAFolderRemovedAndMadeAgain) {
  TempDir tmp;
  const std::string dir = tmp.file("work");
  fs::create_directory(dir);
  RewrittenFile pid(Paths(dir), "pid.txt");
  ASSERT_TRUE(pid.write("1|1000"));
  fs::remove_all(dir);
  EXPECT_FALSE(pid.write("2|2000"));
  EXPECT_TRUE(namesIn(tmp.path()).empty()) << "written beside the folder";
  fs::create_directory(dir);
  ASSERT_TRUE(pid.write("3|3000"));
  EXPECT_EQ(readFile(dir + "/pid.txt"), "3|3000");
}

TEST(RewrittenFile, ATerminationSignalTakesTheSpareAlong) {
  TempDir tmp;
  const pid_t child = ::fork();
  if (child == 0) {
    RewrittenFile pid(Paths(tmp.path()), "pid.txt");
    pid.write("1|1000");
    pid.write("2|2000");
    ::raise(SIGTERM);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"pid.txt"});
}

}  // namespace
}  // namespace nimbra::testing
