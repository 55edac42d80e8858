// The right-button tap and the pass-through click, with real input from XTest on Xvfb.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

// Does what the mouse trigger does with a short click: swallows the press and, after the
// release, posts a click at the press point from the main loop.
struct ClickBack : TapRecorder {
  TapCallbackFn callback(Platform& platform) {
    return [this, &platform](const TapEvent& e) {
      events.push_back(e);
      if (e.type == TapEventType::kRightMouseDown) down = e.location;
      if (e.type == TapEventType::kRightMouseUp && handBack) {
        platform.deferToMain([&platform, at = down] {
          std::unique_ptr<EventSource> source = platform.createEventSource();
          for (TapEventType type : {TapEventType::kRightMouseDown, TapEventType::kRightMouseUp}) {
            source->post(*source->createMouseEvent(type, at));
          }
        });
      }
      return e.type == TapEventType::kMouseMoved ? TapVerdict::kPass : TapVerdict::kSwallow;
    };
  }
  Point down;
  bool handBack = true;
};

class EventTapTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    target = probe->createWindow(100, 100, 500, 500, 0x808080);
    startPlatform();
  }
  std::unique_ptr<EventTap> installTap(TapCallbackFn callback) {
    std::unique_ptr<EventTap> tap = platform->createEventTap(std::move(callback));
    if (tap) tap->addToMainLoop();
    return tap;
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
};

// The held button is the tap's alone; a short click handed back reaches the window once, at the
// press point, and never comes back to the tap, however soon the next click follows. Disabled or
// gone, the tap lets the button go.
TEST_F(EventTapTest, AHeldRightButtonIsTheTapsAndAClickHandedBackReachesTheWindowOnce) {
  ClickBack trigger;
  auto tap = installTap(trigger.callback(*platform));
  ASSERT_TRUE(tap);
  probe->moveTo(200, 210);
  probe->press(Button3);
  probe->moveTo(230, 240);
  settle();
  EXPECT_EQ(buttons(), 0) << "the press reached the window before the release";
  probe->release(Button3);
  for (int x : {0, 150, 155}) {  // first the held click, then two clicks back to back
    if (x) twoClicks(x, 200, 300);
    ASSERT_TRUE(waitFor([&] { return buttons() >= (x ? 4 : 2); })) << x;
    settle();
    std::vector<std::array<int, 4>> got;
    for (const ProbeEvent& e : buttonEvents()) {
      got.push_back({e.type, int(e.detail), e.xRoot, e.yRoot});
    }
    using Clicks = std::vector<std::array<int, 4>>;
    const Clicks expected = x ? Clicks{{ButtonPress, 3, x, 200},
                                       {ButtonRelease, 3, x, 200},
                                       {ButtonPress, 3, x, 300},
                                       {ButtonRelease, 3, x, 300}}
                              : Clicks{{ButtonPress, 3, 200, 210}, {ButtonRelease, 3, 200, 210}};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(buttons(target), int(got.size()));
    probe->clearEvents();
  }
  EXPECT_EQ(trigger.count(TapEventType::kRightMouseDown), 1 + 4);
  EXPECT_EQ(trigger.events[2].location, (Point{230, 240}));  // the held click's release

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
  ClickBack trigger;
  auto tap = installTap(trigger.callback(*platform));
  ASSERT_TRUE(tap);
  for (int x : {150, 160, 170}) {
    probe->clearEvents();
    trigger.events.clear();
    twoClicks(x, 200, 320, false);
    ASSERT_TRUE(waitFor([&] { return trigger.count(TapEventType::kRightMouseDown) == 2; }));
    settle();
    trigger.handBack = false;  // the held press is the wheel's: its release hands nothing back
    probe->release(Button3);
    settle();
    trigger.handBack = true;
    EXPECT_EQ(buttons(), 0) << x;
    EXPECT_EQ(platform->currentEventLocation(), (Point{double(x), 320}));
  }
}

// By convention the window manager's (Alt or Super with the right button, to resize) and the
// applications' (Ctrl, Shift): such presses reach them at once, untouched.
TEST_F(EventTapTest, RightPressesWithAModifierHeldAreLeftToTheWindowManagerAndApplications) {
  TapRecorder rec;
  auto tap = installTap(rec.callback());
  ASSERT_TRUE(tap);
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
    EXPECT_EQ(buttonEvents()[0].window, modifier == XK_Alt_L ? probe->root() : target);
  }
  settle();
  EXPECT_TRUE(rec.events.empty());
  probe->chord({XK_Caps_Lock});  // with CapsLock lit the press is still the wheel's
  probe->click(Button3, 220, 230);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseUp) == 1; }));
  probe->chord({XK_Caps_Lock});
}

TEST_F(EventTapTest, PlainMovesReachTheTapOnlyWhileTheOverlayShows) {
  TapRecorder rec;
  auto tap = installTap(rec.callback());
  ASSERT_TRUE(tap);
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
