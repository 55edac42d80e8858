// Global hot keys as key grabs, pressed for real through XTest.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"
#include "support/child_process.h"
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

// The hot key's press and release are both the helper's, whichever key comes up first; the
// application sees every other key it saw go down come up, and what is typed meanwhile.
TEST_F(HotKeysTest, TheFocusedWindowSeesNoHalfOfTheHotKeyWhateverComesUpFirst) {
  const HotKeyRegistration reg = registerSummon();
  ASSERT_EQ(reg.status, 0);
  ASSERT_TRUE(reg.ref);
  const std::vector<std::vector<KeySym>> releaseOrders = {
      {XK_w, XK_Alt_L, XK_Super_L}, {XK_Alt_L, XK_w, XK_Super_L}, {XK_Super_L, XK_Alt_L, XK_w}};
  for (const std::vector<KeySym>& order : releaseOrders) {
    probe->clearEvents();
    for (KeySym s : {XK_Super_L, XK_Alt_L, XK_w}) probe->keyDown(s);
    ASSERT_TRUE(waitFor([&] { return pressed.size() == 1; }));
    probe->chord({XK_a});  // typed while the hot key is down
    ASSERT_TRUE(waitFor([&] { return keyEvents(KeyRelease, XK_a) == 1; }));
    for (KeySym s : order) {
      probe->keyUp(s);
      // Handed back before the next key moves, as a person's fingers leave time for.
      if (s != XK_w) {
        ASSERT_TRUE(waitFor([&] { return keyEvents(KeyRelease, s) == 1; }));
      }
    }
    settle();
    EXPECT_EQ(pressed, std::vector<int>{1});
    pressed.clear();
    EXPECT_EQ(keyEvents(KeyPress, XK_w) + keyEvents(KeyRelease, XK_w), 0);
    for (KeySym s : {XK_Alt_L, XK_Super_L, XK_a}) {
      EXPECT_EQ(keyEvents(KeyPress, s), 1);
      EXPECT_EQ(keyEvents(KeyRelease, s), 1);
    }
    EXPECT_EQ(probe->focused(), app);
  }
  // The keyboard is the application's again.
  probe->chord({XK_w});
  ASSERT_TRUE(waitFor([&] { return keyEvents(KeyRelease, XK_w) == 1; }));
}

TEST_F(HotKeysTest, FiresWhateverLocksAreOnButNotForOtherKeysOrModifiers) {
  ASSERT_EQ(registerSummon().status, 0);
  // CapsLock, then both, then NumLock alone.
  for (KeySym lock : {XK_Caps_Lock, XK_Num_Lock, XK_Caps_Lock}) {
    probe->chord({lock});
    const std::size_t before = pressed.size();
    probe->chord({XK_Super_L, XK_Alt_L, XK_w});
    ASSERT_TRUE(waitFor([&] { return pressed.size() == before + 1; })) << lock;
  }
  probe->chord({XK_Num_Lock});
  probe->chord({XK_Super_L, XK_Alt_L, XK_q});
  probe->chord({XK_Alt_L, XK_w});
  probe->chord({XK_Shift_L, XK_Super_L, XK_Alt_L, XK_w});
  settle();
  EXPECT_EQ(pressed.size(), 3u);
  EXPECT_EQ(keyEvents(KeyPress, XK_q), 1);
}

TEST_F(HotKeysTest, ACombinationHeldByAnotherClientIsRefusedWithBadAccessAndLeavesNoGrab) {
  EXPECT_NE(platform->registerHotKey(99, 0, HotKeyId{kSig, 3}).status, 0);  // unknown key code
  XGrabKey(probe->display(), keycode(XK_w), Mod4Mask | Mod1Mask | LockMask, probe->root(), False,
           GrabModeAsync, GrabModeAsync);
  probe->sync();
  const HotKeyRegistration reg = registerSummon();
  EXPECT_EQ(reg.status, 10);
  EXPECT_FALSE(reg.ref);
  settle();
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitFor([&] { return keyEvents(KeyPress, XK_w) == 1; }));
  EXPECT_TRUE(pressed.empty());
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

// W is grabbed where the layout types it, in any group, or where it sits on a US keyboard when
// no group has it; the grabs follow each layout change. Key codes are those of Xvfb's evdev
// map: 25 is W on a US keyboard, 52 is W on a French one.
TEST_F(HotKeysTest, FollowsTheKeyboardLayout) {
  struct Layout {
    const char* name;
    int group;
    unsigned key;       // types W, or sits where W does on a US keyboard
    unsigned otherKey;  // types no W now
  };
  const Layout layouts[] = {
      {"ru", 0, 25, 52}, {"fr", 0, 52, 25}, {"us,ru", 1, 25, 52}, {"us", 0, 25, 52}};
  Display* d = probe->display();
  const unsigned super = keycode(XK_Super_L);
  const unsigned alt = keycode(XK_Alt_L);
  auto chord = [&](unsigned key) {
    probe->batch([&](Display* d) {
      for (unsigned k : {super, alt, key}) XTestFakeKeyEvent(d, k, True, CurrentTime);
      for (unsigned k : {key, alt, super}) XTestFakeKeyEvent(d, k, False, CurrentTime);
    });
  };
  auto grabbedByTheBackend = [&](unsigned key) {
    X11ErrorTrap trap(d);
    XGrabKey(d, key, Mod4Mask | Mod1Mask, probe->root(), False, GrabModeAsync, GrabModeAsync);
    const bool taken = trap.finish() == BadAccess;
    XUngrabKey(d, key, Mod4Mask | Mod1Mask, probe->root());
    return taken;
  };
  std::optional<HotKeyRef> ref;
  for (const Layout& layout : layouts) {
    ChildProcess setxkbmap({"/usr/bin/setxkbmap", "-display", server->display(), layout.name});
    ASSERT_EQ(setxkbmap.waitExit(std::chrono::seconds(10)), 0) << layout.name;
    if (!ref) {
      const HotKeyRegistration reg = registerSummon();  // registered under the first layout
      ASSERT_EQ(reg.status, 0) << layout.name;
      ref = reg.ref;
    }
    ASSERT_TRUE(waitFor([&] { return grabbedByTheBackend(layout.key); })) << layout.name;
    XkbLockGroup(d, XkbUseCoreKbd, layout.group);
    probe->sync();
    const std::size_t before = pressed.size();
    chord(layout.key);
    ASSERT_TRUE(waitFor([&] { return pressed.size() == before + 1; })) << layout.name;
    chord(layout.otherKey);
    settle();
    EXPECT_EQ(pressed.size(), before + 1) << layout.name;
  }
  XkbLockGroup(d, XkbUseCoreKbd, 0);
}

}  // namespace
}  // namespace nimbra::testing
