// Start-up and the once-a-second tick: heartbeat, stop requests, configuration reloads and the
// tap retry.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/helper_fixture.h"

namespace nimbra::testing {
namespace {

using Tick = HelperTest;
using StartUp = HelperTest;

// A stop request left from an earlier run must not end the new helper; a link planted as
// log.txt is never written through.
TEST_F(StartUp, RemovesAStaleStopRequestAndNeverWritesTheLogThroughALink) {
  TempDir elsewhere;
  writeFile(elsewhere.file("victim"), "untouched");
  std::filesystem::create_symlink(elsewhere.file("victim"), dir.file("log.txt"));
  writeFile(dir.file("stop.txt"), "");
  start(kFourSegments);
  EXPECT_FALSE(exists("stop.txt"));
  fake.advance(1.0);
  EXPECT_TRUE(exists("pid.txt"));
  EXPECT_EQ(readFile(elsewhere.file("victim")), "untouched");
}

// A stop request, even a folder, ends the helper while the wheel is open too.
TEST_F(Tick, WritesAHeartbeatEverySecondFromOneSecondInUntilAStopRequestRemovesIt) {
  start(kFourSegments);
  fake.advance(0.999);
  EXPECT_FALSE(exists("pid.txt"));
  fake.advance(0.001);
  EXPECT_EQ(file("pid.txt"), "4242|1700000001250");
  fake.advance(1.0);
  EXPECT_EQ(file("pid.txt"), "4242|1700000002250");
  wheel().show({500, 400});
  ::mkdir(dir.file("stop.txt").c_str(), 0755);
  writeFile(dir.file("stop.txt/inside"), "please");
  try {
    fake.advance(1.0);
    FAIL() << "the helper did not exit";
  } catch (const FakeExit& e) {
    EXPECT_EQ(e.status, 0);
  }
  EXPECT_TRUE(logged("stop requested \u2014 exiting"));
  EXPECT_FALSE(exists("stop.txt"));
  EXPECT_FALSE(exists("pid.txt"));
}

// touchConfig() gives times long past: a restored copy is loaded like a newer one, once, even
// with the same content. A file without segments, or none, keeps the wheel.
TEST_F(Tick, ReloadsATouchedConfigurationOnceAndKeepsTheWheelWhileTheFileHasNoSegments) {
  start(kFourSegments);
  auto before = wheel().cfg;
  touchConfig();
  fake.advance(1.0);
  EXPECT_NE(wheel().cfg, before);
  EXPECT_EQ(wheel().view->cfg, wheel().cfg);
  EXPECT_EQ(wheel().geo->cfg, wheel().cfg);
  fake.advance(1.0);
  EXPECT_EQ(countLogged("config reloaded: 4 sections, R=100, hold=300ms"), 1);

  before = wheel().cfg;
  writeConfig("HOLD|500\n");
  touchConfig();
  fake.advance(1.0);
  EXPECT_EQ(wheel().cfg, before);
  ::unlink(dir.file("wheel.cfg").c_str());
  fake.advance(1.0);
  EXPECT_EQ(wheel().cfg, before);
  EXPECT_EQ(wheel().cfgStamp, 0);
  writeConfig("SEG|A|#fff\nTOOL|x|y\n");
  touchConfig();
  fake.advance(1.0);
  EXPECT_TRUE(logged("config reloaded: 1 sections, R=190, hold=2000ms"));
}

// A reload while open redraws the wheel but moves no window: the hidden one is resized at the
// next reload. A selection left past its segment's tools fires nothing.
TEST_F(Tick, ReloadsRedrawAnOpenWheelAndResizeOnlyAHiddenPaintingWindow) {
  fake.windowsPaint = true;
  start(kFourSegments);
  wheel().show({500, 400});
  wheel().trackDelta(-200, 0);  // the last segment, its only tool
  ASSERT_EQ(curSeg(), 3);
  ASSERT_EQ(curTool(), 0);
  const int requests = fake.window->displayRequests;
  const std::size_t frames = fake.window->frames.size();
  writeConfig("SIZE|80\nSEG|A|#fff\nTOOL|x|y\nSEG|B|#000\nSEG|C|#000\nSEG|D|#000\n");
  touchConfig();
  fake.advance(1.0);
  EXPECT_GT(fake.window->displayRequests, requests);
  EXPECT_EQ(fake.window->frames.size(), frames) << "the open wheel was moved";
  EXPECT_EQ(curSeg(), 3) << "a reload keeps the selection";
  wheel().hide(true);
  EXPECT_EQ(file("cmd.txt"), "~open");
  writeConfig("SIZE|120\nSEG|A|#fff\nTOOL|x|y\n");
  touchConfig();
  fake.advance(1.0);
  ASSERT_EQ(fake.window->frames.size(), frames + 1);
  EXPECT_EQ(fake.window->frames.back().size, (Size{496, 496})) << "4R + 16 at R = 120";
}

TEST_F(Tick, AsksForThePermissionEverySecondUntilGrantedThenInstallsTheTap) {
  fake.trusted = false;
  start(kFourSegments);
  EXPECT_EQ(file("need_access.txt"), "1");
  EXPECT_EQ(fake.tapCreations, 0);
  const auto inode = [&] {
    struct stat st {};
    return ::stat(dir.file("need_access.txt").c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const ino_t first = inode();
  for (int tick = 0; tick < 2; ++tick) {
    fake.advance(1.0);
    EXPECT_EQ(inode(), first) << "an unchanged file was replaced";
  }
  EXPECT_EQ(countLogged("accessibility permission NOT granted yet"), 3);
  writeFile(dir.file("need_access.txt"), "");
  fake.advance(1.0);
  EXPECT_EQ(file("need_access.txt"), "1");

  fake.trusted = true;
  fake.advance(1.0);
  EXPECT_FALSE(exists("need_access.txt"));
  EXPECT_TRUE(logged("event tap installed"));
  const int checks = fake.trustChecks;
  fake.advance(3.0);
  EXPECT_EQ(fake.trustChecks, checks) << "no checks once the tap is in";
}

// Each tick checks the folder's lock first. Waiting for a wedged holder to go, the helper serves
// on; once another helper holds the lock (the folder was made anew, say), it ends and leaves
// that helper's files as they are. Spares of killed helpers go once the lock is its own.
TEST_F(Tick, EndsLeavingTheFilesAloneOnceAnotherHelperHoldsTheLockAndSweepsSparesWhenItHoldsIt) {
  for (const char* spare : {".pid.txt.Ab12Cd", ".pid.txt.zz99yy"}) writeFile(dir.file(spare), "");
  writeFile(dir.file(".pid.txt.keep"), "");
  start(kFourSegments);
  process().wedgedHolder = 777;
  fake.lockAtTick = {WorkDirLock::State::kHeld, 777};
  fake.advance(1.0);
  EXPECT_EQ(file("pid.txt"), "4242|1700000001250");
  EXPECT_TRUE(exists(".pid.txt.Ab12Cd")) << "swept while the lock is not its own";
  fake.lockAtTick = {WorkDirLock::State::kAcquired, 0};
  fake.advance(1.0);
  EXPECT_FALSE(exists(".pid.txt.Ab12Cd") || exists(".pid.txt.zz99yy"));
  EXPECT_TRUE(exists(".pid.txt.keep"));

  writeFile(dir.file("pid.txt"), "888|1");
  writeFile(dir.file("stop.txt"), "");
  fake.lockAtTick = {WorkDirLock::State::kHeld, 888};
  try {
    fake.advance(1.0);
    FAIL() << "the helper did not exit";
  } catch (const FakeExit& e) {
    EXPECT_EQ(e.status, 0);
  }
  EXPECT_EQ(logMessages().back(), "healthy helper already running (pid 888) \u2014 exiting");
  EXPECT_EQ(file("pid.txt"), "888|1");
  EXPECT_TRUE(exists("stop.txt"));
}

}  // namespace
}  // namespace nimbra::testing
