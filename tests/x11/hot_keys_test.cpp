// Global hot keys as key grabs, pressed for real through XTest.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"
#include "support/child_process.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

class HotKeysTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    probe->focus(probe->createWindow(50, 50, 300, 300, 0x406080));
    startPlatform();
    platform->installHotKeyHandler([this](const HotKeyEvent&) { return ++fired, 0; });
    ASSERT_EQ(platform->registerHotKey(kKeyCodeW, kModCommand | kModOption, HotKeyId{1, 1}).status,
              0);
  }
  // Super+Alt and a key given by its code, pressed and released together.
  void chord(unsigned key) {
    const unsigned super = probe->code(XK_Super_L), alt = probe->code(XK_Alt_L);
    probe->batch([&](Display* d) {
      for (unsigned k : {super, alt, key}) XTestFakeKeyEvent(d, k, True, 0);
      for (unsigned k : {key, alt, super}) XTestFakeKeyEvent(d, k, False, 0);
    });
  }

  int fired = 0;
};

// The hot key's press and release are both the helper's, whichever key comes up first; the
// application sees every other key it saw go down come up, and what is typed meanwhile.
TEST_F(HotKeysTest, TheFocusedWindowSeesNoHalfOfTheHotKeyWhateverComesUpFirst) {
  for (auto order : {std::array{XK_w, XK_Alt_L, XK_Super_L},
                     {XK_Alt_L, XK_w, XK_Super_L},
                     {XK_Super_L, XK_Alt_L, XK_w}}) {
    probe->clearEvents();
    for (KeySym s : {XK_Super_L, XK_Alt_L, XK_w}) probe->keyDown(s);
    ASSERT_TRUE(waitFor([&] { return fired == 1; }));
    probe->chord({XK_a});  // typed while the hot key is down
    ASSERT_TRUE(waitFor([&] { return probe->keys(KeyRelease, XK_a) == 1; }));
    for (KeySym s : order) {
      probe->keyUp(s);
      // Handed back before the next key moves, as a person's fingers leave time for.
      if (s == XK_w) continue;
      ASSERT_TRUE(waitFor([&] { return probe->keys(KeyRelease, s) == 1; }));
    }
    settle();
    EXPECT_EQ(std::exchange(fired, 0), 1);
    EXPECT_EQ(probe->keys(KeyPress, XK_w) + probe->keys(KeyRelease, XK_w), 0);
    for (KeySym s : {XK_Alt_L, XK_Super_L, XK_a}) EXPECT_EQ(probe->keys(KeyPress, s), 1) << s;
  }
  probe->chord({XK_w});  // the keyboard is the application's again
  ASSERT_TRUE(waitFor([&] { return probe->keys(KeyRelease, XK_w) == 1; }));
}

// Counts the presses of W that reach the backend's connection, repeats included.
struct KeyPressCounter : X11EventHandler {
  void handleEvent(XEvent& e) override { presses += e.type == KeyPress && e.xkey.keycode == key; }
  unsigned key;
  int presses = 0;
};

TEST_F(HotKeysTest, HoldingTheChordDownFiresOnceNotOnEveryAutoRepeat) {
  KeyPressCounter counter;
  counter.key = probe->code(XK_w);
  platform->connection().addHandler(&counter);
  XkbSetAutoRepeatRate(probe->display(), XkbUseCoreKbd, 30, 15);  // several repeats soon
  for (KeySym s : {XK_Super_L, XK_Alt_L, XK_w}) probe->keyDown(s);
  ASSERT_TRUE(waitFor([&] { return counter.presses >= 5; }));
  for (KeySym s : {XK_w, XK_Alt_L, XK_Super_L}) probe->keyUp(s);
  settle();
  EXPECT_EQ(fired, 1);
  platform->connection().removeHandler(&counter);
  chord(probe->code(XK_w));  // once up, the next press fires again
  ASSERT_TRUE(waitFor([&] { return fired == 2; }));
}

TEST_F(HotKeysTest, FiresWhateverLocksAreOnButNotForOtherKeysOrModifiers) {
  for (KeySym lock : {XK_Caps_Lock, XK_Num_Lock, XK_Caps_Lock}) {  // Caps, both, Num
    probe->chord({lock});
    const int before = fired;
    chord(probe->code(XK_w));
    ASSERT_TRUE(waitFor([&] { return fired == before + 1; })) << lock;
  }
  probe->chord({XK_Num_Lock});
  chord(probe->code(XK_q));
  probe->chord({XK_Alt_L, XK_w});
  probe->chord({XK_Shift_L, XK_Super_L, XK_Alt_L, XK_w});
  settle();
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(probe->keys(KeyPress, XK_q), 1);
}

// W is grabbed where the layout types it, in any group, or where it sits on a US keyboard when
// no group has it; the grabs follow each layout change. In Xvfb's evdev key map 25 is W on a US
// keyboard, 52 on a French one.
TEST_F(HotKeysTest, FollowsTheKeyboardLayout) {
  // Each layout, its group, the key that types W (or sits where W does), one that types no W.
  const std::tuple<const char*, int, unsigned, unsigned> layouts[] = {
      {"ru", 0, 25, 52}, {"fr", 0, 52, 25}, {"us,ru", 1, 25, 52}, {"ru,fr", 1, 52, 25}};
  Display* d = probe->display();
  auto grabbedByTheBackend = [&](unsigned key) {
    X11ErrorTrap trap(d);
    XGrabKey(d, key, Mod4Mask | Mod1Mask, probe->root(), False, GrabModeAsync, GrabModeAsync);
    const bool taken = trap.finish() == BadAccess;
    XUngrabKey(d, key, Mod4Mask | Mod1Mask, probe->root());
    return taken;
  };
  for (auto [name, group, key, otherKey] : layouts) {
    ChildProcess setxkbmap({"/usr/bin/setxkbmap", "-display", server->display(), name});
    ASSERT_EQ(setxkbmap.waitExit(std::chrono::seconds(10)), 0) << name;
    ASSERT_TRUE(waitFor([&] { return grabbedByTheBackend(key); })) << name;
    XkbLockGroup(d, XkbUseCoreKbd, group);
    probe->sync();
    const int before = fired;
    chord(key);
    ASSERT_TRUE(waitFor([&] { return fired == before + 1; })) << name;
    chord(otherKey);
    settle();
    EXPECT_EQ(fired, before + 1) << name;
  }
}

}  // namespace
}  // namespace nimbra::testing
