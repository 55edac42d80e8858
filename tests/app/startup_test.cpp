// Start-up: the command line, the first lines of the log and what is set up before the loop.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/helper_fixture.h"

namespace nimbra::testing {
namespace {

TEST(DirArgument, TakesTheLastCompletePairAndNeverExaminesTheValue) {
  using V = std::vector<std::string>;
  const std::pair<V, std::string> cases[] = {
      {{"p"}, ""},
      {{"p", "-Dir"}, ""},
      {{"p", "-Dir", ""}, ""},
      {{"p", "-Dir", "a", "--dir", "b"}, "b"},
      {{"p", "--dir", "b", "-Dir"}, "b"},
      {{"p", "-dir", "a", "--Dir", "b"}, ""},
      {{"p", "-Dir", "-Dir", "x"}, "-Dir"},
      {{"p", "x", "-Dir", "a", "y"}, "a"},
      {{"-Dir", "a"}, ""}};  // the program path is never an option
  for (const auto& [args, dir] : cases)
    EXPECT_EQ(dirArgument(args), dir) << ::testing::PrintToString(args);
}

using StartUp = HelperTest;

TEST_F(StartUp, WritesItsFirstLinesInOrderAndSizesThePaintingWindowBeforeTheTriggersGoIn) {
  fake.windowsPaint = true;
  start(kFourSegments);
  EXPECT_EQ(logMessages(),
            (std::vector<std::string>{"helper starting, pid 4242, dir " + dir.path(),
                                      "config: 4 sections, R=100, hold=300ms",
                                      "hotkey Cmd+Alt+W registered", "event tap installed"}));
  ASSERT_EQ(fake.window->frames.size(), 1u);
  EXPECT_EQ(fake.window->frames[0].size, (Size{416, 416})) << "4R + 16 at R = 100";
  ASSERT_FALSE(fake.registrations.empty());
  EXPECT_EQ(fake.registrations[0].framesBefore, 1u);
  EXPECT_TRUE(fake.tapEnabled);
  EXPECT_TRUE(fake.accessory);
  EXPECT_EQ(fake.liveTimers(), 1u);
  EXPECT_EQ(fake.nextTimerDelay(), 1.0);
}

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

}  // namespace
}  // namespace nimbra::testing
