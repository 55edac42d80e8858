// What the real helper creates and where it writes, as another user of the machine would try
// to abuse it: links planted under the protocol's names and at the fixed boot-log path, and the
// modes of the files it makes whatever the umask it inherits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/heartbeat.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::vector<std::string> kNoDisplay{"DISPLAY", "WAYLAND_DISPLAY"};
constexpr const char* kBootLog = "/tmp/nimbra-wheel-boot.log";

mode_t modeOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

class Outside : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{helperBinary(), "-Dir", dir.path()}, kNoDisplay);
  }
  bool waitHeartbeatOf(const ChildProcess& helper) {
    return eventually(
        [&] {
          const auto r = parseHeartbeat(readFile(dir.file("pid.txt")));
          return r && r->pid == helper.pid();
        },
        10s);
  }
  void stop(ChildProcess& helper) {
    writeFile(dir.file("stop.txt"), "");
    EXPECT_EQ(helper.waitExit(10s), 0);
  }

  TempDir dir;
  TempDir elsewhere;  // stands for any place outside the work directory
};

TEST_F(Outside, FilesItCreatesAreReadableByAllAndWritableByItsOwnerOnlyEvenWithUmaskZero) {
  const mode_t saved = ::umask(0);
  auto helper = launch();
  ::umask(saved);
  ASSERT_TRUE(waitHeartbeatOf(*helper));
  EXPECT_EQ(modeOf(dir.file("pid.txt")), 0644u);
  EXPECT_EQ(modeOf(dir.file("log.txt")), 0644u);
  EXPECT_EQ(modeOf(dir.file("helper.lock")), 0644u);
  stop(*helper);
}

// Nothing is ever locked through a name planted as helper.lock, and a FIFO there never blocks:
// the helper carries on without the lock.
TEST_F(Outside, AHelperLockThatIsALinkOrAFifoIsNeverLockedThrough) {
  const std::string victim = elsewhere.file("victim");
  const std::string lock = dir.file("helper.lock");
  writeFile(victim, "untouched");
  const std::function<void()> plants[] = {
      [&] { fs::create_symlink(victim, lock); },
      [&] { fs::create_hard_link(victim, lock); },
      [&] { ::mkfifo(lock.c_str(), 0644); },
  };
  for (const auto& plant : plants) {
    plant();
    auto helper = launch();
    ASSERT_TRUE(waitHeartbeatOf(*helper));
    EXPECT_EQ(lockHolderOf(victim), 0);
    stop(*helper);
    fs::remove(lock);
  }
  EXPECT_EQ(readFile(victim), "untouched");
}

TEST_F(Outside, APidTxtLinkIsReplacedByTheHeartbeatAndItsTargetLeftAlone) {
  writeFile(elsewhere.file("victim"), "untouched");
  fs::create_symlink(elsewhere.file("victim"), dir.file("pid.txt"));
  auto helper = launch();
  ASSERT_TRUE(waitHeartbeatOf(*helper));
  EXPECT_FALSE(fs::is_symlink(dir.file("pid.txt")));
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
  stop(*helper);
}

// The fault: log.txt was opened following links, so a link planted under that name appended
// the helper's lines to any file the link named, or created one where it pointed.
TEST_F(Outside, ALogTxtLinkIsNeverFollowedOutOfTheWorkDirectory) {
  writeFile(elsewhere.file("victim"), "untouched");
  fs::create_symlink(elsewhere.file("victim"), dir.file("log.txt"));
  auto helper = launch();
  ASSERT_TRUE(waitHeartbeatOf(*helper));
  stop(*helper);
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
  EXPECT_TRUE(fs::is_symlink(dir.file("log.txt")));

  fs::remove(dir.file("log.txt"));
  fs::create_symlink(elsewhere.file("created"), dir.file("log.txt"));
  helper = launch();
  ASSERT_TRUE(waitHeartbeatOf(*helper));
  stop(*helper);
  EXPECT_FALSE(fileExists(elsewhere.file("created")));
}

// /tmp is shared with every start on the machine, so these run with a /tmp of their own.
class BootLog : public ::testing::Test {
 protected:
  void SetUp() override {
    // The helper may itself live under /tmp (a build tree there): keep a handle on it that the
    // private /tmp cannot hide, and start it through that.
    binary_ = ::open(helperBinary().c_str(), O_PATH);
    ASSERT_GE(binary_, 0);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=1m") != 0)
      GTEST_SKIP() << "no private /tmp here: " << std::strerror(errno);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2("/tmp", MNT_DETACH);
    if (binary_ >= 0) ::close(binary_);
  }
  // A start with no arguments: it writes the boot log only, then ends with status 2.
  void refusedStart() {
    ChildProcess helper({"/proc/self/fd/" + std::to_string(binary_)}, kNoDisplay);
    EXPECT_EQ(helper.waitExit(10s), 2);
  }

 private:
  bool mounted_ = false;
  int binary_ = -1;
};

TEST_F(BootLog, IsNeverWrittenThroughASymbolicLinkOrAHardLinkAtItsFixedPath) {
  writeFile("/tmp/victim", "untouched");
  fs::create_symlink("/tmp/victim", kBootLog);
  refusedStart();
  EXPECT_EQ(readFile("/tmp/victim"), "untouched");
  EXPECT_TRUE(fs::is_symlink(kBootLog)) << "the link itself is never replaced either";

  fs::remove(kBootLog);
  fs::create_symlink("/tmp/created", kBootLog);
  refusedStart();
  EXPECT_FALSE(fileExists("/tmp/created"));

  fs::remove(kBootLog);
  fs::create_hard_link("/tmp/victim", kBootLog);
  refusedStart();
  EXPECT_EQ(readFile("/tmp/victim"), "untouched");
}

TEST_F(BootLog, NeverBlocksOnAFifoAtItsFixedPath) {
  ASSERT_EQ(::mkfifo(kBootLog, 0666), 0);
  refusedStart();
}

TEST_F(BootLog, IsCreatedReadableByAllAndWritableByItsOwnerOnly) {
  const mode_t saved = ::umask(0);
  refusedStart();
  ::umask(saved);
  EXPECT_EQ(modeOf(kBootLog), 0644u);
}

}  // namespace
}  // namespace nimbra::testing
