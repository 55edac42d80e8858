#include "files/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "files/scratch_dir.h"
#include "files/utf8.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

mode_t modeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

void setMtime(const std::string& path, time_t sec, long nsec) {
  const timespec times[2] = {{0, UTIME_OMIT}, {sec, nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(PathsJoin, PutsExactlyOneSlashBetweenTheFolderAndTheName) {
  const std::pair<const char*, const char*> cases[] = {{"/a/b", "/a/b/pid.txt"},
                                                       {"/a/b//", "/a/b/pid.txt"},
                                                       {"rel", "rel/pid.txt"},
                                                       {"/", "/pid.txt"},
                                                       {"", "pid.txt"}};
  for (const auto& [dir, joined] : cases) EXPECT_EQ(Paths(dir).join("pid.txt"), joined) << dir;
}

TEST(PathsRead, GivesTheBytesWithoutOneLeadingByteOrderMark) {
  TempDir tmp;
  const std::string text = "SEG|Edit|#ff0000\r\nTOOL|caf\xC3\xA9|\xF0\x9D\x84\x9E\n\n";
  const std::string edges =
      "\x00\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
      "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"s;
  const std::pair<std::string, std::string> cases[] = {
      {text, text},
      {edges, edges},
      {"\xEF\xBB\xBFHOLD|350\n", "HOLD|350\n"},
      {"\xEF\xBB\xBF\xEF\xBB\xBFHOLD|350\n", "\xEF\xBB\xBFHOLD|350\n"},
      {"HOLD|350\xEF\xBB\xBF", "HOLD|350\xEF\xBB\xBF"},
  };
  for (const auto& [bytes, read] : cases) {
    writeFile(tmp.file("wheel.cfg"), bytes);
    EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg"), read) << ::testing::PrintToString(bytes);
  }
}

TEST(PathsRead, GivesEmptyTextForAnyMalformedUtf8) {
  TempDir tmp;
  const char* const bad[] = {
      "\x80",              // stray continuation byte
      "ok\xC0\xAF",        // overlong "/"
      "\xE0\x9F\xBF",      // overlong three-byte form
      "\xF0\x8F\xBF\xBF",  // overlong four-byte form
      "\xED\xA0\x80",      // high surrogate
      "\xED\xBF\xBF",      // low surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // lead byte past F4
      "\xFF",              // never valid
      "x\xE2\x82",         // sequence cut short at the end
      "\xE2\x28\xA1",      // continuation byte missing
  };
  for (const char* bytes : bad) {
    writeFile(tmp.file("wheel.cfg"), bytes);
    EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg"), "") << ::testing::PrintToString(bytes);
  }
}

TEST(Utf8Validation, LooksNoFurtherThanTheEndOfTheView) {
  // The bytes after the view would complete the sequence; they must not be consulted.
  const std::string_view clef = "a\xF0\x9D\x84\x9E";
  EXPECT_TRUE(isValidUtf8(clef));
  EXPECT_FALSE(isValidUtf8(clef.substr(0, 4)));
  EXPECT_FALSE(isValidUtf8(clef.substr(0, 2)));
  EXPECT_TRUE(isValidUtf8("a\0b"sv));
}

// The fault: the whole size was reserved up front, so a sparse file of many gigabytes made
// the allocation fail and ended the helper at start-up or at the next reload.
TEST(PathsReadLimit, GivesEmptyTextForAHugeSparseFileInsteadOfRunningOutOfMemory) {
  TempDir tmp;
  writeFile(tmp.file("wheel.cfg"), "SEG|A|#fff\n");
  ASSERT_EQ(::truncate(tmp.file("wheel.cfg").c_str(), 64LL << 30), 0);
  EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg"), "");
}

TEST(PathsReadLimit, StillReadsAFileOfSomeMegabytes) {
  TempDir tmp;
  const std::string big = "SEG|A|#fff\n" + std::string(8 << 20, ';');
  writeFile(tmp.file("wheel.cfg"), big);
  EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg").size(), big.size());
}

TEST(PathsRead, FollowsALinkToAFileButGivesEmptyTextAtOnceForAnythingElse) {
  TempDir tmp;
  const Paths paths(tmp.path());
  EXPECT_EQ(paths.read("missing"), "");
  fs::create_directory(tmp.file("folder"));
  EXPECT_EQ(paths.read("folder"), "");
  writeFile(tmp.file("real.cfg"), "SIZE|120\n");
  fs::create_symlink(tmp.file("real.cfg"), tmp.file("wheel.cfg"));
  EXPECT_EQ(paths.read("wheel.cfg"), "SIZE|120\n");
  ASSERT_EQ(::mkfifo(tmp.file("fifo").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", tmp.file("device"));
  const int code = runInChild(
      [&] { return paths.read("fifo").empty() && paths.read("device").empty() ? 0 : 1; }, 5);
  EXPECT_EQ(code, 0) << "blocked on a FIFO, or read one";
}

TEST(PathsWrite, ReplacesTheWholeFileAsOneReadableByAllInsteadOfWritingThroughALink) {
  TempDir tmp, outside;
  const Paths paths(tmp.path());
  writeFile(outside.file("victim"), "keep me");
  fs::create_symlink(outside.file("victim"), tmp.file("cmd.txt"));
  for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
    const mode_t old = ::umask(mask);
    const bool ok =
        paths.write("cmd.txt", "a much longer command line") && paths.write("cmd.txt", "~open");
    ::umask(old);
    ASSERT_TRUE(ok);
    EXPECT_EQ(modeOf(tmp.file("cmd.txt")), 0644u) << "umask " << mask;
  }
  EXPECT_EQ(readFile(tmp.file("cmd.txt")), "~open");
  EXPECT_EQ(readFile(outside.file("victim")), "keep me");
  EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"cmd.txt"});
}

TEST(PathsWrite, FailsWithoutLeftoversWhenTheFolderIsGoneOrAFolderHoldsTheName) {
  TempDir tmp;
  EXPECT_FALSE(Paths(tmp.file("vanished")).write("cmd.txt", "~open"));
  fs::create_directory(tmp.file("cmd.txt"));
  EXPECT_FALSE(Paths(tmp.path()).write("cmd.txt", "~open"));
  EXPECT_EQ(namesIn(tmp.path()), std::set<std::string>{"cmd.txt"});
  EXPECT_TRUE(namesIn(tmp.file("cmd.txt")).empty());
}

TEST(PathsMtime, IsZeroForAMissingFileAndCarriesTheFractionOfASecondThroughALink) {
  TempDir tmp;
  const Paths paths(tmp.path());
  EXPECT_EQ(paths.mtime("wheel.cfg"), 0.0);
  writeFile(tmp.file("real.cfg"), "SIZE|100\n");
  setMtime(tmp.file("real.cfg"), 1700000000, 250000000);
  fs::create_symlink(tmp.file("real.cfg"), tmp.file("wheel.cfg"));
  EXPECT_EQ(paths.mtime("wheel.cfg"), 1700000000.25);
}

TEST(PathsRemove, DeletesFilesAndWholeFoldersButNothingBehindALink) {
  TempDir tmp, outside;
  const Paths paths(tmp.path());
  writeFile(outside.file("precious"), "keep");
  fs::create_directories(tmp.file("stop.txt/a/b"));
  writeFile(tmp.file("stop.txt/a/b/.hidden"), "x");
  ::mkfifo(tmp.file("stop.txt/a/fifo").c_str(), 0644);
  fs::create_symlink(outside.path(), tmp.file("stop.txt/a/escape"));
  fs::create_symlink(outside.file("precious"), tmp.file("stop.txt/file-link"));
  fs::create_symlink(outside.path(), tmp.file("folder-link"));
  fs::create_symlink(tmp.file("nowhere"), tmp.file("dangling"));
  writeFile(tmp.file("plain"), "");
  EXPECT_TRUE(paths.exists("stop.txt"));
  EXPECT_TRUE(paths.exists("plain"));
  EXPECT_FALSE(paths.exists("dangling"));
  for (const char* name : {"stop.txt", "folder-link", "dangling", "plain", "missing"})
    paths.remove(name);
  EXPECT_TRUE(namesIn(tmp.path()).empty());
  EXPECT_EQ(readFile(outside.file("precious")), "keep");
}

// The fault: removal recursed once per folder level, so a stop.txt folder 19,000 deep overflowed
// a 2 MiB stack (SIGSEGV) at start-up or on stop. Here 16 KiB for 1,000 levels stands for it, as
// removing folders costs milliseconds each on some disks.
TEST(PathsRemove, DeletesAFolderAThousandDeepOnASmallStackWithFewDescriptors) {
  TempDir tmp;
  const Paths paths(tmp.path());
  int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const char* name = "stop.txt";
  for (int i = 0; i < 1000 && fd >= 0; ++i, name = "d") {
    ::mkdirat(fd, name, 0755);
    const int next = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ::close(fd);
  const int code = runInChild(
      [&] {
        const rlimit few{32, 32};
        ::setrlimit(RLIMIT_NOFILE, &few);
        pthread_attr_t small;
        ::pthread_attr_init(&small);
        ::pthread_attr_setstacksize(&small, 16 << 10);
        auto run = +[](void* p) -> void* {
          static_cast<const Paths*>(p)->remove("stop.txt");
          return nullptr;
        };
        pthread_t thread;
        if (::pthread_create(&thread, &small, run, const_cast<Paths*>(&paths)) != 0) return 2;
        ::pthread_join(thread, nullptr);
        return 0;
      },
      120);
  EXPECT_EQ(code, 0) << "the removal crashed";
  EXPECT_TRUE(namesIn(tmp.path()).empty());
}

}  // namespace
}  // namespace nimbra::testing
