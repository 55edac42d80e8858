// The mouse trigger as a user meets it: short clicks, holds, drags, and their races with the
// hot key, driven through the fake tap and a virtual clock.
#include <gtest/gtest.h>

#include "app/process_state.h"
#include "input/event_tap.h"
#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

constexpr Point kPress{500, 400};

class MouseTrigger : public HelperTest {
 protected:
  void SetUp() override { start(kFourSegments); }
  void hold() {
    press(kPress);
    fake.advance(0.3);
  }
};

TEST_F(MouseTrigger, AShortClickReachesApplicationsAsOneMarkedClickAtThePressPoint) {
  EXPECT_EQ(press(kPress), TapVerdict::kSwallow);
  fake.advance(0.1);
  EXPECT_EQ(release({520, 410}), TapVerdict::kSwallow);
  EXPECT_TRUE(fake.delivered.empty()) << "the click is posted only after the callback returned";
  fake.runDeferred();

  ASSERT_EQ(fake.delivered.size(), 2u);
  EXPECT_EQ(fake.delivered[0].type, TapEventType::kRightMouseDown);
  EXPECT_EQ(fake.delivered[1].type, TapEventType::kRightMouseUp);
  for (const MouseEvent& e : fake.delivered) {
    EXPECT_EQ(e.location, kPress);
    EXPECT_EQ(e.userData, kSyntheticMark);
  }
  EXPECT_FALSE(wheel().shown);
  EXPECT_FALSE(exists("cmd.txt"));
}

TEST_F(MouseTrigger, TheHoldTimerRunsForTheConfiguredHoldTime) {
  press(kPress);
  fake.advance(0.299);
  EXPECT_FALSE(wheel().shown);
  fake.advance(0.001);
  EXPECT_TRUE(wheel().shown);
  EXPECT_TRUE(logged("wheel shown at 500,400"));
  EXPECT_EQ(file("cmd.txt"), "~open");
}

TEST_F(MouseTrigger, HoldingWithoutMovingOpensWithNothingSelectedAndReleasingFiresNothing) {
  hold();
  EXPECT_EQ(curSeg(), -1);
  EXPECT_EQ(curTool(), -1);
  EXPECT_EQ(release(kPress), TapVerdict::kSwallow);
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  EXPECT_EQ(file("cmd.txt"), "~open");
  EXPECT_TRUE(fake.delivered.empty());
}

TEST_F(MouseTrigger, APointerMovedDuringTheHoldSelectsAtOnceAndTheReleaseFires) {
  press(kPress);
  // Straight up, beyond the radius: segment 0, middle tool of its three.
  EXPECT_EQ(drag({500, 250}), TapVerdict::kPass) << "the wheel is still closed";
  fake.advance(0.3);
  EXPECT_EQ(curSeg(), 0);
  EXPECT_EQ(curTool(), 1);
  release({500, 250});
  EXPECT_EQ(file("cmd.txt"), "paste");
  EXPECT_TRUE(logged("fired paste"));
}

TEST_F(MouseTrigger, WhileOpenDragsAreSwallowedAndPlainMovesPassButBothTrack) {
  hold();
  const int before = fake.window->displayRequests;
  EXPECT_EQ(drag({500, 340}), TapVerdict::kSwallow);
  EXPECT_EQ(curSeg(), 0);
  EXPECT_EQ(move({560, 400}), TapVerdict::kPass);
  EXPECT_EQ(curSeg(), 1);
  EXPECT_EQ(fake.window->displayRequests, before + 2);
  // A move that keeps the selection asks for no redraw.
  move({561, 401});
  EXPECT_EQ(fake.window->displayRequests, before + 2);
}

TEST_F(MouseTrigger, LeavingTheRingKeepsTheSegmentChosenThere) {
  hold();
  drag({500, 340});  // ring, straight up: segment 0
  drag({650, 400});  // tool zone, pointing at the segment to the right
  EXPECT_EQ(curSeg(), 0);
  EXPECT_EQ(curTool(), 2) << "past the arc's clockwise end: the last tool";
  release({650, 400});
  EXPECT_EQ(file("cmd.txt"), "cut");
}

TEST_F(MouseTrigger, AnAnchorGridPicksTheCellUnderThePointer) {
  hold();
  drag({560, 400});  // ring, to the right: the grid segment
  // Grid centre 153 to the right, cells 29.33 wide: the top-left cell.
  drag({500 + 153 - 29, 400 - 29});
  EXPECT_EQ(curTool(), 0);
  drag({500 + 153 + 2, 400 - 29});  // top centre: no tool there
  EXPECT_EQ(curTool(), -1);
  drag({500 + 153 + 29, 400 + 29});
  release({500 + 153 + 29, 400 + 29});
  EXPECT_EQ(file("cmd.txt"), "anchor:1,1");
}

TEST_F(MouseTrigger, AnEmptyConfigurationConsumesTheHoldAndRepostsNothing) {
  Config empty;
  empty.holdMs = 300;
  process().wheel->cfg = std::make_shared<const Config>(empty);
  hold();
  EXPECT_TRUE(logged("show refused: empty config"));
  EXPECT_FALSE(wheel().shown);
  release(kPress);
  fake.runDeferred();
  EXPECT_TRUE(fake.delivered.empty());
}

TEST_F(MouseTrigger, ASecondPressWithoutAReleaseRearmsTheTimerAtTheNewPoint) {
  press(kPress);
  fake.advance(0.2);
  press({700, 700});
  fake.advance(0.2);
  EXPECT_FALSE(wheel().shown);
  fake.advance(0.1);
  EXPECT_TRUE(logged("wheel shown at 700,700"));
  EXPECT_EQ(fake.liveTimers(), 1u) << "only the supervision tick is left";
}

TEST_F(MouseTrigger, APressWhileOpenMovesTheCentreAndReopensThere) {
  hold();
  press({800, 500});
  EXPECT_TRUE(wheel().shown);
  drag({800, 340});  // measured from the new centre: tool zone, straight up
  EXPECT_EQ(curSeg(), 0);
  fake.advance(0.3);
  EXPECT_TRUE(logged("wheel shown at 800,500"));
}

TEST_F(MouseTrigger, MarkedEventsPassUntouched) {
  EXPECT_EQ(fake.inject(TapEventType::kRightMouseDown, kPress, kSyntheticMark), TapVerdict::kPass);
  EXPECT_FALSE(wheel().pendingDown.has_value());
  EXPECT_EQ(fake.liveTimers(), 1u);
}

TEST_F(MouseTrigger, ADisabledTapIsEnabledAgainAndTheReasonLogged) {
  const int enables = fake.tapEnableCalls;
  EXPECT_EQ(fake.inject(TapEventType::kTapDisabledByTimeout, {}), TapVerdict::kPass);
  EXPECT_EQ(fake.inject(TapEventType::kTapDisabledByUserInput, {}), TapVerdict::kPass);
  EXPECT_EQ(fake.tapEnableCalls, enables + 2);
  EXPECT_TRUE(logged("tap re-enabled after timeout"));
  EXPECT_TRUE(logged("tap re-enabled after user input"));
}

TEST_F(MouseTrigger, AClickThatCannotBeMadeIsDroppedQuietly) {
  fake.eventSourceAvailable = false;
  press(kPress);
  release(kPress);
  fake.runDeferred();
  EXPECT_TRUE(fake.posted.empty());

  fake.eventSourceAvailable = true;
  fake.mouseEventsAvailable = false;
  press(kPress);
  release(kPress);
  fake.runDeferred();
  EXPECT_TRUE(fake.posted.empty());
}

TEST_F(MouseTrigger, TheHotKeyDuringAHoldOpensAtThePointerAndTheTimerReopensThere) {
  press(kPress);
  fake.movePointerTo({300, 300});
  fake.pressHotKey(1);
  fake.runDeferred();
  EXPECT_TRUE(wheel().hotMode);
  EXPECT_TRUE(logged("wheel opened by hotkey at 300,300"));
  fake.advance(0.3);
  EXPECT_EQ(countLogged("wheel shown at 300,300"), 2);
  EXPECT_TRUE(wheel().hotMode);
  // The release of the press from before the opening fires in hot-key mode too.
  move({300, 140});
  release({300, 140});
  EXPECT_EQ(file("cmd.txt"), "paste");
  EXPECT_FALSE(wheel().hotMode);
}

TEST_F(MouseTrigger, APressSpentOnAHotKeyOpeningIsNeverClickedLater) {
  press(kPress);
  fake.pressHotKey(1);
  fake.runDeferred();
  release(kPress);  // before the hold time: ends the hot-key opening
  fake.pressHotKey(1);
  fake.runDeferred();
  press({10, 10});  // closes the next one
  release({10, 10});
  fake.runDeferred();
  EXPECT_TRUE(fake.posted.empty());
}

TEST_F(MouseTrigger, AShortClickIsHandedBackOnceEvenIfARightPressLaterClosesAHotKeyWheel) {
  press(kPress);
  release(kPress);
  fake.runDeferred();
  fake.pressHotKey(1);
  fake.runDeferred();
  press({10, 10});
  release({10, 10});
  fake.runDeferred();
  EXPECT_EQ(fake.posted.size(), 2u) << "one press and one release, at the first click only";
}

TEST_F(MouseTrigger, ARightPressClosesAHotKeyWheelAndNothingReachesApplications) {
  fake.pressHotKey(1);
  fake.runDeferred();
  EXPECT_EQ(press(kPress), TapVerdict::kSwallow);
  EXPECT_TRUE(logged("wheel closed without a pick"));
  EXPECT_EQ(release(kPress), TapVerdict::kSwallow);
  fake.runDeferred();
  EXPECT_TRUE(fake.delivered.empty());
  EXPECT_EQ(file("cmd.txt"), "~open");
}

TEST_F(MouseTrigger, TheHotKeyClosesAMouseWheelSilentlyAndTheReleaseIsSwallowed) {
  hold();
  fake.pressHotKey(1);
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  EXPECT_FALSE(logged("wheel closed without a pick"));
  EXPECT_EQ(release(kPress), TapVerdict::kSwallow);
  fake.runDeferred();
  EXPECT_TRUE(fake.delivered.empty());
}

// Race-prone sequences, many times over: every short click must come back exactly once.
TEST_F(MouseTrigger, ClicksInQuickSuccessionEachComeBackExactlyOnce) {
  for (int i = 0; i < 200; ++i) {
    const Point at{double(100 + i), 200};
    press(at);
    fake.advance(0.001 * (i % 7));
    release(at);
    if (i % 3 == 0) fake.runDeferred();  // sometimes the next click arrives first
  }
  fake.runDeferred();
  ASSERT_EQ(fake.delivered.size(), 400u);
  for (int i = 0; i < 200; ++i) {
    EXPECT_EQ(fake.delivered[2 * i].location.x, 100 + i);
    EXPECT_EQ(fake.delivered[2 * i].type, TapEventType::kRightMouseDown);
    EXPECT_EQ(fake.delivered[2 * i + 1].type, TapEventType::kRightMouseUp);
  }
  EXPECT_FALSE(exists("cmd.txt"));
}

}  // namespace
}  // namespace nimbra::testing
