// Global hot keys as key grabs, pressed for real through XTest.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

constexpr std::uint32_t kSig = 0x4E494D42;

class HotKeysTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    app = probe->createWindow(50, 50, 300, 300, 0x406080);
    probe->focus(app);
    startPlatform();
    platform->installHotKeyHandler([this](const HotKeyEvent& e) {
      pressed.push_back(e.id ? static_cast<int>(e.id->id) : -1);
      return 0;
    });
  }

  HotKeyRegistration registerSummon() {
    return platform->registerHotKey(kKeyCodeW, kModCommand | kModOption, HotKeyId{kSig, 1});
  }
  HotKeyRegistration registerEscape() {
    return platform->registerHotKey(kKeyCodeEscape, 0, HotKeyId{kSig, 2});
  }

  unsigned keycode(KeySym sym) { return XKeysymToKeycode(probe->display(), sym); }
  int keyEvents(int type, KeySym sym) {
    int n = 0;
    for (const ProbeEvent& e : probe->events) n += e.type == type && e.detail == keycode(sym);
    return n;
  }

  Window app = 0;
  std::vector<int> pressed;
};

TEST_F(HotKeysTest, SuperAltWReachesTheHandlerWithItsIdAndNotTheFocusedWindow) {
  const HotKeyRegistration reg = registerSummon();
  ASSERT_EQ(reg.status, 0);
  ASSERT_TRUE(reg.ref);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return pressed.size() == 1; }));
  settle();
  EXPECT_EQ(pressed, std::vector<int>{1});
  EXPECT_EQ(keyEvents(KeyPress, XK_w), 0);
  // The keyboard is handed back at once: the application sees its modifiers come up.
  EXPECT_EQ(keyEvents(KeyRelease, XK_Alt_L), 1);
  EXPECT_EQ(keyEvents(KeyRelease, XK_Super_L), 1);
}

TEST_F(HotKeysTest, FiresWithCapsLockOrNumLockOn) {
  ASSERT_EQ(registerSummon().status, 0);
  probe->chord({XK_Caps_Lock});  // lock on
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return pressed.size() == 1; }));
  probe->chord({XK_Num_Lock});  // both on
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return pressed.size() == 2; }));
  probe->chord({XK_Caps_Lock});  // NumLock alone
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return pressed.size() == 3; }));
}

TEST_F(HotKeysTest, OtherKeysAndOtherModifiersDoNotFire) {
  ASSERT_EQ(registerSummon().status, 0);
  probe->chord({XK_Super_L, XK_Alt_L, XK_q});
  probe->chord({XK_Alt_L, XK_w});
  probe->chord({XK_Shift_L, XK_Super_L, XK_Alt_L, XK_w});
  settle();
  EXPECT_TRUE(pressed.empty());
  EXPECT_EQ(keyEvents(KeyPress, XK_q), 1);
}

TEST_F(HotKeysTest, EscapeIsTakenOnlyWhileRegistered) {
  const HotKeyRegistration reg = registerEscape();
  ASSERT_EQ(reg.status, 0);
  probe->chord({XK_Escape});
  ASSERT_TRUE(waitFor([&] { return pressed.size() == 1; }));
  settle();
  EXPECT_EQ(pressed, std::vector<int>{2});
  EXPECT_EQ(keyEvents(KeyPress, XK_Escape), 0);

  platform->unregisterHotKey(*reg.ref);
  settle();
  probe->chord({XK_Escape});
  ASSERT_TRUE(waitFor([&] { return keyEvents(KeyPress, XK_Escape) == 1; }));
  EXPECT_EQ(pressed.size(), 1u);
}

TEST_F(HotKeysTest, CombinationHeldByAnotherClientIsRefusedWithBadAccess) {
  Display* d = probe->display();
  XGrabKey(d, keycode(XK_w), Mod4Mask | Mod1Mask | LockMask, probe->root(), False, GrabModeAsync,
           GrabModeAsync);
  probe->sync();
  const HotKeyRegistration reg = registerSummon();
  EXPECT_EQ(reg.status, 10);
  EXPECT_FALSE(reg.ref);
  settle();  // the grabs let go of have reached the server

  // Nothing of the refused registration stays behind: the plain chord reaches the window.
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return keyEvents(KeyPress, XK_w) == 1; }));
  EXPECT_TRUE(pressed.empty());
  // Other registrations still work.
  EXPECT_EQ(registerEscape().status, 0);
}

// Counts the presses of one key that reach the backend's connection, repeats included.
struct KeyPressCounter : X11EventHandler {
  explicit KeyPressCounter(unsigned key) : key(key) {}
  void handleEvent(XEvent& e) override { presses += e.type == KeyPress && e.xkey.keycode == key; }
  unsigned key;
  int presses = 0;
};

TEST_F(HotKeysTest, HoldingTheChordDownFiresOnceNotOnEveryAutoRepeat) {
  ASSERT_EQ(registerSummon().status, 0);
  KeyPressCounter counter(keycode(XK_w));
  platform->connection().addHandler(&counter);
  Display* d = probe->display();
  // A quick repeat, so the held key repeats several times within the test.
  XkbSetAutoRepeatRate(d, XkbUseCoreKbd, 30, 15);
  for (KeySym s : {XK_Super_L, XK_Alt_L, XK_w}) XTestFakeKeyEvent(d, keycode(s), True, CurrentTime);
  probe->sync();
  ASSERT_TRUE(waitFor([&] { return counter.presses >= 5; }));
  for (KeySym s : {XK_w, XK_Alt_L, XK_Super_L}) {
    XTestFakeKeyEvent(d, keycode(s), False, CurrentTime);
  }
  probe->sync();
  settle();
  EXPECT_EQ(pressed, std::vector<int>{1});

  // Once the key has come up, the next press fires again.
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return pressed.size() == 2; }));
  platform->connection().removeHandler(&counter);
}

TEST_F(HotKeysTest, UnknownKeyCodeIsRefused) {
  const HotKeyRegistration reg = platform->registerHotKey(99, 0, HotKeyId{kSig, 3});
  EXPECT_NE(reg.status, 0);
  EXPECT_FALSE(reg.ref);
}

}  // namespace
}  // namespace nimbra::testing
