// The work directory's files: reading, writing and removing them, the log and the rewritten
// heartbeat, against a real file system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <vector>

#include "files/log.h"
#include "files/paths.h"
#include "files/rewritten_file.h"
#include "files/utf8.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;
using Names = std::set<std::string>;

// Every name in the folder, hidden ones included.
Names namesIn(const std::string& dir) {
  Names out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) out.insert(e.path().filename());
  return out;
}

unsigned modeOf(const std::string& path) {
  return static_cast<unsigned>(fs::status(path).permissions());
}

// Runs `step` in a child, so that limits, signals or a blocking call cannot harm the test; its
// exit code, or -1 when it crashed or the watchdog ended it.
int runInChild(const std::function<int()>& step, unsigned watchdogSeconds = 10) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(watchdogSeconds);
    ::_exit(step());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LogAppend, CreatesAFileReadableByAllAndAppendsButNeverThroughALinkNorBlockingOnAFifo) {
  TempDir tmp, outside;
  const std::string log = tmp.file("log.txt");
  const mode_t old = ::umask(0);
  appendLogLine(log, 100.7, "first", false);
  ::umask(old);
  appendLogLine(log, 101.2, "second", true);
  EXPECT_EQ(readFile(log), "[100] first\n[101] second\n");
  EXPECT_EQ(modeOf(log), 0644u);
  fs::remove(log);
  writeFile(outside.file("victim"), "untouched");
  // A symbolic link, a second name of the file, and a dangling link the open must not create;
  // none is replaced either.
  for (const int plant : {0, 1, 2}) {
    if (plant == 1) fs::create_hard_link(outside.file("victim"), log);
    if (plant != 1) fs::create_symlink(outside.file(plant ? "created" : "victim"), log);
    appendLogLine(log, 1, "boot: pid 1", true);
    EXPECT_EQ(fs::is_symlink(log), plant != 1) << plant;
    fs::remove(log);
  }
  EXPECT_EQ(readFile(outside.file("victim")), "untouched");
  EXPECT_FALSE(fs::exists(outside.file("created")));
  ASSERT_EQ(::mkfifo(log.c_str(), 0644), 0);
  EXPECT_EQ(runInChild([&] { return appendLogLine(log, 1, "m", true), 0; }, 5), 0)
      << "appending blocked on a FIFO with no reader";
}

TEST(PathsRead, GivesTheBytesWithoutOneLeadingByteOrderMarkAndNothingForMalformedUtf8) {
  TempDir tmp;
  const std::string bom = "\xEF\xBB\xBF",
                    text = "SEG|Edit|#ff\r\nTOOL|caf\xC3\xA9|\xF0\x9D\x84\x9E\n";
  const std::string edges =  // each end of each valid range, NUL included
      "\x00\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
      "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"s;
  std::vector<std::pair<std::string, std::string>> cases = {
      {edges, edges}, {bom + text, text}, {bom + bom + text, bom + text}, {text + bom, text + bom}};
  // Malformed: a stray continuation byte; overlong two-, three- and four-byte forms; both
  // surrogate halves; above U+10FFFF; a lead byte past F4; a byte never valid; a sequence cut
  // short at the end; a continuation byte missing.
  for (const char* bad :
       {"\x80", "ok\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "x\xE2\x82", "\xE2\x28\xA1"})
    cases.emplace_back(bad, "");
  for (const auto& [bytes, read] : cases) {
    writeFile(tmp.file("wheel.cfg"), bytes);
    EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg"), read) << ::testing::PrintToString(bytes);
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
TEST(PathsReadLimit, GivesEmptyTextForAHugeSparseFileButReadsOneOfSomeMegabytes) {
  TempDir tmp;
  writeFile(tmp.file("wheel.cfg"), "SEG|A|#fff\n");
  ASSERT_EQ(::truncate(tmp.file("wheel.cfg").c_str(), 64LL << 30), 0);
  EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg"), "");
  const std::string big = "SEG|A|#fff\n" + std::string(8 << 20, ';');
  writeFile(tmp.file("wheel.cfg"), big);
  EXPECT_EQ(Paths(tmp.path()).read("wheel.cfg").size(), big.size());
}

TEST(PathsRead, FollowsALinkToAFileForItsBytesAndTimeButGivesEmptyTextAtOnceForAnythingElse) {
  TempDir tmp;
  const Paths paths(tmp.path());
  EXPECT_EQ(paths.read("missing"), "");
  EXPECT_EQ(paths.mtime("missing"), 0.0);
  fs::create_directory(tmp.file("folder"));
  EXPECT_EQ(paths.read("folder"), "");
  writeFile(tmp.file("real.cfg"), "SIZE|120\n");
  const timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 250000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, tmp.file("real.cfg").c_str(), times, 0), 0);
  fs::create_symlink(tmp.file("real.cfg"), tmp.file("wheel.cfg"));
  EXPECT_EQ(paths.read("wheel.cfg"), "SIZE|120\n");
  EXPECT_EQ(paths.mtime("wheel.cfg"), 1700000000.25);
  ASSERT_EQ(::mkfifo(tmp.file("fifo").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", tmp.file("device"));
  const int code = runInChild(
      [&] { return paths.read("fifo").empty() && paths.read("device").empty() ? 0 : 1; }, 5);
  EXPECT_EQ(code, 0) << "blocked on a FIFO, or read one";
}

TEST(PathsWrite, ReplacesTheWholeFileReadableByAllNotThroughALinkOrFailsWithoutLeftovers) {
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
  EXPECT_EQ(namesIn(tmp.path()), Names{"cmd.txt"});
  // It fails without leftovers when the folder is gone or a folder holds the name.
  EXPECT_FALSE(Paths(tmp.file("vanished")).write("cmd.txt", "~open"));
  fs::remove(tmp.file("cmd.txt"));
  fs::create_directory(tmp.file("cmd.txt"));
  EXPECT_FALSE(paths.write("cmd.txt", "~open"));
  EXPECT_EQ(namesIn(tmp.path()), Names{"cmd.txt"});
  EXPECT_TRUE(namesIn(tmp.file("cmd.txt")).empty());
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
  std::string deep = tmp.file("stop.txt");
  for (int i = 1; i < 1000; ++i) deep += "/d";
  fs::create_directories(deep);
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

TEST(RewrittenFile, TakesTurnsBetweenTwoFilesReadableByAllSparingOneOpenAndLeavesOnlyTheName) {
  TempDir tmp;
  std::set<ino_t> inodes;
  const mode_t old = ::umask(077);
  {
    RewrittenFile pid(Paths(tmp.path()), "pid.txt");
    for (int i = 0; i < 6; ++i) {
      const std::string text = i % 3 ? std::to_string(i) : "4242|1796587177906";
      ASSERT_TRUE(pid.write(text));
      EXPECT_EQ(readFile(tmp.file("pid.txt")), text);
      EXPECT_EQ(modeOf(tmp.file("pid.txt")), 0644u);
      struct stat st {};
      ASSERT_EQ(::stat(tmp.file("pid.txt").c_str(), &st), 0);
      inodes.insert(st.st_ino);
    }
    EXPECT_EQ(namesIn(tmp.path()).size(), 2u) << "the name and one spare";
    // A reader holding the file open never sees it change.
    const int reader = ::open(tmp.file("pid.txt").c_str(), O_RDONLY | O_CLOEXEC);
    for (const char* text : {"2|2000", "3|3000", "4|4000"}) ASSERT_TRUE(pid.write(text));
    char buf[16] = {};
    EXPECT_EQ(std::string(buf, std::max(::pread(reader, buf, sizeof buf, 0), ssize_t{0})), "5");
    ::close(reader);
    EXPECT_EQ(readFile(tmp.file("pid.txt")), "4|4000");
  }
  ::umask(old);
  EXPECT_EQ(inodes.size(), 2u) << "a new file per write";
  EXPECT_EQ(namesIn(tmp.path()), Names{"pid.txt"});
}

// Where renameat2 refuses RENAME_EXCHANGE with EINVAL (NFS, FUSE without it, FAT before Linux
// 6.0), every write still reaches the name.
TEST(RewrittenFile, WritesEveryTimeWhereTheFileSystemCannotSwapTwoNames) {
  TempDir tmp;
  EXPECT_EQ(runInChild([&] {
              sock_filter refuse[] = {
                  BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_renameat2, 0, 3),
                  BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
                  BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_EXCHANGE, 0, 1),
                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
              const sock_fprog program{std::size(refuse), refuse};
              ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
              if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) return 2;
              RewrittenFile pid(Paths(tmp.path()), "pid.txt");
              for (const char* text : {"1|1000", "2|2000", "3|3000"})
                if (!pid.write(text) || readFile(tmp.file("pid.txt")) != text) return 1;
              return 0;
            }),
            0)
      << "2: the refusal could not be set up";
}

TEST(RewrittenFile, ReplacesALinkButNeverAFolderTouchesNothingBehindAndSurvivesItsFolderMadeAgain) {
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
  EXPECT_EQ(namesIn(tmp.path()), (Names{"lock.txt", "pid.txt"}));
  EXPECT_EQ(readFile(tmp.file("pid.txt")), "8|8000");
  EXPECT_TRUE(namesIn(tmp.file("lock.txt")).empty());
  // A folder removed and made again: nothing is written beside it, then it starts afresh there.
  RewrittenFile pid(Paths(tmp.file("lock.txt")), "pid.txt");
  ASSERT_TRUE(pid.write("1|1000"));
  fs::remove_all(tmp.file("lock.txt"));
  EXPECT_FALSE(pid.write("2|2000"));
  EXPECT_EQ(namesIn(tmp.path()), Names{"pid.txt"});
  fs::create_directory(tmp.file("lock.txt"));
  ASSERT_TRUE(pid.write("3|3000"));
  EXPECT_EQ(readFile(tmp.file("lock.txt/pid.txt")), "3|3000");
}

// The fault: the spare's write lease was given up only after the swap, so a reader opening the
// name with O_NONBLOCK now and then met it and got EWOULDBLOCK.
TEST(RewrittenFile, NeverFailsAnOpenOfTheNameNotEvenANonBlockingOne) {
  TempDir tmp;
  RewrittenFile pid(Paths(tmp.path()), "pid.txt");
  ASSERT_TRUE(pid.write("0|1000"));
  const pid_t reader = ::fork();  // another process, as a host's reader is
  if (reader == 0) {
    for (int i = 0; i < 100000; ++i) {
      const int fd = ::open(tmp.file("pid.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) ::_exit(1);
      ::close(fd);
    }
    ::_exit(0);
  }
  int status = -1;
  // Paced, as the heartbeat is (a second apart there): an open that looked the name up just
  // before a swap may otherwise meet the lease the next write takes on the file it found.
  for (int i = 0; ::waitpid(reader, &status, WNOHANG) == 0; ++i) {
    pid.write(std::to_string(i) + "|1000");
    ::usleep(500);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "an open failed";
}

TEST(RewrittenFile, ATerminationSignalTakesTheSpareAlong) {
  TempDir tmp;
  const int code = runInChild([&] {
    RewrittenFile pid(Paths(tmp.path()), "pid.txt");
    pid.write("1|1000");
    pid.write("2|2000");
    ::raise(SIGTERM);
    return 0;
  });
  EXPECT_EQ(code, -1) << "not ended by the signal";
  EXPECT_EQ(namesIn(tmp.path()), Names{"pid.txt"});
}

}  // namespace
}  // namespace nimbra::testing
