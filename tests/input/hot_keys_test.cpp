// The global hot keys: Cmd+Alt+W registered at start-up, Escape only while the wheel is open by
// hot key, and presses handled on the main loop after the handler has returned.
#include <gtest/gtest.h>

#include "input/hot_keys.h"
#include "support/helper_fixture.h"
#include "wheel/wheel.h"

namespace nimbra::testing {
namespace {

class HotKeys : public HelperTest {
 protected:
  void SetUp() override { start(kFourSegments); }
  bool escapeRegistered() const {
    for (const auto& r : fake.registrations)
      if (r.keyCode == kKeyCodeEscape && r.modifiers == 0 && r.id == HotKeyId{kHotSig, 2})
        return true;
    return false;
  }
};

TEST_F(HotKeys, PressedTwiceOpensAtThePointerThenClosesWithoutAPick) {
  ASSERT_EQ(fake.registrations.size(), 1u);
  EXPECT_EQ(fake.registrations[0].keyCode, kKeyCodeW);
  EXPECT_EQ(fake.registrations[0].modifiers, 0x900u);
  EXPECT_EQ(fake.registrations[0].id, (HotKeyId{0x4E494D42, 1}));
  EXPECT_TRUE(logged("hotkey Cmd+Alt+W registered"));

  fake.movePointerTo({640, 360});
  ASSERT_TRUE(fake.pressHotKey(1));
  EXPECT_EQ(fake.lastHandlerStatus, 0);
  EXPECT_FALSE(wheel().shown) << "the work is deferred to the main loop";
  fake.runDeferred();
  EXPECT_TRUE(wheel().hotMode);
  EXPECT_FALSE(fake.window->ignoresMouse);
  EXPECT_TRUE(escapeRegistered());
  EXPECT_TRUE(logged("wheel shown at 640,360"));
  EXPECT_TRUE(logged("wheel opened by hotkey at 640,360"));

  move({640, 200});  // tool zone, straight up: "paste" is selected
  fake.pressHotKey(1);
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  EXPECT_TRUE(fake.window->ignoresMouse);
  EXPECT_FALSE(escapeRegistered());
  EXPECT_TRUE(logged("wheel closed without a pick"));
  EXPECT_EQ(file("cmd.txt"), "~open");
}

TEST_F(HotKeys, EscapeClosesEveryHotKeyOpeningAndIsFreeInBetween) {
  fake.movePointerTo({500, 400});
  for (int opening = 1; opening <= 2; ++opening) {
    SCOPED_TRACE(opening);
    EXPECT_FALSE(fake.pressHotKey(2)) << "not registered while the wheel is closed";
    fake.pressHotKey(1);
    fake.runDeferred();
    move({500, 240});  // "paste" is selected, but Escape never picks
    ASSERT_TRUE(fake.pressHotKey(2));
    fake.runDeferred();
    EXPECT_FALSE(wheel().shown);
    EXPECT_FALSE(escapeRegistered());
    EXPECT_EQ(file("cmd.txt"), "~open");
  }
  EXPECT_EQ(fake.registerCalls - 1, fake.unregisterCalls);
}

TEST_F(HotKeys, AnUnreadablePressOrAnEmptyConfigurationOpensNothing) {
  EXPECT_EQ(hotKeyHandler(HotKeyEvent{}), 0);
  EXPECT_EQ(hotKeyHandler(HotKeyEvent{HotKeyId{kHotSig, 77}}), 0);
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  process().wheel->cfg = std::make_shared<const Config>();
  fake.pressHotKey(1);
  fake.runDeferred();
  EXPECT_FALSE(wheel().shown);
  EXPECT_TRUE(logged("hotkey: empty config, ignored"));
}

class RefusedHotKey : public HelperTest {};

TEST_F(RefusedHotKey, IsLoggedWithItsStatusAndTheMouseTriggerStillWorks) {
  fake.registerStatus = 10;
  start(kFourSegments);
  EXPECT_TRUE(logged("hotkey Cmd+Alt+W REFUSED, status 10"));
  fake.inject(TapEventType::kRightMouseDown, {400, 400});
  fake.advance(0.3);
  EXPECT_TRUE(wheel().shown);
}

}  // namespace
}  // namespace nimbra::testing
