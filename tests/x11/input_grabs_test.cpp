// The right-button tap, the click handed back and the hot keys, with real input from XTest.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include "support/child_process.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

class EventTapTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    target = probe->createWindow(100, 100, 500, 500, 0x808080);
    startPlatform();
  }
  void TearDown() override {
    tap.reset();
    X11Test::TearDown();
  }
  // As the mouse trigger with a short click: swallows it, then posts it at the press point.
  void installTap(bool clickBack = true) {
    tap = platform->createEventTap([this, clickBack](const TapEvent& e) {
      rec.events.push_back(e);
      if (e.type == TapEventType::kRightMouseDown) down = e.location;
      if (e.type == TapEventType::kRightMouseUp && clickBack && handBack) {
        platform->deferToMain([this, at = down] {
          std::unique_ptr<EventSource> source = platform->createEventSource();
          for (TapEventType type : {TapEventType::kRightMouseDown, TapEventType::kRightMouseUp}) {
            source->post(*source->createMouseEvent(type, at));
          }
        });
      }
      return e.type == TapEventType::kMouseMoved ? TapVerdict::kPass : TapVerdict::kSwallow;
    });
    ASSERT_TRUE(tap);
    tap->addToMainLoop();
  }
  // A click at (x, y1) and another at (x, y2), back to back, or a press alone for the second.
  void twoClicks(int x, int y1, int y2, bool secondReleased = true) {
    probe->batch([&](Display* d) {
      for (int y : {y1, y2}) {
        XTestFakeMotionEvent(d, -1, x, y, 0);
        XTestFakeButtonEvent(d, 3, True, 0);
        if (y == y1 || secondReleased) XTestFakeButtonEvent(d, 3, False, 0);
      }
    });
  }

  Window target = 0;
  TapRecorder rec;
  std::unique_ptr<EventTap> tap;
  Point down;
  bool handBack = true;
};

// Short clicks handed back reach the window once, and the tap has the next press however soon;
// disabled or gone, the tap lets the button go.
TEST_F(EventTapTest, AClickHandedBackReachesTheWindowOnceAndTheNextPressIsTheTapsAgain) {
  installTap();
  std::vector<std::array<int, 4>> expected;
  for (int x : {150, 155}) {  // two clicks back to back, twice
    twoClicks(x, 200, 300);
    for (int y : {200, 300}) {
      expected.insert(expected.end(), {{ButtonPress, 3, x, y}, {ButtonRelease, 3, x, y}});
    }
    ASSERT_TRUE(waitFor([&] { return buttons() >= int(expected.size()); })) << x;
    settle();
  }
  EXPECT_EQ(clicks(), expected);
  EXPECT_EQ(buttons(target), 8);
  EXPECT_EQ(rec.count(TapEventType::kRightMouseDown), 4);
  for (bool destroy : {false, true}) {
    destroy ? tap.reset() : tap->enable(false);
    settle();
    probe->clearEvents();
    probe->click(Button3, 220, 230);
    ASSERT_TRUE(waitFor([&] { return buttons() == 2; })) << destroy;
  }
}

// A click still to be handed back when the next press comes is dropped, not sent after it.
TEST_F(EventTapTest, AClickOvertakenByTheNextPressIsDroppedNotSentLate) {
  installTap();
  for (int x : {150, 160, 170}) {
    probe->clearEvents();
    rec.events.clear();
    twoClicks(x, 200, 320, false);
    ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseDown) == 2; }));
    settle();
    handBack = false;  // the held press is the wheel's: its release hands nothing back
    probe->release(Button3);
    settle();
    handBack = true;
    EXPECT_EQ(buttons(), 0) << x;
    EXPECT_EQ(platform->currentEventLocation(), (Point{double(x), 320}));
  }
}

TEST_F(EventTapTest, RightPressesWithAModifierHeldAreLeftToTheWindowManagerAndApplications) {
  installTap(false);
  Display* d = probe->display();
  X11ErrorTrap trap(d);
  XGrabButton(d, Button3, Mod1Mask, probe->root(), False, ButtonPressMask | ButtonReleaseMask,
              GrabModeAsync, GrabModeAsync, None, None);
  ASSERT_EQ(trap.finish(), 0) << "the window manager's Alt+right grab is refused";
  for (KeySym modifier : {XK_Alt_L, XK_Super_L, XK_Control_L, XK_Shift_L}) {
    probe->clearEvents();
    probe->keyDown(modifier);
    probe->moveTo(220, 230);
    probe->press(Button3);
    ASSERT_TRUE(waitFor([&] { return buttons() == 1; })) << "the press waits";
    probe->release(Button3);
    probe->keyUp(modifier);
    ASSERT_TRUE(waitFor([&] { return buttons() == 2; }));
    EXPECT_EQ(buttons(modifier == XK_Alt_L ? probe->root() : target), 2);
  }
  settle();
  EXPECT_TRUE(rec.events.empty());
  probe->chord({XK_Caps_Lock});  // with CapsLock lit the press is still the wheel's
  probe->click(Button3, 220, 230);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseUp) == 1; }));
  probe->chord({XK_Caps_Lock});
}

TEST_F(EventTapTest, PlainMovesReachTheTapOnlyWhileTheOverlayShows) {
  installTap(false);
  StubView view;
  auto window = platform->createOverlayWindow(view);
  window->setFrame(Rect{{600, 200}, {200, 200}});
  for (int opening = 0; opening < 2; ++opening) {
    const int before = rec.count(TapEventType::kMouseMoved);
    probe->moveTo(340 + opening, 350);
    settle();
    EXPECT_EQ(rec.count(TapEventType::kMouseMoved), before);
    window->orderFrontRegardless();
    settle();  // the backend's interest in raw motion has reached the server
    probe->moveTo(310, 320);
    ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kMouseMoved) > before; }));
    EXPECT_EQ(rec.events.back().location, (Point{310, 320}));
    EXPECT_GE(probe->count(MotionNotify, target), 1) << "the applications see moves too";
    window->orderOut();
    settle();
  }
}

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

// The application sees every key but the hot key's go down and up, whatever order they go up.
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

// W is grabbed where a layout group types it, else where it sits on a US keyboard (evdev: 25 on
// US, 52 on French), again after each layout change.
TEST_F(HotKeysTest, FollowsTheKeyboardLayout) {
  // Each layout, its group, the key that types W (or sits where W does), one that types no W.
  const std::tuple<const char*, int, unsigned, unsigned> layouts[] = {
      {"ru", 0, 25, 52}, {"fr", 0, 52, 25}, {"us,ru", 1, 25, 52}, {"ru,fr", 1, 52, 25}};
  Display* d = probe->display();
  for (auto [name, group, key, otherKey] : layouts) {
    ChildProcess setxkbmap({"/usr/bin/setxkbmap", "-display", server->display(), name});
    ASSERT_EQ(setxkbmap.waitExit(std::chrono::seconds(10)), 0) << name;
    ASSERT_TRUE(waitFor([&] { return grabbedElsewhere(key, Mod4Mask | Mod1Mask); })) << name;
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
