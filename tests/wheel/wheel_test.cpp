// The controller on the fake platform: where the wheel opens, what an offset selects and fires.
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

// R = 100: three tools up, an anchor grid (TL, C, TR) right, nothing down and one tool left.
class WheelController : public HelperTest {
 protected:
  void SetUp() override {
    start(
        "SIZE|100\nSEG|Edit|#f00\nTOOL|Copy|copy\nTOOL|Paste|paste\nTOOL|Cut|cut\n"
        "SEG|Place|#0f0\nTOOL|TL|anchor:0,0\nTOOL|C|anchor:0.5,0.5\nTOOL|TR|anchor:1,0\n"
        "SEG|Empty|#00f\nSEG|One|#ff0\nTOOL|Only|only\n");
  }
  std::pair<int, int> selection() const { return {curSeg(), curTool()}; }
};

TEST_F(WheelController, OpensAsASquareOf4RPlus16CentredOnThePointWithNothingSelected) {
  wheel().trackDelta(0, -150);
  wheel().show({500, 400});
  EXPECT_EQ(selection(), std::pair(-1, -1));
  // Bottom-left screen coordinates: 1000 high, so y = 1000 - 400 - 208.
  EXPECT_EQ(fake.window->frames.back(), (Rect{{292, 392}, {416, 416}}));
  EXPECT_TRUE(fake.window->onScreen);
  wheel().hide(false);
  fake.movePointerTo({500, 400});
  wheel().showByHotKey();
  EXPECT_EQ(fake.window->frames.back(), (Rect{{292, 392}, {416, 416}}));
}

// Offsets and the selection each leaves; `reopen` starts an opening. In turn: the dead zone
// to 31.3, the ring; segment 0's tools on [-144, -36) degrees, beyond them the nearer end, latched
// until back in the ring; into the tool zone by the angle of that moment; the grid at (153, 0),
// side 88.
TEST_F(WheelController, SelectsByZoneAngleAndLatchedSegment) {
  const std::tuple<bool, double, double, int, int> steps[] = {
      {true, 0, 0, -1, -1},        {false, 31.3, 0, -1, -1},     {false, 0, -50, 0, -1},
      {false, 100, 0, 1, -1},      {false, 0, 99, 2, -1},        {false, -60, 0, 3, -1},
      {true, 0, -50, 0, -1},       {false, -114.9, -96.4, 0, 0}, {false, 0, -150, 0, 1},
      {false, 114.9, -96.4, 0, 2}, {false, 129.9, -75, 0, 2},    {false, 141, 51.3, 0, 2},
      {false, -147.7, 26, 0, 0},   {false, 0, -60, 0, -1},       {true, -300, 0, 3, 0},
      {false, 0, -300, 3, 0},      {true, 0, 200, 2, -1},        {true, 60, 0, 1, -1},
      {false, 153, 0, 1, 1},       {false, 198, -43, 1, -1},     {false, 196, -43, 1, 2},
      {false, 110, 43, 1, -1},     {false, 110, -43, 1, 0}};
  for (auto [reopen, dx, dy, seg, tool] : steps) {
    if (reopen) wheel().show({500, 400});
    wheel().trackDelta(dx, dy);
    EXPECT_EQ(selection(), std::pair(seg, tool)) << "at " << dx << "," << dy;
  }
}

// Fuzzing found that a NaN offset passed the grid's bounds test and cast NaN to a cell index.
using TrackingFaults = WheelController;
TEST_F(TrackingFaults, ANaNOffsetOverAnAnchorGridSelectsNoCellInsteadOfReadingOutsideIt) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  wheel().show({500, 400});
  wheel().trackDelta(60, 0);
  for (const auto& [dx, dy] : {std::pair{kNaN, kNaN}, {kNaN, 0.0}, {153.0, kNaN}}) {
    wheel().trackDelta(dx, dy);
    EXPECT_EQ(selection(), std::pair(1, -1));
  }
}

TEST_F(WheelController, TheViewActsOnlyWhileOpenByHotKeyFiresUnderTheClickAndClosesUnpicked) {
  WheelView& view = *wheel().view;
  wheel().show({500, 400});
  view.mouseMoved({208, 50});
  EXPECT_EQ(curSeg(), -1);
  wheel().hide(false);

  wheel().showByHotKey();
  const int requests = fake.window->displayRequests;
  view.mouseMoved({208, 208 - 60});
  EXPECT_EQ(curSeg(), 0);
  view.mouseMoved({208, 208 - 150});
  EXPECT_EQ(fake.window->displayRequests, requests + 2) << "a new tool of the same segment";
  view.mouseMoved({209, 208 - 150});
  EXPECT_EQ(fake.window->displayRequests, requests + 2) << "same selection, no redraw";
  view.mouseDown({208 + 130, 208 - 75});
  EXPECT_EQ(file("cmd.txt"), "cut");
  EXPECT_EQ(selection(), std::pair(-1, -1));
  EXPECT_FALSE(wheel().hotMode);
  EXPECT_TRUE(fake.window->ignoresMouse);

  using Click = void (WheelView::*)(Point);
  for (Click click :
       {&WheelView::mouseDown, &WheelView::rightMouseDown, &WheelView::otherMouseDown}) {
    wheel().showByHotKey();
    (view.*click)({208, 208});
    EXPECT_FALSE(wheel().shown);
    EXPECT_FALSE(fake.window->onScreen);
    EXPECT_TRUE(fake.window->ignoresMouse);
  }
  EXPECT_EQ(file("cmd.txt"), "~open");
  EXPECT_EQ(countLogged("wheel closed without a pick"), 2);
}

}  // namespace
}  // namespace nimbra::testing
