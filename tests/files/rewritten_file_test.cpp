#include "files/rewritten_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "files/scratch_dir.h"

namespace nimbra {
namespace {

using testing::fileBytes;
using testing::putFile;
using testing::ScratchDir;

namespace fs = std::filesystem;

ino_t inodeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RewrittenFileTest : public ::testing::Test {
 protected:
  ScratchDir tmp;
  Paths paths{tmp.path()};
};

TEST_F(RewrittenFileTest, TakesTurnsBetweenTwoFilesAndLeavesOnlyTheNameBehind) {
  std::set<ino_t> inodes;
  {
    RewrittenFile pid(paths, "pid.txt");
    for (int i = 0; i < 20; ++i) {
      const std::string text = i % 3 ? std::to_string(i) : "4242|1796587177906";
      ASSERT_TRUE(pid.write(text));
      EXPECT_EQ(fileBytes(tmp / "pid.txt"), text);
      inodes.insert(inodeOf(tmp / "pid.txt"));
    }
    EXPECT_EQ(tmp.names().size(), 2u) << "the name and one spare";
  }
  EXPECT_EQ(inodes.size(), 2u) << "a new file per write";
  EXPECT_EQ(tmp.names(), std::set<std::string>{"pid.txt"});
}

TEST_F(RewrittenFileTest, AReaderHoldingTheFileOpenNeverSeesItChange) {
  RewrittenFile pid(paths, "pid.txt");
  ASSERT_TRUE(pid.write("1|1000"));
  const int reader = ::open((tmp / "pid.txt").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  for (const char* text : {"2|2000", "3|3000", "4|4000"}) ASSERT_TRUE(pid.write(text));
  char buf[16] = {};
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(::pread(reader, buf, sizeof buf, 0))),
            "1|1000");
  ::close(reader);
  EXPECT_EQ(fileBytes(tmp / "pid.txt"), "4|4000");
}

TEST_F(RewrittenFileTest, IsReadableByAllAndWritableByItsOwnerOnlyWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
    const mode_t old = ::umask(mask);
    RewrittenFile pid(paths, "pid.txt");
    const bool ok = pid.write("a") && pid.write("b") && pid.write("c");
    ::umask(old);
    ASSERT_TRUE(ok);
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "pid.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "umask " << mask;
  }
}

// What sits at the name before the first write.
enum class AtTheName { kFile, kLinkOutside, kFolder };

class RewrittenFileOver : public RewrittenFileTest,
                          public ::testing::WithParamInterface<AtTheName> {};

TEST_P(RewrittenFileOver, ReplacesAFileOrALinkButNeverAFolderAndTouchesNothingElse) {
  ScratchDir outside;
  putFile(outside / "victim", "keep me");
  if (GetParam() == AtTheName::kFile) putFile(tmp / "pid.txt", "old");
  if (GetParam() == AtTheName::kLinkOutside)
    fs::create_symlink(outside / "victim", tmp / "pid.txt");
  if (GetParam() == AtTheName::kFolder) fs::create_directory(tmp / "pid.txt");
  {
    RewrittenFile pid(paths, "pid.txt");
    const bool folder = GetParam() == AtTheName::kFolder;
    EXPECT_EQ(pid.write("7|7000"), !folder);
    EXPECT_EQ(pid.write("8|8000"), !folder);
  }
  EXPECT_EQ(fileBytes(outside / "victim"), "keep me");
  EXPECT_EQ(tmp.names(), std::set<std::string>{"pid.txt"});
  if (GetParam() == AtTheName::kFolder) {
    EXPECT_TRUE(fs::is_directory(tmp / "pid.txt"));
  } else {
    EXPECT_FALSE(fs::is_symlink(tmp / "pid.txt"));
    EXPECT_EQ(fileBytes(tmp / "pid.txt"), "8|8000");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RewrittenFileOver,
                         ::testing::Values(AtTheName::kFile, AtTheName::kLinkOutside,
                                           AtTheName::kFolder),
                         [](const auto& info) {
                           switch (info.param) {
                             case AtTheName::kFile:
                               return "File";
                             case AtTheName::kLinkOutside:
                               return "LinkToAFileOutside";
                             default:
                               return "Folder";
                           }
                         });

TEST_F(RewrittenFileTest, StartsAfreshInAFolderRemovedAndMadeAgain) {
  const std::string dir = tmp / "work";
  fs::create_directory(dir);
  RewrittenFile pid(Paths(dir), "pid.txt");
  ASSERT_TRUE(pid.write("1|1000"));
  fs::remove_all(dir);
  EXPECT_FALSE(pid.write("2|2000"));
  EXPECT_EQ(tmp.names(), std::set<std::string>{}) << "written beside the folder";
  fs::create_directory(dir);
  ASSERT_TRUE(pid.write("3|3000"));
  EXPECT_EQ(fileBytes(dir + "/pid.txt"), "3|3000");
}

TEST_F(RewrittenFileTest, ATerminationSignalTakesTheSpareAlong) {
  const pid_t child = ::fork();
  if (child == 0) {
    RewrittenFile pid(paths, "pid.txt");
    pid.write("1|1000");
    pid.write("2|2000");
    ::raise(SIGTERM);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
  EXPECT_EQ(tmp.names(), std::set<std::string>{"pid.txt"});
}

}  // namespace
}  // namespace nimbra
