// Start-up: the command line, the refusals with status 2, and the order of the first lines.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

TEST(DirArgument, TakesTheLastCompletePairAndNeverExaminesTheValue) {
  using V = std::vector<std::string>;
  EXPECT_EQ(dirArgument(V{"p"}), "");
  EXPECT_EQ(dirArgument(V{"p", "-Dir"}), "");
  EXPECT_EQ(dirArgument(V{"p", "-Dir", ""}), "");
  EXPECT_EQ(dirArgument(V{"p", "-Dir", "a", "--dir", "b"}), "b");
  EXPECT_EQ(dirArgument(V{"p", "--dir", "b", "-Dir"}), "b");
  EXPECT_EQ(dirArgument(V{"p", "-dir", "a", "--Dir", "b"}), "");
  EXPECT_EQ(dirArgument(V{"p", "-Dir", "-Dir", "x"}), "-Dir");
  EXPECT_EQ(dirArgument(V{"p", "x", "-Dir", "a", "y"}), "a");
  EXPECT_EQ(dirArgument(V{"-Dir", "a"}), "") << "the program path is never an option";
}

class StartUp : public HelperTest {
 protected:
  int startExpectingExit(std::vector<std::string> args) {
    try {
      startHelper(args, fake);
    } catch (const FakeExit& e) {
      return e.status;
    }
    return -1;
  }
};

TEST_F(StartUp, RefusesAMissingDirectoryArgumentWithStatus2) {
  EXPECT_EQ(startExpectingExit({"nimbra-wheel", "-Dir"}), 2);
  ASSERT_EQ(fake.stderrWrites.size(), 1u);
  EXPECT_EQ(
      fake.stderrWrites[0],
      "NIMBRA Radial: \xD1\x82\xD1\x80\xD0\xB5\xD0\xB1\xD1\x83\xD0\xB5\xD1\x82\xD1\x81\xD1\x8F"
      " -Dir <\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0>\n");
}

TEST_F(StartUp, RefusesAPathThatIsNotADirectory) {
  writeFile(dir.file("plain"), "");
  EXPECT_EQ(startExpectingExit({"nimbra-wheel", "-Dir", dir.file("plain")}), 2);
  ASSERT_EQ(fake.stderrWrites.size(), 1u);
  EXPECT_EQ(fake.stderrWrites[0],
            "NIMBRA Radial: \xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0 \xD0\xBD\xD0\xB5 "
            "\xD0\xBD\xD0\xB0\xD0\xB9\xD0\xB4\xD0\xB5\xD0\xBD\xD0\xB0: " +
                dir.file("plain") + "\n");
  EXPECT_FALSE(exists("plain/log.txt"));
}

TEST_F(StartUp, SizesAPaintingWindowForTheWheelBeforeTheTriggersGoIn) {
  fake.windowsPaint = true;
  start(kFourSegments);
  ASSERT_EQ(fake.window->frames.size(), 1u);
  EXPECT_EQ(fake.window->frames[0].size, (Size{416, 416})) << "4R + 16 at R = 100";
  ASSERT_FALSE(fake.registrations.empty());
  EXPECT_EQ(fake.registrations[0].framesBefore, 1u) << "the hot key went in first";
  EXPECT_TRUE(fake.tapEnabled);
}

TEST_F(StartUp, WritesItsFirstLinesInOrder) {
  start(kFourSegments);
  const auto m = logMessages();
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0], "helper starting, pid 4242, dir " + dir.path());
  EXPECT_EQ(m[1], "config: 4 sections, R=100, hold=300ms");
  EXPECT_EQ(m[2], "hotkey Cmd+Alt+W registered");
  EXPECT_EQ(m[3], "event tap installed");
  EXPECT_TRUE(fake.accessory);
  EXPECT_EQ(fake.liveTimers(), 1u);
  EXPECT_EQ(fake.nextTimerDelay(), 1.0);
}

TEST_F(StartUp, RunsWithDefaultsWhenThereIsNoConfiguration) {
  start(nullptr);
  EXPECT_TRUE(logged("config: 0 sections, R=190, hold=2000ms"));
  EXPECT_EQ(wheel().cfgStamp, 0);
}

TEST_F(StartUp, RemovesAStaleStopRequestBeforeItCanEndTheNewHelper) {
  writeFile(dir.file("stop.txt"), "");
  start(kFourSegments);
  EXPECT_FALSE(exists("stop.txt"));
  fake.advance(1.0);
  EXPECT_TRUE(exists("pid.txt"));
}

TEST_F(StartUp, PrintsAHugeRadiusExactlyAndGoesOn) {
  start("SIZE|9223372036854775807\nSEG|A|#fff\n");
  EXPECT_TRUE(logged("config: 1 sections, R=9223372036854775808, hold=2000ms"));
}

}  // namespace
}  // namespace nimbra::testing
