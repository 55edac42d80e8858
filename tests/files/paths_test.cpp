#include "files/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>

#include <cstring>
#include <filesystem>

#include "files/scratch_dir.h"

namespace nimbra {
namespace {

using testing::fileBytes;
using testing::putFile;
using testing::runInChild;
using testing::ScratchDir;

namespace fs = std::filesystem;

TEST(PathsJoin, PutsExactlyOneSlashWhetherOrNotTheDirEndsWithOne) {
  EXPECT_EQ(Paths("/a/b").join("pid.txt"), "/a/b/pid.txt");
  EXPECT_EQ(Paths("/a/b/").join("pid.txt"), "/a/b/pid.txt");
  EXPECT_EQ(Paths("/a/b//").join("pid.txt"), "/a/b/pid.txt");
  EXPECT_EQ(Paths("rel").join("log.txt"), "rel/log.txt");
}

TEST(PathsJoin, KeepsTheRootAndLeavesAnEmptyDirRelative) {
  EXPECT_EQ(Paths("/").join("cmd.txt"), "/cmd.txt");
  EXPECT_EQ(Paths("").join("cmd.txt"), "cmd.txt");
}

class PathsRead : public ::testing::Test {
 protected:
  ScratchDir tmp;
  Paths paths{tmp.path()};
};

TEST_F(PathsRead, GivesEmptyTextForAMissingFileOrAFolder) {
  EXPECT_EQ(paths.read("wheel.cfg"), "");
  fs::create_directory(tmp / "wheel.cfg");
  EXPECT_EQ(paths.read("wheel.cfg"), "");
}

TEST_F(PathsRead, GivesTheBytesUnchangedWithLineEndsAndMultibyteCharacters) {
  const std::string text = "SEG|Edit|#ff0000\r\nTOOL|caf\xC3\xA9 \xE2\x82\xAC|\xF0\x9D\x84\x9E\n\n";
  putFile(tmp / "wheel.cfg", text);
  EXPECT_EQ(paths.read("wheel.cfg"), text);
}

TEST_F(PathsRead, AcceptsTheEdgesOfTheUnicodeRange) {
  const std::string text = std::string("\x00\x7F", 2) + "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF" +
                           "\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
  putFile(tmp / "wheel.cfg", text);
  EXPECT_EQ(paths.read("wheel.cfg"), text);
}

TEST_F(PathsRead, GivesEmptyTextForAnyMalformedUtf8) {
  const char* const bad[] = {
      "\x80",              // stray continuation byte
      "ok\xC0\xAF",        // overlong "/"
      "\xC1\xBF",          // overlong two-byte form
      "\xE0\x9F\xBF",      // overlong three-byte form
      "\xF0\x8F\xBF\xBF",  // overlong four-byte form
      "\xED\xA0\x80",      // high surrogate
      "\xED\xBF\xBF",      // low surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // lead byte past F4
      "\xFF",              // never valid
      "x\xE2\x82",         // sequence cut short at the end
      "\xE2\x28\xA1",      // continuation byte missing
      "\xC3",              // lone lead byte
  };
  for (const char* bytes : bad) {
    putFile(tmp / "wheel.cfg", bytes);
    EXPECT_EQ(paths.read("wheel.cfg"), "") << "bytes: " << ::testing::PrintToString(bytes);
  }
}

TEST_F(PathsRead, DropsOneLeadingByteOrderMarkOnly) {
  putFile(tmp / "wheel.cfg", "\xEF\xBB\xBFHOLD|350\n");
  EXPECT_EQ(paths.read("wheel.cfg"), "HOLD|350\n");
  putFile(tmp / "wheel.cfg", "\xEF\xBB\xBF\xEF\xBB\xBFHOLD|350\n");
  EXPECT_EQ(paths.read("wheel.cfg"), "\xEF\xBB\xBFHOLD|350\n");
  putFile(tmp / "wheel.cfg", "HOLD|350\xEF\xBB\xBF");
  EXPECT_EQ(paths.read("wheel.cfg"), "HOLD|350\xEF\xBB\xBF");
}

TEST_F(PathsRead, FollowsASymbolicLinkToARegularFile) {
  putFile(tmp / "real.cfg", "SIZE|120\n");
  fs::create_symlink(tmp / "real.cfg", tmp / "wheel.cfg");
  EXPECT_EQ(paths.read("wheel.cfg"), "SIZE|120\n");
}

TEST_F(PathsRead, GivesEmptyTextAtOnceForAFifoWithNoWriter) {
  ASSERT_EQ(::mkfifo((tmp / "pid.txt").c_str(), 0644), 0);
  const int code = runInChild([&] { return paths.read("pid.txt").empty() ? 0 : 1; }, 5);
  EXPECT_EQ(code, 0) << "read blocked on a FIFO or returned text";
}

TEST_F(PathsRead, GivesEmptyTextForASocketOrADevice) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock = tmp / "pid.txt";
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(paths.read("pid.txt"), "");
  ::close(fd);

  fs::create_symlink("/dev/zero", tmp / "wheel.cfg");
  const int code = runInChild([&] { return paths.read("wheel.cfg").empty() ? 0 : 1; }, 5);
  EXPECT_EQ(code, 0);
}

class PathsWrite : public ::testing::Test {
 protected:
  ScratchDir tmp;
  Paths paths{tmp.path()};
};

TEST_F(PathsWrite, StoresTheTextVerbatimWithNoLineEndAdded) {
  EXPECT_TRUE(paths.write("cmd.txt", "~open"));
  EXPECT_EQ(fileBytes(tmp / "cmd.txt"), "~open");
  EXPECT_EQ(paths.read("cmd.txt"), "~open");
}

TEST_F(PathsWrite, ReplacesTheWholeContentInsteadOfAppending) {
  ASSERT_TRUE(paths.write("cmd.txt", "a much longer command line"));
  ASSERT_TRUE(paths.write("cmd.txt", "~open"));
  EXPECT_EQ(fileBytes(tmp / "cmd.txt"), "~open");
  ASSERT_TRUE(paths.write("cmd.txt", ""));
  EXPECT_EQ(fileBytes(tmp / "cmd.txt"), "");
}

TEST_F(PathsWrite, LeavesNoTemporaryFileBehind) {
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(paths.write("pid.txt", std::to_string(i)));
  EXPECT_EQ(tmp.names(), std::set<std::string>{"pid.txt"});
}

TEST_F(PathsWrite, CreatesFilesReadableByAllAndWritableByTheOwnerOnlyWhateverTheUmask) {
  for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
    const mode_t old = ::umask(mask);
    paths.remove("need_access.txt");
    const bool ok = paths.write("need_access.txt", "1");
    ::umask(old);
    ASSERT_TRUE(ok);
    struct stat st;
    ASSERT_EQ(::stat((tmp / "need_access.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "umask " << mask;
  }
}

TEST_F(PathsWrite, ReplacesASymbolicLinkAtTheNameInsteadOfWritingThroughIt) {
  ScratchDir outside;
  putFile(outside / "victim", "keep me");
  fs::create_symlink(outside / "victim", tmp / "cmd.txt");
  ASSERT_TRUE(paths.write("cmd.txt", "~open"));
  EXPECT_EQ(fileBytes(outside / "victim"), "keep me");
  EXPECT_FALSE(fs::is_symlink(tmp / "cmd.txt"));
  EXPECT_EQ(fileBytes(tmp / "cmd.txt"), "~open");
}

TEST_F(PathsWrite, FailsQuietlyWhenTheFolderIsGone) {
  const Paths gone(tmp / "vanished");
  EXPECT_FALSE(gone.write("cmd.txt", "~open"));
  EXPECT_FALSE(fs::exists(tmp / "vanished"));
}

TEST_F(PathsWrite, FailsWithoutLeftoversWhenAFolderHoldsTheName) {
  fs::create_directory(tmp / "cmd.txt");
  putFile(tmp / "cmd.txt/inside", "x");
  EXPECT_FALSE(paths.write("cmd.txt", "~open"));
  EXPECT_EQ(tmp.names(), std::set<std::string>{"cmd.txt"});
  EXPECT_EQ(fileBytes(tmp / "cmd.txt/inside"), "x");
}

TEST_F(PathsWrite, FailsWithoutLeftoversInAReadOnlyFolder) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  ASSERT_TRUE(paths.write("cmd.txt", "old"));
  ASSERT_EQ(::chmod(tmp.path().c_str(), 0555), 0);
  EXPECT_FALSE(paths.write("cmd.txt", "~open"));
  ::chmod(tmp.path().c_str(), 0755);
  EXPECT_EQ(fileBytes(tmp / "cmd.txt"), "old");
  EXPECT_EQ(tmp.names(), std::set<std::string>{"cmd.txt"});
}

TEST_F(PathsWrite, KeepsTheOldContentWhenTheFileSizeLimitCutsTheWriteShort) {
  ASSERT_TRUE(paths.write("cmd.txt", "~open"));
  // In a child, so the limit and the ignored signal stay out of the test process.
  const int code = runInChild([&] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{8, 8};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    return paths.write("cmd.txt", std::string(4096, 'x')) ? 1 : 0;
  });
  EXPECT_EQ(code, 0) << "write reported success past the size limit";
  EXPECT_EQ(fileBytes(tmp / "cmd.txt"), "~open");
  EXPECT_EQ(tmp.names(), std::set<std::string>{"cmd.txt"});
}

class PathsMtime : public ::testing::Test {
 protected:
  void setMtime(const std::string& name, time_t sec, long nsec) {
    const timespec times[2] = {{0, UTIME_OMIT}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / name).c_str(), times, 0), 0);
  }
  ScratchDir tmp;
  Paths paths{tmp.path()};
};

TEST_F(PathsMtime, IsZeroForAMissingFile) {
  EXPECT_EQ(paths.mtime("wheel.cfg"), 0.0);
}

TEST_F(PathsMtime, CarriesTheFractionOfASecond) {
  ASSERT_TRUE(paths.write("wheel.cfg", "SIZE|100\n"));
  setMtime("wheel.cfg", 1700000000, 250000000);
  EXPECT_EQ(paths.mtime("wheel.cfg"), 1700000000.25);
  setMtime("wheel.cfg", 1700000000, 500000000);
  EXPECT_EQ(paths.mtime("wheel.cfg"), 1700000000.5);
}

TEST_F(PathsMtime, IsTheCurrentTimeAfterAWrite) {
  timespec before;
  ::clock_gettime(CLOCK_REALTIME, &before);
  ASSERT_TRUE(paths.write("wheel.cfg", "SIZE|100\n"));
  const double stamp = paths.mtime("wheel.cfg");
  EXPECT_GE(stamp, static_cast<double>(before.tv_sec) - 1);
  EXPECT_LE(stamp, static_cast<double>(::time(nullptr)) + 1);
}

TEST_F(PathsMtime, FollowsASymbolicLinkToTheFileItNames) {
  putFile(tmp / "real.cfg", "SIZE|100\n");
  setMtime("real.cfg", 1600000000, 750000000);
  fs::create_symlink(tmp / "real.cfg", tmp / "wheel.cfg");
  EXPECT_EQ(paths.mtime("wheel.cfg"), 1600000000.75);
}

class PathsRemove : public ::testing::Test {
 protected:
  ScratchDir tmp;
  Paths paths{tmp.path()};
};

TEST_F(PathsRemove, DeletesAFileAndIgnoresAMissingOne) {
  putFile(tmp / "stop.txt", "");
  paths.remove("stop.txt");
  EXPECT_FALSE(fs::exists(tmp / "stop.txt"));
  paths.remove("stop.txt");
  EXPECT_TRUE(tmp.names().empty());
}

TEST_F(PathsRemove, DeletesAFolderWithEverythingInIt) {
  fs::create_directories(tmp / "stop.txt/a/b/c");
  putFile(tmp / "stop.txt/one", "1");
  putFile(tmp / "stop.txt/a/b/two", "2");
  putFile(tmp / "stop.txt/a/b/c/.hidden", "3");
  ::mkfifo((tmp / "stop.txt/a/fifo").c_str(), 0644);
  paths.remove("stop.txt");
  EXPECT_TRUE(tmp.names().empty());
}

TEST_F(PathsRemove, DeletesALinkToAFolderButNothingBehindIt) {
  ScratchDir outside;
  putFile(outside / "precious", "keep");
  fs::create_symlink(outside.path(), tmp / "stop.txt");
  paths.remove("stop.txt");
  EXPECT_TRUE(tmp.names().empty());
  EXPECT_EQ(fileBytes(outside / "precious"), "keep");
}

TEST_F(PathsRemove, NeverDescendsThroughALinkInsideAFolder) {
  ScratchDir outside;
  fs::create_directory(outside / "sub");
  putFile(outside / "sub/precious", "keep");
  fs::create_directories(tmp / "stop.txt/inner");
  fs::create_symlink(outside.path(), tmp / "stop.txt/inner/escape");
  fs::create_symlink(outside / "sub/precious", tmp / "stop.txt/file-link");
  paths.remove("stop.txt");
  EXPECT_TRUE(tmp.names().empty());
  EXPECT_EQ(fileBytes(outside / "sub/precious"), "keep");
}

TEST_F(PathsRemove, GivesUpQuicklyOnADeepFolderItCannotEmpty) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind root";
  std::string deep = tmp / "stop.txt";
  for (int i = 0; i < 24; ++i) deep += "/d";
  fs::create_directories(deep + "/locked");
  putFile(deep + "/locked/file", "x");
  putFile(tmp / "stop.txt/loose", "x");
  ASSERT_EQ(::chmod((deep + "/locked").c_str(), 0555), 0);
  const int code = runInChild(
      [&] {
        paths.remove("stop.txt");
        return 0;
      },
      5);
  EXPECT_EQ(code, 0) << "remove kept retrying a folder it cannot empty";
  EXPECT_FALSE(fs::exists(tmp / "stop.txt/loose"));
  EXPECT_TRUE(fs::exists(deep + "/locked/file"));
}

// The fault: removal recursed once per folder level, so a stop.txt folder 19,000 deep overflowed
// a 2 MiB stack (SIGSEGV) at start-up or on stop. Here a 64 KiB stack stands for it, as
// removing folders costs milliseconds each on some disks.
TEST_F(PathsRemove, DeletesAFolderThousandsDeepOnASmallStackWithFewDescriptors) {
  int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const char* name = "stop.txt";
  for (int i = 0; i < 4000 && fd >= 0; ++i, name = "d") {
    ::mkdirat(fd, name, 0755);
    const int next = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0);
  ::close(::openat(fd, "deepest", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ::close(fd);
  const int code = runInChild(
      [&] {
        const rlimit few{32, 32};
        ::setrlimit(RLIMIT_NOFILE, &few);
        pthread_attr_t small;
        ::pthread_attr_init(&small);
        ::pthread_attr_setstacksize(&small, 64 << 10);
        auto run = +[](void* p) -> void* {
          static_cast<const Paths*>(p)->remove("stop.txt");
          return nullptr;
        };
        pthread_t thread;
        if (::pthread_create(&thread, &small, run, &paths) != 0) return 2;
        ::pthread_join(thread, nullptr);
        return 0;
      },
      120);
  EXPECT_EQ(code, 0) << "the removal crashed";
  EXPECT_TRUE(tmp.names().empty());
}

TEST(PathsExists, SeesFilesAndFoldersButNotMissingNamesOrDanglingLinks) {
  ScratchDir tmp;
  const Paths paths(tmp.path() + "/");
  EXPECT_FALSE(paths.exists("stop.txt"));
  putFile(tmp / "stop.txt", "");
  EXPECT_TRUE(paths.exists("stop.txt"));
  fs::create_directory(tmp / "folder");
  EXPECT_TRUE(paths.exists("folder"));
  fs::create_symlink(tmp / "nowhere", tmp / "dangling");
  EXPECT_FALSE(paths.exists("dangling"));
}

}  // namespace
}  // namespace nimbra
