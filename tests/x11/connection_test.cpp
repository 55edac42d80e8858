// The backend as a whole: coordinates, the desktop scale, and life after the server is gone.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include "platform/x11/x11_window.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

using ConnectionTest = X11Test;

void setDpi(XProbe& probe, const std::string& dpi) {
  const std::string resources = "Xft.dpi:\t" + dpi + "\n";
  XChangeProperty(probe.display(), probe.root(), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(resources.data()),
                  static_cast<int>(resources.size()));
  probe.sync();
}

// A new Xft.dpi applies from the next opening, never in the middle of one; and at a fractional
// scale the view measures from where it was asked to be, not from the rounded pixel origin.
TEST_F(ConnectionTest, FollowsXftDpiFromOneOpeningToTheNextAndMeasuresFromTheAskedPlace) {
  const Window app = probe->createWindow(0, 0, 1280, 800, 0x808080);
  startPlatform();
  probe->moveTo(300, 200);
  EXPECT_DOUBLE_EQ(platform->firstScreenHeight(), 800);
  EXPECT_EQ(platform->pointerLocation(), (Point{300, 600}));  // bottom-left points
  EXPECT_EQ(platform->currentEventLocation(), (Point{300, 200}));

  StubView view;
  auto window = platform->createOverlayWindow(view);
  setDpi(*probe, "120");
  settle();
  EXPECT_DOUBLE_EQ(window->backingScale(), 1.25);
  EXPECT_DOUBLE_EQ(platform->firstScreenHeight(), 640);
  // Top left at (100.3, 50.3) points: pixel (125.375, 62.875), rounded to (125, 63).
  window->setFrame(Rect{{100.3, 640 - 50.3 - 100}, {100, 100}});
  window->setIgnoresMouseEvents(false);
  window->orderFrontRegardless();
  settle();
  Window root = 0;
  int x = 0, y = 0;
  unsigned w = 0, h = 0, border = 0, depth = 0;
  XGetGeometry(probe->display(), static_cast<X11Window&>(*window).xid(), &root, &x, &y, &w, &h,
               &border, &depth);
  EXPECT_EQ((std::array<int, 4>{x, y, int(w), int(h)}), (std::array<int, 4>{125, 63, 125, 125}));
  EXPECT_DOUBLE_EQ(view.lastScale, 1.25);
  probe->click(Button1, 200, 150);
  ASSERT_TRUE(waitFor([&] { return view.count("down") == 1; }));
  EXPECT_NEAR(view.calls.back().at.x, 59.7, 1e-9);
  EXPECT_NEAR(view.calls.back().at.y, 69.7, 1e-9);

  setDpi(*probe, "192");
  settle();
  EXPECT_DOUBLE_EQ(window->backingScale(), 1.25) << "changed while shown";
  window->orderOut();
  EXPECT_DOUBLE_EQ(window->backingScale(), 2.0);
  EXPECT_EQ(platform->pointerLocation(), (Point{100, 325}));

  // The tap and a handed-back click are in points too.
  TapRecorder rec;
  auto tap = platform->createEventTap(rec.callback());
  ASSERT_TRUE(tap);
  tap->addToMainLoop();
  probe->click(Button3, 400, 500);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseUp) == 1; }));
  EXPECT_EQ(rec.events.front().location, (Point{200, 250}));
  tap.reset();
  settle();
  probe->clearEvents();
  auto source = platform->createEventSource();
  for (TapEventType type : {TapEventType::kRightMouseDown, TapEventType::kRightMouseUp}) {
    source->post(*source->createMouseEvent(type, Point{150, 100}));
  }
  ASSERT_TRUE(waitFor([&] { return probe->count(ButtonRelease, app) == 1; }));
  EXPECT_EQ(probe->events.back().xRoot, 300);
  EXPECT_EQ(probe->events.back().yRoot, 200);
}

TEST_F(ConnectionTest, KeepsRunningItsLoopWhenTheServerGoesAwayAndOpensNoneWithoutOne) {
  startPlatform();
  StubView view;
  auto window = platform->createOverlayWindow(view);
  TapRecorder rec;
  auto tap = platform->createEventTap(rec.callback());
  ASSERT_TRUE(tap);
  tap->addToMainLoop();
  window->setFrame(Rect{{10, 10}, {100, 100}});
  window->orderFrontRegardless();
  drainLoop();

  probe.reset();  // the probe would end the process on losing the server
  server->stop();
  int ticks = 0;
  platform->scheduleRepeating(0.005, [&] { ++ticks; });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((ticks < 3 || platform->connection().alive()) &&
         std::chrono::steady_clock::now() < deadline) {
    g_main_context_iteration(g_main_context_default(), TRUE);
  }
  EXPECT_FALSE(platform->connection().alive());
  EXPECT_GE(ticks, 3);

  // Every operation is now a harmless no-op.
  window->setNeedsDisplay();
  window->orderOut();
  window->orderFrontRegardless();
  window->setIgnoresMouseEvents(false);
  tap->enable(true);
  drainLoop();
  EXPECT_EQ(platform->pointerLocation(), (Point{0, 800}));
  EXPECT_FALSE(platform->currentEventLocation());
  EXPECT_FALSE(platform->createEventTap(rec.callback()));
  EXPECT_FALSE(platform->createEventSource());
  EXPECT_NE(platform->registerHotKey(kKeyCodeW, kModCommand | kModOption, HotKeyId{1, 1}).status,
            0);
  platform->createOverlayWindow(view)->orderFrontRegardless();
  tap.reset();
  window.reset();

  X11Options options;
  options.display = ":4999";
  EXPECT_FALSE(X11Platform::open(options));
}

}  // namespace
}  // namespace nimbra::testing
