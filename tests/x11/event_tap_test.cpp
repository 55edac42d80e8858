// The right-button tap and the pass-through click, with real input from XTest on Xvfb.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"
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
  // Does what the mouse trigger does with a short click: swallows the press and, after the
  // release, posts a click at the press point from the main loop.
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

// Short clicks handed back reach the window once each, at their press points, and the tap has
// the next press again, however soon it follows. Disabled or gone, the tap lets the button go.
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

// Pressed again before the handed-back click could go out, the button belongs to the new
// press: the click is dropped, never sent after it (at the old point, moving the pointer).
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

// By convention the window manager's (Alt or Super with the right button, to resize) and the
// applications' (Ctrl, Shift): such presses reach them at once, untouched.
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
    // Also back to where the last opening left the pointer: a move all the same.
    probe->moveTo(310, 320);
    ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kMouseMoved) > before; }));
    EXPECT_EQ(rec.events.back().location, (Point{310, 320}));
    EXPECT_GE(probe->count(MotionNotify, target), 1) << "the applications see moves too";
    window->orderOut();
    settle();
  }
}

}  // namespace
}  // namespace nimbra::testing
