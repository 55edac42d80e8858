// Huge configurations in-process: the wheel still opens (or is refused) cleanly, tracks and
// fires, and the painting caches built after start-up and each open stay bounded.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

class HugeConfig : public HelperTest {
 protected:
  // Hold, move out along `angle` to `distance`, release; runs the deferred work in between.
  void holdAndRelease(double angle, double distance) {
    const Point centre{500, 400};
    const double r = angle * kPi / 180;
    const Point out{centre.x + distance * std::cos(r), centre.y + distance * std::sin(r)};
    press(centre);
    fake.advance(static_cast<double>(wheel().cfg->holdMs) / 1000.0);
    drag(out);
    release(out);
    fake.advance(1.0);
  }
};

TEST_F(HugeConfig, TenThousandSegmentsOpenAndFireTheToolUnderThePointer) {
  std::string cfg = "HOLD|120\nSIZE|100\n";
  for (int i = 0; i < 10000; ++i)
    cfg += "SEG|S" + std::to_string(i) + "|#abc\nTOOL|t|cmd" + std::to_string(i) + "\n";
  start(cfg.c_str());
  fake.advance(0.0);
  // Segment 5000 is centred straight down; its single tool lies on the same line.
  holdAndRelease(90, 150);
  EXPECT_EQ(file("cmd.txt"), "cmd5000");
}

TEST_F(HugeConfig, AThousandToolSegmentFiresAToolOfItsSelfOverlappingArc) {
  std::string cfg = "HOLD|120\nSIZE|100\nSEG|Many|#abc\n";
  for (int i = 0; i < 1000; ++i) cfg += "TOOL|T|cmd" + std::to_string(i) + "\n";
  start(cfg.c_str());
  holdAndRelease(-90, 150);
  const std::string fired = file("cmd.txt");
  EXPECT_EQ(fired.rfind("cmd", 0), 0u) << fired;
}

TEST_F(HugeConfig, ARadiusOfTenToTheTwelfthOpensAndClosesWithoutACrash) {
  start("HOLD|120\nSIZE|1000000000000\nSEG|A|#fff\nTOOL|a|a\nTOOL|b|b\n");
  EXPECT_TRUE(logged("config: 1 sections, R=1000000000000, hold=120ms"));
  holdAndRelease(-90, 5e11);  // in the ring: a segment, no tool
  EXPECT_TRUE(logged("wheel shown at 500,400"));
  EXPECT_EQ(file("cmd.txt"), "~open");
  holdAndRelease(-90 - 18, 1.5e12);
  EXPECT_EQ(file("cmd.txt"), "a");
}

TEST_F(HugeConfig, AHoldOfTenToTheFifteenthNeverOpensByHoldingButTheClickPassesThrough) {
  start("HOLD|1000000000000000\nSEG|A|#fff\nTOOL|a|a\n");
  EXPECT_TRUE(logged("config: 1 sections, R=190, hold=1000000000000000ms"));
  press({500, 400});
  fake.advance(3600.0);
  EXPECT_FALSE(wheel().shown);
  release({500, 400});
  fake.advance(0.0);
  ASSERT_EQ(fake.posted.size(), 2u) << "the short click is handed back";
  EXPECT_FALSE(fake.window->onScreen);
}

}  // namespace
}  // namespace nimbra::testing
