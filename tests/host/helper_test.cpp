// Starting, rewriting the wheel for and stopping the real helper through the library.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <utility>

#include "host/host_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

bool processGone(pid_t pid) {
  return ::kill(pid, 0) != 0;
}

TEST_F(HostTest, StartReturnsOnceTheHelperServesAndStopEndsItOnRequest) {
  host::Helper helper = start(oneToolWheel());
  EXPECT_TRUE(logged("helper starting, pid "));
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
  host::Helper first = start(oneToolWheel());
  const pid_t serving = heartbeatPid();
  host::Helper second = start(oneToolWheel());
  ASSERT_TRUE(eventually([&] { return logged("healthy helper already running"); }));
  EXPECT_TRUE(second.healthy());
  // The second handle stops the helper that serves the folder, which it did not start.
  EXPECT_TRUE(second.stop());
  EXPECT_FALSE(first.healthy());  // which also collects its child
  EXPECT_TRUE(processGone(serving));
}

TEST_F(HostTest, ARefusalIsAnErrorCarryingTheHelpersStatusAndMessage) {
  // The real helper, pointed at a folder that does not exist.
  const std::string wrapper = dir.file("helper-elsewhere");
  std::ofstream(wrapper) << "#!/bin/sh\nexec '" << helperBinary() << "' -Dir \"$2/missing\"\n";
  ::chmod(wrapper.c_str(), 0755);
  options.helper = wrapper;
  try {
    start(oneToolWheel());
    FAIL() << "started";
  } catch (const host::StartError& e) {
    EXPECT_EQ(e.status, 2);
    EXPECT_NE(e.message.find("/missing"), std::string::npos) << e.message;
  }
  options.helper = dir.file("no-such-helper");
  EXPECT_THROW(start(oneToolWheel()), host::StartError);
}

TEST_F(HostTest, StopTerminatesAWedgedHelperAfterTheTimeout) {
  host::Helper helper = start(oneToolWheel());
  const pid_t pid = heartbeatPid();
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  EXPECT_FALSE(helper.stop(300ms));
  EXPECT_TRUE(processGone(pid));
}

TEST_F(HostTest, SetWheelIsSeenEvenWhenTheOldFileCarriesALaterTime) {
  host::Helper helper = start(oneToolWheel());
  ASSERT_TRUE(eventually([&] { return logged("config: 1 sections"); }));
  // A time ahead of the clock stands for a file system whose clock ticks coarser than the
  // writes come: a new file stamped "now" would not read as newer.
  struct stat st;
  ::stat(dir.file("wheel.cfg").c_str(), &st);
  const timespec ahead[2] = {{0, UTIME_OMIT}, {st.st_mtim.tv_sec + 60, st.st_mtim.tv_nsec}};
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("wheel.cfg").c_str(), ahead, 0), 0);
  host::Wheel wheel = oneToolWheel();
  wheel.segments.push_back({"View", "#9c6ade", {{"Zoom", "zoom"}}});
  helper.set_wheel(wheel);
  ::stat(dir.file("wheel.cfg").c_str(), &st);
  EXPECT_GT(std::make_pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
            std::make_pair(ahead[1].tv_sec, ahead[1].tv_nsec));
  EXPECT_TRUE(eventually([&] { return logged("config reloaded: 2 sections"); }));
  EXPECT_TRUE(helper.stop());
}

}  // namespace
}  // namespace nimbra::testing
