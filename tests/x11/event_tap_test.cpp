// The right-button tap and the pass-through click, with real input from XTest on Xvfb.
// gtest goes before the X11 headers, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "platform/x11/x11_error_trap.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

constexpr std::uint32_t kGrey = 0x808080;

// Does what the mouse trigger does with a short click: swallows the press and, after the
// release, posts a click at the press point from the main loop.
class ClickBack {
 public:
  explicit ClickBack(Platform& platform) : platform_(platform) {}

  TapCallbackFn callback() {
    return [this](const TapEvent& e) {
      seen.events.push_back(e);
      if (e.type == TapEventType::kRightMouseDown) down_ = e.location;
      if (e.type == TapEventType::kRightMouseUp && down_ && handBack) {
        const Point at = *down_;
        down_.reset();
        Platform& platform = platform_;
        platform_.deferToMain([&platform, at] {
          std::unique_ptr<EventSource> source = platform.createEventSource();
          for (TapEventType type : {TapEventType::kRightMouseDown, TapEventType::kRightMouseUp}) {
            std::optional<MouseEvent> event = source->createMouseEvent(type, at);
            if (event) source->post(*event);
          }
        });
      }
      return e.type == TapEventType::kMouseMoved ? TapVerdict::kPass : TapVerdict::kSwallow;
    };
  }

  TapRecorder seen;
  bool handBack = true;

 private:
  Platform& platform_;
  std::optional<Point> down_;
};

class EventTapTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    target = probe->createWindow(100, 100, 500, 500, kGrey);
    startPlatform();
  }

  std::unique_ptr<EventTap> installTap(TapCallbackFn callback) {
    std::unique_ptr<EventTap> tap = platform->createEventTap(std::move(callback));
    if (tap) {
      tap->addToMainLoop();
      tap->enable(true);
    }
    return tap;
  }

  std::vector<ProbeEvent> buttonEvents() const {
    std::vector<ProbeEvent> out;
    for (const ProbeEvent& e : probe->events) {
      if (e.type == ButtonPress || e.type == ButtonRelease) out.push_back(e);
    }
    return out;
  }

  Window target = 0;
};

// The held button is the tap's alone; a short click handed back reaches the window once, at the
// press point, and never comes back to the tap, however soon the next click follows.
TEST_F(EventTapTest, AHeldRightButtonIsTheTapsAndAClickHandedBackReachesTheWindowOnce) {
  ClickBack trigger(*platform);
  auto tap = installTap(trigger.callback());
  ASSERT_TRUE(tap);
  probe->moveTo(200, 210);
  probe->press(Button3);
  probe->moveTo(230, 240);
  settle();
  EXPECT_EQ(buttons(), 0) << "the press reached the window before the release";
  probe->release(Button3);
  ASSERT_TRUE(waitFor([&] { return buttons() >= 2; }));
  settle();
  const std::vector<TapEvent>& seen = trigger.seen.events;
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].location, (Point{200, 210}));
  EXPECT_EQ(seen[1].type, TapEventType::kRightMouseDragged);
  EXPECT_EQ(seen[2].location, (Point{230, 240}));
  for (const ProbeEvent& e : buttonEvents()) {
    EXPECT_EQ((std::array<int, 4>{int(e.detail), int(e.window == target), e.xRoot, e.yRoot}),
              (std::array<int, 4>{3, 1, 200, 210}));
  }

  for (int round = 0; round < 3; ++round) {
    probe->clearEvents();
    const int x = 150 + round * 5;
    probe->batch([&](Display* d) {
      for (int y : {200, 300}) {
        XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
        XTestFakeButtonEvent(d, 3, True, CurrentTime);
        XTestFakeButtonEvent(d, 3, False, CurrentTime);
      }
    });
    ASSERT_TRUE(waitFor([&] { return buttons() >= 4; })) << "round " << round;
    settle();
    const std::vector<ProbeEvent> got = buttonEvents();
    ASSERT_EQ(got.size(), 4u) << "round " << round;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(got[i].type, i % 2 == 0 ? ButtonPress : ButtonRelease) << "round " << round;
      EXPECT_EQ(got[i].xRoot, x);
      EXPECT_EQ(got[i].yRoot, i < 2 ? 200 : 300) << "round " << round;
    }
  }
  EXPECT_EQ(trigger.seen.count(TapEventType::kRightMouseDown), 1 + 6);
}

// Pressed again before the handed-back click could go out, the button belongs to the new
// press: the click is dropped, never sent after it (at the old point, moving the pointer).
TEST_F(EventTapTest, AClickOvertakenByTheNextPressIsDroppedNotSentLate) {
  ClickBack trigger(*platform);
  auto tap = installTap(trigger.callback());
  ASSERT_TRUE(tap);
  for (int round = 0; round < 5; ++round) {
    probe->clearEvents();
    const int x = 150 + round * 5;
    probe->batch([&](Display* d) {
      XTestFakeMotionEvent(d, -1, x, 200, CurrentTime);
      XTestFakeButtonEvent(d, 3, True, CurrentTime);
      XTestFakeButtonEvent(d, 3, False, CurrentTime);
      XTestFakeMotionEvent(d, -1, x, 320, CurrentTime);
      XTestFakeButtonEvent(d, 3, True, CurrentTime);
    });
    ASSERT_TRUE(waitFor([&] { return trigger.seen.count(TapEventType::kRightMouseDown) == 2; }));
    settle();
    // The held press is the wheel's: its release hands nothing back.
    trigger.handBack = false;
    probe->release(Button3);
    settle();
    trigger.handBack = true;
    EXPECT_EQ(buttons(), 0) << "round " << round;
    EXPECT_EQ(platform->currentEventLocation(), (Point{double(x), 320}));
    trigger.seen.events.clear();
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
  // With CapsLock lit the press is still the wheel's.
  probe->chord({XK_Caps_Lock});
  probe->click(Button3, 220, 230);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseUp) == 1; }));
  probe->chord({XK_Caps_Lock});
}

TEST_F(EventTapTest, PlainMovesReachTheTapOnlyWhileTheOverlayShows) {
  TapRecorder rec;
  auto tap = installTap(rec.callback());
  ASSERT_TRUE(tap);
  probe->moveTo(300, 300);
  settle();
  EXPECT_EQ(rec.count(TapEventType::kMouseMoved), 0);

  StubView view;
  auto window = platform->createOverlayWindow(view);
  window->setFrame(Rect{{600, 200}, {200, 200}});
  window->orderFrontRegardless();
  settle();  // the backend's interest in raw motion has reached the server
  probe->moveTo(310, 320);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kMouseMoved) >= 1; }));
  EXPECT_EQ(rec.events.back().location, (Point{310, 320}));
  // Moves still reach the applications.
  EXPECT_GE(probe->count(MotionNotify, target), 1);

  window->orderOut();
  settle();
  const int before = rec.count(TapEventType::kMouseMoved);
  probe->moveTo(340, 350);
  settle();
  EXPECT_EQ(rec.count(TapEventType::kMouseMoved), before);

  // Shown again, a move back to where the last opening left the pointer is a move all the same.
  window->orderFrontRegardless();
  settle();
  probe->moveTo(310, 320);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kMouseMoved) > before; }));
  EXPECT_EQ(rec.events.back().location, (Point{310, 320}));
}

TEST_F(EventTapTest, TakesTheRightButtonOnlyWhileEnabledAliveAndNotHeldByAnotherClient) {
  XGrabButton(probe->display(), Button3, AnyModifier, probe->root(), False, ButtonPressMask,
              GrabModeAsync, GrabModeAsync, None, None);
  probe->sync();
  TapRecorder rec;
  EXPECT_FALSE(platform->createEventTap(rec.callback()));
  XUngrabButton(probe->display(), Button3, AnyModifier, probe->root());
  probe->sync();
  auto tap = installTap(rec.callback());
  ASSERT_TRUE(tap);

  tap->enable(false);
  settle();
  probe->click(Button3, 220, 230);
  ASSERT_TRUE(waitFor([&] { return buttons() == 2; }));
  EXPECT_TRUE(rec.events.empty());
  tap->enable(true);
  settle();
  probe->clearEvents();
  probe->click(Button3, 220, 230);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseUp) == 1; }));
  settle();
  EXPECT_EQ(buttons(), 0);
  tap.reset();
  settle();
  probe->click(Button3, 220, 230);
  ASSERT_TRUE(waitFor([&] { return buttons() == 2; }));
}

}  // namespace
}  // namespace nimbra::testing
