// The mouse trigger and the global hot keys as a user meets them, driven through the fake tap,
// the fake hot-key handler and a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "input/event_tap.h"
#include "input/hot_keys.h"
#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

constexpr Point kPress{500, 400};

class MouseTrigger : public HelperTest {
 protected:
  void SetUp() override { start(kFourSegments); }
  void click(Point at) {
    press(at);
    release(at);
    fake.runDeferred();
  }
  // Cmd+Alt+W (1) or Escape (2), handled on the main loop; false when not registered.
  bool hotKey(std::uint32_t id = 1) {
    const bool registered = fake.pressHotKey(id);
    fake.runDeferred();
    return registered;
  }
  bool escapeRegistered() const {
    return std::ranges::any_of(fake.registrations, [](const auto& r) {
      return r.keyCode == kKeyCodeEscape && r.modifiers == 0 && r.id == HotKeyId{kHotSig, 2};
    });
  }
};
using HotKeys = MouseTrigger;

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
  EXPECT_FALSE(exists("cmd.txt"));
  // A click that cannot be made is dropped quietly.
  fake.eventSourceAvailable = false;
  click(kPress);
  fake.eventSourceAvailable = true;
  fake.mouseEventsAvailable = false;
  click(kPress);
  EXPECT_EQ(fake.posted.size(), 2u);
}

TEST_F(MouseTrigger, AHoldOfTheConfiguredTimeOpensAndItsReleaseFiresWhatThePointerSelected) {
  press(kPress);
  fake.advance(0.299);
  EXPECT_FALSE(wheel().shown);
  fake.advance(0.001);
  EXPECT_TRUE(logged("wheel shown at 500,400"));
  EXPECT_EQ(file("cmd.txt"), "~open");
  release(kPress);  // nothing selected: fires nothing
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  EXPECT_EQ(file("cmd.txt"), "~open");
  EXPECT_TRUE(fake.delivered.empty());
  // A pointer moved during the hold selects at once, here segment 0's middle tool, straight up.
  press(kPress);
  EXPECT_EQ(drag({500, 250}), TapVerdict::kPass) << "the wheel is still closed";
  fake.advance(0.3);
  EXPECT_EQ(curSeg(), 0);
  EXPECT_EQ(curTool(), 1);
  release({500, 250});
  EXPECT_EQ(file("cmd.txt"), "paste");
}

TEST_F(MouseTrigger, WhileOpenDragsAreSwallowedMovesPassAndEachNewSelectionIsRedrawn) {
  press(kPress);
  fake.advance(0.3);
  const int before = fake.window->displayRequests;
  EXPECT_EQ(move({560, 400}), TapVerdict::kPass);  // ring, to the right: segment 1
  EXPECT_EQ(curSeg(), 1);
  EXPECT_EQ(drag({500, 340}), TapVerdict::kSwallow);  // ring, straight up: segment 0
  drag({650, 400});  // tool zone, pointing at the segment to the right
  EXPECT_EQ(curSeg(), 0) << "the segment chosen in the ring stays";
  EXPECT_EQ(curTool(), 2) << "past the arc's clockwise end: the last tool";
  drag({651, 401});
  EXPECT_EQ(fake.window->displayRequests, before + 3) << "one redraw per new selection";
  release({651, 401});
  EXPECT_EQ(file("cmd.txt"), "cut");
}

TEST_F(MouseTrigger, ANewPressRearmsTheTimerAtItsPointWhetherTheWheelIsClosedOrOpen) {
  press(kPress);
  fake.advance(0.2);
  press({700, 700});
  fake.advance(0.2);
  EXPECT_FALSE(wheel().shown);
  fake.advance(0.1);
  EXPECT_TRUE(logged("wheel shown at 700,700"));
  press({800, 500});
  EXPECT_TRUE(wheel().shown);
  drag({800, 340});  // measured from the new centre: tool zone, straight up
  EXPECT_EQ(curSeg(), 0);
  fake.advance(0.3);
  EXPECT_TRUE(logged("wheel shown at 800,500"));
}

TEST_F(MouseTrigger, APressSpentOnAHotKeyOpeningIsNeverClickedLater) {
  press(kPress);
  hotKey();
  release(kPress);  // before the hold time: ends the hot-key opening
  hotKey();
  click({10, 10});  // closes the next one
  EXPECT_TRUE(fake.posted.empty());
}

TEST_F(MouseTrigger, APressClosesAHotKeyWheelAndTheHotKeyAMouseWheelAndNoClickGetsThrough) {
  hotKey();
  EXPECT_EQ(press(kPress), TapVerdict::kSwallow);
  EXPECT_TRUE(logged("wheel closed without a pick"));
  EXPECT_EQ(release(kPress), TapVerdict::kSwallow);
  press(kPress);
  fake.advance(0.3);
  ASSERT_TRUE(wheel().shown);
  hotKey();
  EXPECT_FALSE(wheel().shown);
  EXPECT_EQ(countLogged("wheel closed without a pick"), 1) << "a mouse wheel closes silently";
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

TEST_F(HotKeys, PressedTwiceOpensAtThePointerThenClosesWithoutAPickAndNeverOpensAnEmptyWheel) {
  ASSERT_EQ(fake.registrations.size(), 1u);
  EXPECT_EQ(fake.registrations[0].keyCode, kKeyCodeW);
  EXPECT_EQ(fake.registrations[0].modifiers, 0x900u);
  EXPECT_EQ(fake.registrations[0].id, (HotKeyId{0x4E494D42, 1}));
  // A press that cannot be read, or on an empty configuration, opens nothing.
  EXPECT_EQ(hotKeyHandler(HotKeyEvent{}), 0);
  EXPECT_EQ(hotKeyHandler(HotKeyEvent{HotKeyId{kHotSig, 77}}), 0);
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  fake.movePointerTo({640, 360});
  ASSERT_TRUE(fake.pressHotKey(1));
  EXPECT_EQ(fake.lastHandlerStatus, 0);
  EXPECT_FALSE(wheel().shown) << "the work is deferred to the main loop";
  fake.runDeferred();
  EXPECT_TRUE(wheel().hotMode);
  EXPECT_FALSE(fake.window->ignoresMouse);
  EXPECT_TRUE(escapeRegistered());
  EXPECT_TRUE(logged("wheel opened by hotkey at 640,360"));
  move({640, 200});  // tool zone, straight up: "paste" is selected
  hotKey();
  EXPECT_FALSE(wheel().shown);
  EXPECT_TRUE(fake.window->ignoresMouse);
  EXPECT_FALSE(escapeRegistered());
  EXPECT_EQ(file("cmd.txt"), "~open");
  process().wheel->cfg = std::make_shared<const Config>();
  hotKey();
  EXPECT_FALSE(wheel().shown);
  EXPECT_TRUE(logged("hotkey: empty config, ignored"));
}

TEST_F(HotKeys, EscapeClosesEveryHotKeyOpeningAndIsFreeInBetween) {
  fake.movePointerTo(kPress);
  for (int opening = 1; opening <= 2; ++opening) {
    SCOPED_TRACE(opening);
    EXPECT_FALSE(hotKey(2)) << "not registered while the wheel is closed";
    hotKey();
    move({500, 240});  // "paste" is selected, but Escape never picks
    ASSERT_TRUE(hotKey(2));
    EXPECT_FALSE(wheel().shown);
    EXPECT_FALSE(escapeRegistered());
    EXPECT_EQ(file("cmd.txt"), "~open");
  }
}

TEST_F(HelperTest, ARefusedHotKeyIsLoggedWithItsStatusAndTheMouseTriggerStillWorks) {
  fake.registerStatus = 10;
  start(kFourSegments);
  EXPECT_TRUE(logged("hotkey Cmd+Alt+W REFUSED, status 10"));
  fake.inject(TapEventType::kRightMouseDown, {400, 400});
  fake.advance(0.3);
  EXPECT_TRUE(wheel().shown);
}

}  // namespace
}  // namespace nimbra::testing
