// Starting, rewriting the wheel for and stopping the real helper through the library.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "host/host_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(HostTest, StartReturnsOnceTheHelperServesAndStopEndsItOnRequest) {
  host::Helper helper = start();
  EXPECT_TRUE(helper.healthy());
  EXPECT_FALSE(helper.needs_permission());
  // At once: the request must not be taken for a stale one and removed as the helper starts.
  EXPECT_TRUE(helper.stop());
  EXPECT_TRUE(logged("stop requested"));
  EXPECT_FALSE(fileExists(dir.file("pid.txt")));
  EXPECT_FALSE(helper.healthy());
  EXPECT_FALSE(helper.next_event(60s)) << "the events end with the helper";
}

TEST_F(HostTest, AStartThatFindsAHealthyHelperServingTheFolderSucceeds) {
  host::Helper first = start();
  const pid_t serving = heartbeatPid();
  host::Helper second = start();
  ASSERT_TRUE(eventually([&] { return logged("healthy helper already running"); }));
  // The second handle stops the helper that serves the folder, which it did not start.
  EXPECT_TRUE(second.stop());
  EXPECT_FALSE(first.healthy());  // which also collects its child
  EXPECT_NE(::kill(serving, 0), 0);
}

TEST_F(HostTest, ARefusalIsAnErrorCarryingTheHelpersStatusAndMessage) {
  // The real helper, pointed at a folder that does not exist.
  options.helper = dir.file("helper-elsewhere");
  std::ofstream(options.helper) << "#!/bin/sh\nexec '" << helperBinary()
                                << "' -Dir \"$2/missing\"\n";
  ::chmod(options.helper.c_str(), 0755);
  try {
    start();
    FAIL() << "started";
  } catch (const host::StartError& e) {
    EXPECT_EQ(e.status, 2);
    EXPECT_NE(e.message.find("/missing"), std::string::npos) << e.message;
  }
  options.helper = dir.file("no-such-helper");
  EXPECT_THROW(start(), host::StartError);
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
  EXPECT_FALSE(helper.stop(300ms));
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_FALSE(spareLeft()) << "killed, never woken to act on the SIGTERM";
}

TEST_F(HostTest, SetWheelIsSeenEvenWhenTheOldFileCarriesALaterTime) {
  host::Helper helper = start();
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
            ahead[1].tv_sec * 1'000'000'000LL);
  EXPECT_TRUE(eventually([&] { return logged("config reloaded: 2 sections"); }));
  EXPECT_TRUE(helper.stop());
}

}  // namespace
}  // namespace nimbra::testing
