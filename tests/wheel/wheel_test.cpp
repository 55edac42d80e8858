// The controller: where the wheel opens, what an offset selects in each zone, and what a close
// writes to "cmd.txt".
#include <gtest/gtest.h>

#include <cmath>

#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

class WheelController : public HelperTest {
 protected:
  void SetUp() override { start(kFourSegments); }
  // Selection for an offset at `angle` degrees and `distance` points.
  std::pair<int, int> trackPolar(double angle, double distance) {
    const double r = angle * kPi / 180;
    wheel().trackDelta(distance * std::cos(r), distance * std::sin(r));
    return {curSeg(), curTool()};
  }
};

TEST_F(WheelController, OpensAsASquareOf4RPlus16CentredOnThePoint) {
  wheel().show({500, 400});
  ASSERT_EQ(fake.window->frames.size(), 1u);
  // Bottom-left screen coordinates: 1000 high, so y = 1000 - 400 - 208.
  EXPECT_EQ(fake.window->frames[0], (Rect{{292, 392}, {416, 416}}));
  EXPECT_EQ(wheel().view->frame, (Rect{{0, 0}, {416, 416}}));
  EXPECT_TRUE(fake.window->onScreen);
  EXPECT_EQ(file("cmd.txt"), "~open");
}

TEST_F(WheelController, LogsTheOpeningPointTruncatedTowardZero) {
  wheel().show({812.7, -3.5});
  wheel().hide(false);
  wheel().show({-0.4, 0.9});
  EXPECT_TRUE(logged("wheel shown at 812,-3"));
  EXPECT_TRUE(logged("wheel shown at 0,0"));
}

TEST_F(WheelController, SelectsNothingInTheDeadZoneIncludingItsEdge) {
  wheel().show({500, 400});
  EXPECT_EQ(trackPolar(0, 0), std::make_pair(-1, -1));
  wheel().trackDelta(31.3, 0);
  EXPECT_EQ(curSeg(), -1);
}

TEST_F(WheelController, FollowsTheAngleInTheRingUpToAndIncludingTheRadius) {
  wheel().show({500, 400});
  EXPECT_EQ(trackPolar(-90, 50), std::make_pair(0, -1));
  EXPECT_EQ(trackPolar(0, 100), std::make_pair(1, -1));
  EXPECT_EQ(trackPolar(90, 99), std::make_pair(2, -1));
  EXPECT_EQ(trackPolar(180, 60), std::make_pair(3, -1));
}

TEST_F(WheelController, PicksToolsOnTheArcAndItsNearerEndBeyondIt) {
  wheel().show({500, 400});
  trackPolar(-90, 50);
  // Segment 0's three tools cover [-144, -36).
  EXPECT_EQ(trackPolar(-140, 150).second, 0);
  EXPECT_EQ(trackPolar(-90, 150).second, 1);
  EXPECT_EQ(trackPolar(-40, 150).second, 2);
  EXPECT_EQ(trackPolar(20, 150).second, 2) << "clockwise past the end";
  EXPECT_EQ(trackPolar(170, 150).second, 0) << "anticlockwise past the start";
  EXPECT_EQ(curSeg(), 0) << "latched throughout";
}

TEST_F(WheelController, EntersTheToolZoneDirectlyByTheAngleOfThatMoment) {
  wheel().show({500, 400});
  EXPECT_EQ(trackPolar(180, 300), std::make_pair(3, 0)) << "one tool: selected anywhere";
  EXPECT_EQ(trackPolar(-90, 300), std::make_pair(3, 0));
}

TEST_F(WheelController, ASegmentWithoutToolsSelectsNoTool) {
  wheel().show({500, 400});
  EXPECT_EQ(trackPolar(90, 200), std::make_pair(2, -1));
}

TEST_F(WheelController, PicksGridCellsInsideTheSquareAndNothingOutside) {
  wheel().show({500, 400});
  trackPolar(0, 60);
  wheel().trackDelta(153, 0);
  EXPECT_EQ(curTool(), 1) << "the centre cell holds the second tool";
  wheel().trackDelta(153 + 45, 0);
  EXPECT_EQ(curTool(), -1) << "beyond the square's half side of 44";
  wheel().trackDelta(153 + 43, 43);
  EXPECT_EQ(curTool(), 2) << "bottom-right corner cell";
  wheel().trackDelta(153 - 43, 43);
  EXPECT_EQ(curTool(), -1) << "bottom-left cell is empty";
}

TEST_F(WheelController, FiresTheSelectedToolAndResetsTheSelection) {
  wheel().show({500, 400});
  trackPolar(-90, 150);
  wheel().hide(true);
  EXPECT_EQ(file("cmd.txt"), "paste");
  EXPECT_TRUE(logged("fired paste"));
  EXPECT_EQ(curSeg(), -1);
  EXPECT_EQ(curTool(), -1);
  EXPECT_FALSE(fake.window->onScreen);
}

TEST_F(WheelController, FiringWithoutAToolWritesAndLogsNothing) {
  wheel().show({500, 400});
  trackPolar(-90, 50);
  wheel().hide(true);
  EXPECT_EQ(file("cmd.txt"), "~open");
  for (const auto& m : logMessages()) EXPECT_NE(m.rfind("fired", 0), 0u) << m;
}

TEST_F(WheelController, RefusesToOpenOnAnEmptyConfiguration) {
  wheel().cfg = std::make_shared<const Config>();
  wheel().show({1, 2});
  EXPECT_FALSE(wheel().shown);
  EXPECT_TRUE(logged("show refused: empty config"));
  EXPECT_FALSE(exists("cmd.txt"));
}

TEST_F(WheelController, ALatchedSegmentOutsideTheConfigurationSelectsNoTool) {
  wheel().view->curSeg = 9;
  wheel().trackDelta(0, -300);
  EXPECT_EQ(curTool(), -1);
}

TEST_F(WheelController, AnAnchorCommandFiresWholeWithItsPrefix) {
  wheel().show({500, 400});
  trackPolar(0, 60);
  wheel().trackDelta(153, 0);
  wheel().hide(true);
  EXPECT_EQ(file("cmd.txt"), "anchor:0.5,0.5");
}

class WheelViewInput : public WheelController {};

TEST_F(WheelViewInput, IgnoresTheMouseUnlessOpenByHotKey) {
  WheelView& view = *wheel().view;
  view.mouseDown({208, 50});
  EXPECT_FALSE(exists("cmd.txt"));
  wheel().show({500, 400});
  view.mouseMoved({208, 50});
  view.otherMouseDown({0, 0});
  EXPECT_EQ(curSeg(), -1);
  EXPECT_TRUE(wheel().shown);
}

TEST_F(WheelViewInput, TracksMovesAndFiresOnALeftClick) {
  fake.movePointerTo({500, 400});
  wheel().showByHotKey();
  WheelView& view = *wheel().view;
  const int requests = fake.window->displayRequests;
  view.mouseMoved({208, 208 - 60});
  EXPECT_EQ(curSeg(), 0);
  EXPECT_EQ(fake.window->displayRequests, requests + 1);
  view.mouseMoved({209, 208 - 60});
  EXPECT_EQ(fake.window->displayRequests, requests + 1) << "same selection, no redraw";
  view.mouseDown({208, 208 - 150});
  EXPECT_EQ(file("cmd.txt"), "paste");
  EXPECT_FALSE(wheel().hotMode);
}

TEST_F(WheelViewInput, AClickAtTheCentreClosesWithNothingFired) {
  wheel().showByHotKey();
  wheel().view->mouseDown({208, 208});
  EXPECT_FALSE(wheel().shown);
  EXPECT_EQ(file("cmd.txt"), "~open");
}

TEST_F(WheelViewInput, RightAndMiddleClicksCloseWithoutAPick) {
  wheel().showByHotKey();
  wheel().view->rightMouseDown({208, 50});
  EXPECT_FALSE(wheel().shown);
  wheel().showByHotKey();
  wheel().view->otherMouseDown({208, 50});
  EXPECT_FALSE(wheel().shown);
  EXPECT_EQ(countLogged("wheel closed without a pick"), 2);
}

}  // namespace
}  // namespace nimbra::testing
