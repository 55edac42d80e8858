// The host library against the real helper, headless, and its wheel model written as wheel.cfg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "nimbra/host.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

// One segment with one tool, "copy", which is picked anywhere beyond the ring.
host::Wheel oneToolWheel() {
  return host::Wheel{{{"Edit", "#3a7", {{"Copy", "copy"}}}}, 120, std::nullopt};
}

class HostTest : public ::testing::Test {
 protected:
  HostTest() {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    options.helper = helperBinary();
  }
  // A helper a failed test left running would outlive its folder: stop whatever serves it.
  ~HostTest() override {
    const pid_t pid = std::atoi(readFile(dir.file("pid.txt")).c_str());
    if (pid <= 0 || ::kill(pid, 0) != 0) return;
    writeFile(dir.file("stop.txt"), "");
    eventually([&] { return !fileExists(dir.file("pid.txt")); });
  }
  host::Helper start() { return host::start(dir.path(), oneToolWheel(), options); }
  bool logged(const std::string& message) const {
    return readFile(dir.file("log.txt")).find("] " + message) != std::string::npos;
  }
  // The process id in pid.txt, once the first heartbeat is there.
  pid_t heartbeatPid() const {
    std::string record;
    eventually([&] { return !(record = readFile(dir.file("pid.txt"))).empty(); });
    return record.empty() ? -1 : std::stoi(record);
  }
  void writeCmd(const std::string& content) const { host::write_cmd(dir.path(), content); }

  TempDir dir;
  host::Options options;
};

TEST_F(HostTest, StartRefusesWithTheHelpersStatusOrReturnsOnceItServesAndStopEndsIt) {
  options.helper = dir.file("helper-elsewhere");  // the real helper, pointed at a missing folder
  std::ofstream(options.helper) << "#!/bin/sh\nexec '" << helperBinary()
                                << "' -Dir \"$2/missing\"\n";
  ::chmod(options.helper.c_str(), 0755);
  try {
    start();
    ADD_FAILURE() << "started";
  } catch (const host::StartError& e) {
    EXPECT_EQ(e.status, 2);
    EXPECT_NE(e.message.find("/missing"), std::string::npos) << e.message;
  }
  options.helper = dir.file("no-such-helper");
  EXPECT_THROW(start(), host::StartError);
  options.helper = helperBinary();
  host::Helper helper = start();
  EXPECT_TRUE(helper.healthy());
  EXPECT_FALSE(helper.needs_permission());
  // At once: the request must not be taken for a stale one and removed as the helper starts.
  EXPECT_TRUE(helper.stop());
  EXPECT_TRUE(logged("stop requested"));
  EXPECT_FALSE(fileExists(dir.file("pid.txt")));
  EXPECT_FALSE(helper.healthy());
  EXPECT_FALSE(helper.stop()) << "nothing was running to end on request";
  host::Wait why = host::Wait::event;
  EXPECT_FALSE(helper.next_event(60s, &why)) << "the events end with the helper";
  EXPECT_EQ(why, host::Wait::ended);
}

bool alive(pid_t pid) {  // a zombie has ended
  return ::kill(pid, 0) == 0 &&
         readFile("/proc/" + std::to_string(pid) + "/stat").find(") Z") == std::string::npos;
}

TEST_F(HostTest, AHelperIsStoppedWithItsHandleAndAMovedFromHandleRefusesEveryCall) {
  host::Helper kept = start();
  const pid_t pid = heartbeatPid();
  host::Helper moved = std::move(kept);
  EXPECT_THROW(kept.healthy(), std::logic_error);
  EXPECT_THROW(kept.stop(), std::logic_error);
  EXPECT_THROW(kept.next_event(0ms), std::logic_error);
  moved = host::Helper(std::move(moved));  // through a temporary and back: still running
  EXPECT_TRUE(alive(pid));
  { const host::Helper last = std::move(moved); }
  EXPECT_FALSE(alive(pid)) << "left running when its handle went";
}

// The host, a forked child, starts its helper from a thread that ends at once; then it is
// killed. Its helper ends with it, unless the host chose otherwise.
TEST_F(HostTest, AHelperEndsWithItsHostHoweverItEndsUnlessTheHostOptsOut) {
  for (const bool endWithHost : {true, false}) {
    SCOPED_TRACE(endWithHost);
    options.end_with_host = endWithHost;
    std::filesystem::remove(dir.file("pid.txt"));  // the record of the helper before
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t host = ::fork();
    if (host == 0) {
      std::optional<host::Helper> kept;
      std::thread([&] { kept.emplace(start()); }).join();
      (void)!::write(ready[1], "1", 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);  // a host that fails to start ends the read
    char byte;
    const ssize_t started = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    ASSERT_EQ(started, 1);
    const pid_t helper = heartbeatPid();
    const std::string beat = readFile(dir.file("pid.txt"));
    EXPECT_TRUE(alive(helper)) << "ended with the thread that started it";
    ::kill(host, SIGKILL);
    ::waitpid(host, nullptr, 0);
    if (endWithHost) {
      EXPECT_TRUE(eventually([&] { return !alive(helper); }));
      if (alive(helper)) ::kill(helper, SIGKILL);  // must not outlive the test
    } else {                                       // it beats on
      EXPECT_TRUE(eventually([&] { return readFile(dir.file("pid.txt")) != beat; }));
      writeFile(dir.file("stop.txt"), "");
      EXPECT_TRUE(eventually([&] { return !alive(helper); }));
    }
  }
}

// A signal that lands while the library reads pid.txt, a large one here, must still end the
// wait; without one, the wait tells its timeout.
TEST_F(HostTest, ASignalEndsTheWaitWhereverItLandsAndATimeoutIsToldApart) {
  options.helper = dir.file("quiet-helper");  // beats once, then does nothing
  std::ofstream(options.helper) << "#!/bin/sh\necho \"$$|$(date +%s)000\" >\"$2/pid.txt\"\n"
                                << "exec sleep 60\n";
  ::chmod(options.helper.c_str(), 0755);
  host::Helper helper = start();
  host::Wait why = host::Wait::event;
  EXPECT_FALSE(helper.next_event(10ms, &why));
  EXPECT_EQ(why, host::Wait::timeout);
  writeFile(dir.file("pid.txt"), std::string(64 << 20, '1'));
  struct sigaction handler {
  }, old{};
  handler.sa_handler = [](int) {};
  ::sigaction(SIGUSR1, &handler, &old);
  const pthread_t waiter = ::pthread_self();
  const std::string syscall = "/proc/self/task/" + std::to_string(::gettid()) + "/syscall";
  std::thread sender([&] {
    eventually([&] { return readFile(syscall).starts_with(std::to_string(SYS_read) + " "); },
               1500ms);
    ::pthread_kill(waiter, SIGUSR1);
  });
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_FALSE(helper.next_event(10s, &why));
  sender.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(why, host::Wait::interrupted);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s);
  std::filesystem::remove(dir.file("pid.txt"));
  EXPECT_FALSE(helper.stop(0ms));
}

TEST_F(HostTest, StopTerminatesAWedgedHelperAfterTheTimeout) {
  host::Helper helper = start();
  const pid_t pid = heartbeatPid();
  // The heartbeat's spare file, there from the second beat on, goes only on a SIGTERM.
  auto spareLeft = [&] {
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().filename().string().starts_with(".pid.txt.")) return true;
    return false;
  };
  ASSERT_TRUE(eventually(spareLeft));
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  // With its record stale, a start on the folder is no take-over of another host's helper.
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  writeFile(dir.file("pid.txt"), std::to_string(pid) + "|" + std::to_string((now - 9s) / 1ms));
  const host::Helper second = start();
  EXPECT_FALSE(helper.stop(300ms));
  EXPECT_TRUE(eventually([&] { return ::kill(pid, 0) != 0; }));
  EXPECT_TRUE(eventually([&] { return !spareLeft(); })) << "killed, never woken to act on SIGTERM";
}

TEST_F(HostTest, MissedWritesAreCountedANewWheelIsSeenAndASecondStartJoinsTheHelper) {
  host::Helper helper = start();
  const pid_t serving = heartbeatPid();
  for (int i = 0; i < 50; ++i) writeCmd("~/bin/tool " + std::to_string(i));  // not "~open"
  std::optional<host::Event> event = helper.next_event(10s);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, host::Event::Kind::pick);
  EXPECT_EQ(event->command, "~/bin/tool 49");
  EXPECT_EQ(event->missed, 49);
  writeCmd("~open");
  event = helper.next_event(10s);
  ASSERT_TRUE(event);
  EXPECT_EQ(event->kind, host::Event::Kind::open);
  EXPECT_EQ(event->missed, 0);
  // A time ahead of the clock stands for a file system whose clock ticks coarser than the
  // writes come: a new file stamped "now" would not read as newer.
  const timespec ahead[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 60, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("wheel.cfg").c_str(), ahead, 0), 0);
  host::Wheel wheel = oneToolWheel();
  wheel.segments.push_back({"View", "#9c6ade", {{"Zoom", "zoom"}}});
  helper.set_wheel(wheel);
  struct stat st {};
  ::stat(dir.file("wheel.cfg").c_str(), &st);
  EXPECT_GT(st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec,
            ahead[1].tv_sec * 1'000'000'000LL)
      << "the new wheel does not read as newer";
  EXPECT_TRUE(eventually([&] { return logged("config reloaded: 2 sections"); }));
  const std::string served = readFile(dir.file("wheel.cfg"));
  try {
    start();
    ADD_FAILURE() << "took over a folder another host's helper serves";
  } catch (const host::StartError& e) {
    EXPECT_EQ(e.serving_pid, serving);
    EXPECT_NE(std::string(e.what()).find(dir.path()), std::string::npos) << e.what();
  }
  EXPECT_EQ(readFile(dir.file("wheel.cfg")), served);
  options.join = true;
  host::Helper second = start();
  // The second handle stops the helper that serves the folder, which it did not start.
  EXPECT_TRUE(second.stop());
  EXPECT_FALSE(helper.healthy());  // which also collects its child
  EXPECT_NE(::kill(serving, 0), 0);
}

// A soak: how long this thread waited for a CPU while ready, as the scheduler counts, tells a
// miss caused by a starved reader (which no design avoids) from the library's own. A write that
// lands between the reader's count of notices and its read is delivered in place of the one
// before, whose miss is told with the next event: a stall explains the misses of its own event
// and of the next.
TEST_F(HostTest, NoWriteIsLostAcrossAThousandWritesFiveMillisecondsApart) {
  host::Helper helper = start();
  std::thread writer([&] {
    for (int i = 0; i < 1000; ++i) {
      writeCmd("pick " + std::to_string(i));
      std::this_thread::sleep_for(5ms);  // at least 5 ms apart, the pace under test
    }
  });
  auto runQueueWait = [] {
    long long running = 0, waiting = 0;
    std::ifstream("/proc/thread-self/schedstat") >> running >> waiting;
    return std::chrono::nanoseconds(waiting);
  };
  int last = -1, events = 0, missed = 0, missedStarved = 0;
  bool stalled = false;
  for (auto waited = runQueueWait(); last < 999;) {
    const std::optional<host::Event> event = helper.next_event(10s);
    const auto stall = runQueueWait() - waited;
    waited += stall;
    if (!event) break;
    const int i = std::stoi(event->command.substr(5));
    ASSERT_GT(i, last) << event->command;
    missed += event->missed;
    if (stall >= 2500us || stalled) missedStarved += event->missed;
    stalled = stall >= 2500us;
    ++events;
    last = i;
  }
  writer.join();
  EXPECT_EQ(last, 999) << "the last write was never delivered";
  EXPECT_EQ(events + missed, 1000) << "the counts do not add up";
  EXPECT_EQ(missed - missedStarved, 0) << "writes missed while the reader could run";
}

host::Wheel withSegment(host::Segment segment) {
  return host::Wheel{{std::move(segment)}, {}, {}};
}
host::Wheel withCommand(const char* command) {
  return withSegment({"Edit", "#fff", {{"Copy", command}}});
}

TEST(WheelCfg, RefusesWhatTheHelperWouldReadDifferentlyNamingTheItemAndWritesTheRest) {
  const std::pair<host::Wheel, const char*> refusals[] = {
      {withSegment({"Cut|Copy", "#fff", {}}), "segment 0 \"Cut|Copy\""},
      {withSegment({"Edit", "#fff", {{"A|B", "x"}}}), "tool \"A|B\""},
      {withSegment({"Edit", "#fff", {{"A\nB", "x"}}}), "tool \"A\nB\""},
      {withSegment({"Edit\xC3", "#fff", {}}), "segment 0"},  // cut inside a UTF-8 sequence
      {withSegment({"Edit", "red", {}}), "colour \"red\""},  // the helper would paint it blue
      {withSegment({"Edit", "#ff88", {}}), "colour \"#ff88\""},
      {withCommand("a\xC2\xA6z"), "tool \"Copy\""},  // a broken bar
      {withCommand("copy "), "tool \"Copy\""},       // which the helper would trim
      {withCommand("copy\xC2\xA0"), "tool \"Copy\""},
      {withCommand("~open"), "tool \"Copy\""},
      {withCommand("\xFF"), "tool \"Copy\""},
      {host::Wheel{}, "no segment"},
      {host::Wheel{{{"Edit", "#fff", {}}}, 50, {}}, "hold_ms"},
  };
  for (const auto& [wheel, mentions] : refusals) {
    try {
      host::wheel_cfg(wheel);
      ADD_FAILURE() << "accepted, should name " << mentions;
    } catch (const host::WheelError& e) {
      EXPECT_NE(std::string(e.what()).find(mentions), std::string::npos) << e.what();
    }
  }
  // Bars in commands are written as broken bars, anchors as anchor commands.
  host::Wheel wheel = withSegment(
      {"Edit", "ff8800", {{"Paste plain", "paste|plain"}, host::Tool::anchor("Mid", 0.5, 1)}});
  wheel.hold_ms = 350;
  EXPECT_EQ(
      host::wheel_cfg(wheel),
      "HOLD|350\nSEG|Edit|ff8800\nTOOL|Paste plain|paste\xC2\xA6plain\nTOOL|Mid|anchor:0.5,1\n");
  EXPECT_THROW(host::Tool::anchor("Off", 1.5, 0), host::WheelError);
}

}  // namespace
}  // namespace nimbra::testing
