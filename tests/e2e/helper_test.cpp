// The real nimbra-wheel binary with no display: refusals, the boot log, stop requests, file
// modes and take-over between real processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "app/heartbeat.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::vector<std::string> kNoDisplay{"DISPLAY", "WAYLAND_DISPLAY"};

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The process holding a write lock on the file, as F_GETLK tells it; 0 when none does.
int lockHolderOf(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  const bool held = fd >= 0 && ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  if (fd >= 0) ::close(fd);
  return held ? fl.l_pid : 0;
}

std::string yieldedTo(pid_t pid) {
  return "healthy helper already running (pid " + std::to_string(pid) + ") \u2014 exiting";
}

class Helper : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch(const std::string& program = helperBinary()) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{program, "-Dir", dir.path()},
                                          kNoDisplay);
  }
  std::string file(const std::string& name) const { return readFile(dir.file(name)); }
  int countLogged(const std::string& message) const {
    return countMessages(file("log.txt"), message);
  }
  bool heartbeatOf(const ChildProcess& helper) {
    const auto record = [&] { return parseHeartbeat(file("pid.txt")).value_or(HeartbeatRecord{}); };
    return eventually([&] { return record().pid == helper.pid(); }, 10s);
  }
  // Past the take-over and the removal of an old stop request: its "config:" line is logged.
  bool serves(const ChildProcess& helper) {
    const std::string first = "helper starting, pid " + std::to_string(helper.pid());
    return eventually(
        [&] {
          const auto m = logMessagesOf(file("log.txt"));
          auto at = std::find_if(m.begin(), m.end(), [&](auto& s) { return s.starts_with(first); });
          return std::any_of(at, m.end(), [](auto& s) { return s.starts_with("config: "); });
        },
        10s);
  }
  void stop(ChildProcess& helper) {
    writeFile(dir.file("stop.txt"), "");
    EXPECT_EQ(helper.waitExit(10s), 0);
  }
  // Names in the work directory; the helper's temporary files start with a dot.
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir.path())) out.insert(e.path().filename());
    return out;
  }
  std::set<std::string> spares() const {
    std::set<std::string> out;
    for (const auto& n : names())
      if (n.starts_with(".pid.txt.")) out.insert(n);
    return out;
  }

  TempDir dir;
};

TEST_F(Helper, RefusesEveryBadCommandLineWithStatus2ItsMessageAndABootLogLine) {
  const std::string plain = dir.file("plain"), gone = "/nonexistent/nimbra",
                    noDir = "exit 2: no -Dir";
  writeFile(plain, "x");
  const std::string needsDir = "NIMBRA Radial: требуется -Dir <папка>\n";
  const std::string notFound = "NIMBRA Radial: папка не найдена: ";
  const struct {
    std::vector<std::string> args;
    std::string bootLine, stderrText;
  } cases[] = {
      {{}, noDir, needsDir},
      {{"-Dir"}, noDir, needsDir},
      {{"-Dir", ""}, noDir, needsDir},
      {{"-dir", "/tmp", "--Dir", "/tmp"}, noDir, needsDir},
      {{"--help", "-Dir"}, noDir, needsDir},  // --help answers only alone
      {{"-Dir", plain}, "exit 2: dir not found " + plain, notFound + plain + "\n"},
      {{"--dir", gone}, "exit 2: dir not found " + gone, notFound + gone + "\n"},
      {{"-Dir", gone, "--dir", "-Dir", plain},
       "exit 2: dir not found -Dir",
       notFound + "-Dir\n"},  // the last complete pair counts, whatever its value
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::vector<std::string> args{helperBinary()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildProcess helper(args, kNoDisplay);
    ASSERT_EQ(helper.waitExit(10s), 2);
    EXPECT_EQ(helper.stderrText(), c.stderrText);
    // The boot log is shared by every start on the machine: find this one's lines in it.
    const auto boot = logMessagesOf(readFile("/tmp/nimbra-wheel-boot.log"));
    const auto at =
        std::find(boot.begin(), boot.end(), "boot: pid " + std::to_string(helper.pid()));
    ASSERT_NE(at, boot.end());
    EXPECT_NE(std::find(at, boot.end(), c.bootLine), boot.end());
  }
}

TEST(CommandLine, HelpOrVersionAloneAnswersOnStandardOutputWithStatus0) {
  for (const char* only : {"--help", "--version"}) {
    FILE* out = ::popen((helperBinary() + " " + only).c_str(), "r");
    ASSERT_NE(out, nullptr);
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, out);
    EXPECT_EQ(::pclose(out), 0) << only;
    EXPECT_NE(std::string(text, n).find(only == std::string("--help") ? "-Dir DIRECTORY"
                                                                      : "nimbra-wheel 0."),
              std::string::npos)
        << text;
  }
}

// Files made under umask 077 still come out 0644. A second start yields, leaving the stop
// request meant for the first in place.
TEST_F(Helper, ServesTheWorkedExampleAndEndsOnAStopRequest) {
  writeFile(dir.file("wheel.cfg"),
            ";wheel written by the host application\nHOLD|350\nSIZE|60\nSEG|Edit|#3a7\n"
            "TOOL|Copy|copy\nSEG|View\nTOOL|Paste plain|paste\xC2\xA6plain\n"
            "SEG|Files| ff8800\nTOOL|Open|open recent|ignored\nhold|100\n");
  const mode_t saved = ::umask(077);
  auto helper = launch();
  ::umask(saved);
  ASSERT_TRUE(heartbeatOf(*helper));
  const auto m = logMessagesOf(file("log.txt"));
  ASSERT_GE(m.size(), 2u);
  EXPECT_EQ(m[0], "helper starting, pid " + std::to_string(helper->pid()) + ", dir " + dir.path());
  EXPECT_EQ(m[1], "config: 2 sections, R=80, hold=350ms");
  for (const char* name : {"pid.txt", "helper.lock"})
    EXPECT_EQ(fs::symlink_status(dir.file(name)).permissions(), fs::perms(0644)) << name;
  helper->signal(SIGSTOP);  // its tick must not come first, however slow the newcomer starts
  writeFile(dir.file("stop.txt"), "");
  EXPECT_EQ(launch()->waitExit(10s), 0);
  EXPECT_EQ(countLogged(yieldedTo(helper->pid())), 1);
  helper->signal(SIGCONT);
  EXPECT_EQ(helper->waitExit(10s), 0);
  EXPECT_EQ(countLogged("stop requested \u2014 exiting"), 1);
  EXPECT_EQ(names(), (std::set<std::string>{"helper.lock", "log.txt", "wheel.cfg"}));
}

// A record naming a live helper without the lock on this folder, fresh or stale, is neither
// yielded to nor signalled; nor is the record of a helper that was killed.
TEST_F(Helper, ServesQuietlyBesideAForeignRecordOrAfterAHelperThatWasKilled) {
  TempDir other;
  ChildProcess otherHelper({helperBinary(), "-Dir", other.path()}, kNoDisplay);
  for (const std::int64_t stamp : {nowMs(), nowMs() - 60000}) {
    writeFile(dir.file("pid.txt"), formatHeartbeat(otherHelper.pid(), stamp));
    auto helper = launch();
    ASSERT_TRUE(serves(*helper));
    stop(*helper);
  }
  EXPECT_TRUE(otherHelper.running());
  auto killed = launch();
  ASSERT_TRUE(heartbeatOf(*killed));
  ASSERT_TRUE(eventually([&] { return spares().size() == 1; }, 10s));
  const auto left = spares();  // its spare heartbeat file
  killed->signal(SIGKILL);
  killed->waitExit(10s);
  auto serving = launch();
  ASSERT_TRUE(serves(*serving));
  ASSERT_TRUE(heartbeatOf(*serving));
  EXPECT_TRUE(eventually([&] { return spares() != left && spares().size() <= 1; }, 10s))
      << "the killed helper's spare is left behind";
  const auto log = file("log.txt");
  EXPECT_EQ(log.find("healthy helper"), log.npos);
  EXPECT_EQ(log.find("wedged helper"), log.npos);
  stop(*serving);
}

TEST_F(Helper, AStartStormLeavesExactlyOneHelperAndOneStopRequestEndsIt) {
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\nTOOL|a|a\n");
  std::vector<std::unique_ptr<ChildProcess>> storm(20);
  for (auto& h : storm) h = launch();
  const auto running = [](const auto& h) { return h->running(); };
  ASSERT_TRUE(
      eventually([&] { return std::count_if(storm.begin(), storm.end(), running) == 1; }, 60s));
  ChildProcess* serving = std::find_if(storm.begin(), storm.end(), running)->get();
  int yielded = 0;
  for (auto& h : storm) yielded += h->waitExit(0ms) == 0;
  EXPECT_EQ(yielded, 19) << "every other start ends with status 0";
  EXPECT_EQ(countLogged(yieldedTo(serving->pid())), 19);
  ASSERT_TRUE(heartbeatOf(*serving));
  stop(*serving);
}

// A package upgrade replaces the binary under a running helper: it is still known by its lock.
// Stopped, it keeps the lock until it runs again and ends; its replacement serves meanwhile.
TEST_F(Helper, AnUpgradeOfTheBinaryLeavesOneHelperAndAStoppedOneIsReplaced) {
  TempDir bin;
  const std::string program = bin.file("nimbra-wheel"), lock = dir.file("helper.lock");
  const auto install = [&] {
    fs::copy_file(helperBinary(), program + ".new");
    fs::rename(program + ".new", program);
  };
  install();
  auto first = launch(program);
  ASSERT_TRUE(heartbeatOf(*first));
  install();
  EXPECT_EQ(launch(program)->waitExit(10s), 0);
  EXPECT_EQ(countLogged(yieldedTo(first->pid())), 1);
  first->signal(SIGSTOP);  // its record, written as it would stand ten seconds on:
  writeFile(dir.file("pid.txt"), formatHeartbeat(first->pid(), nowMs() - 10000));
  auto second = launch(program);
  ASSERT_TRUE(heartbeatOf(*second));
  EXPECT_EQ(
      countLogged("wedged helper pid " + std::to_string(first->pid()) + " \u2014 terminating it"),
      1);
  EXPECT_EQ(lockHolderOf(lock), first->pid());
  first->signal(SIGCONT);
  EXPECT_EQ(first->waitExit(10s), -SIGTERM);
  EXPECT_TRUE(eventually([&] { return lockHolderOf(lock) == second->pid(); }, 10s));
  // Stopped with no record of its own at all: a newcomer no longer yields to it for good.
  second->signal(SIGSTOP);
  fs::remove(dir.file("pid.txt"));
  auto third = launch(program);
  ASSERT_TRUE(heartbeatOf(*third));
  EXPECT_EQ(
      countLogged("wedged helper pid " + std::to_string(second->pid()) + " \u2014 terminating it"),
      1);
  second->signal(SIGCONT);
  EXPECT_EQ(second->waitExit(10s), -SIGTERM);
  stop(*third);
}

// Whatever is done to the folder's names while a helper serves (the folder made anew, a second
// name for helper.lock, wheel.cfg made a link to it, whose reading drops the lock), after a
// tick one helper serves and holds the lock, and the newcomer's or the old one's healthy line
// names it.
TEST_F(Helper, AfterAnyChangeToTheFoldersNamesOneHelperServesWithinATick) {
  const std::string lock = dir.file("helper.lock");
  for (const int change : {0, 1, 2}) {
    SCOPED_TRACE(change);
    auto old = launch();
    ASSERT_TRUE(heartbeatOf(*old));
    if (change == 0) {
      fs::remove_all(dir.path());
      fs::create_directory(dir.path());
    } else if (change == 1) {
      fs::create_hard_link(lock, dir.file("helper.lock.bak"));
    } else {
      fs::create_symlink(lock, dir.file("wheel.cfg"));
      ASSERT_TRUE(eventually([&] { return lockHolderOf(lock) == 0; }, 5s));
    }
    auto newcomer = launch();
    const auto running = [&] { return int(old->running()) + int(newcomer->running()); };
    ASSERT_TRUE(eventually([&] { return running() == 1; }, 10s));
    ChildProcess* serving = old->running() ? old.get() : newcomer.get();
    EXPECT_EQ((serving == old.get() ? newcomer : old)->waitExit(0ms), 0);
    EXPECT_TRUE(eventually([&] { return lockHolderOf(lock) == serving->pid(); }, 10s));
    EXPECT_EQ(countLogged(yieldedTo(serving->pid())), 1);
    stop(*serving);
    fs::remove_all(dir.path());
    fs::create_directory(dir.path());
  }
}

using Outside = Helper;

// Nothing is ever locked through a name planted as helper.lock, and a FIFO there never blocks:
// the helper carries on without the lock.
TEST_F(Outside, AHelperLockThatIsALinkOrAFifoIsNeverLockedThrough) {
  TempDir elsewhere;
  const std::string victim = elsewhere.file("victim"), lock = dir.file("helper.lock");
  writeFile(victim, "untouched");
  for (const int plant : {0, 1, 2}) {
    if (plant == 0) fs::create_symlink(victim, lock);
    if (plant == 1) fs::create_hard_link(victim, lock);
    if (plant == 2) ::mkfifo(lock.c_str(), 0644);
    auto helper = launch();
    ASSERT_TRUE(serves(*helper));
    EXPECT_EQ(lockHolderOf(victim), 0);
    stop(*helper);
    fs::remove(lock);
  }
  EXPECT_EQ(readFile(victim), "untouched");
}

// The boot log's fixed path is in /tmp, shared by every start on the machine. This runs with a
// /tmp of its own, starting the helper through a handle the private /tmp cannot hide.
TEST(BootLog, IsNeverWrittenThroughALinkPlantedAtItsFixedPath) {
  const int binary = ::open(helperBinary().c_str(), O_PATH);
  ASSERT_GE(binary, 0);
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "no private /tmp here: " << std::strerror(errno);
  writeFile("/tmp/victim", "untouched");
  fs::create_symlink("/tmp/victim", "/tmp/nimbra-wheel-boot.log");
  ChildProcess helper({"/proc/self/fd/" + std::to_string(binary)}, kNoDisplay);
  EXPECT_EQ(helper.waitExit(10s), 2);
  EXPECT_EQ(readFile("/tmp/victim"), "untouched");
  ::umount2("/tmp", MNT_DETACH);
}

}  // namespace
}  // namespace nimbra::testing
