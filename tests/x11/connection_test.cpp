// The desktop scale and the coordinates the backend hands out.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include "platform/x11/x11_scale.h"
#include "platform/x11/x11_window.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

TEST(DesktopScale, IsTheLastXftDpiOverNinetySixOrOneWhenUnsetOrUnreadable) {
  const std::pair<const char*, double> cases[] = {
      {"Xcursor.size:\t24\nXft.dpi:\t144\nXft.hinting:\t1\n", 1.5},
      {"Xft.dpi: 120", 1.25},
      {"Xft.dpi:\t192\nXft.dpi:\t96\n", 1.0},
      {"", 1.0},
      {"Xft.dpi:\tninety\n", 1.0},
      {"Xft.dpi:\t0\n", 1.0},
      {"Xft.dpi:\t-96\n", 1.0},
      {"Xft.dpi:\t1e9\n", 1.0},
      {"Xft.dpi:\tnan\n", 1.0},
      {"XXft.dpi:\t192\n", 1.0},
  };
  for (const auto& [resources, scale] : cases) {
    EXPECT_DOUBLE_EQ(scaleFromResources(resources), scale) << resources;
  }
}

using ConnectionTest = X11Test;

void setDpi(XProbe& probe, const std::string& dpi) {
  const std::string resources = "Xft.dpi:\t" + dpi + "\n";
  XChangeProperty(probe.display(), probe.root(), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(resources.data()), int(resources.size()));
  probe.sync();
}

// A new Xft.dpi applies from the next opening, never in the middle of one; and at a fractional
// scale the view measures from where it was asked to be, not from the rounded pixel origin.
TEST_F(ConnectionTest, FollowsXftDpiFromOneOpeningToTheNextAndMeasuresFromTheAskedPlace) {
  const Window app = probe->createWindow(0, 0, 1280, 800, 0x808080);
  startPlatform();
  probe->moveTo(300, 200);
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
  XWindowAttributes a{};
  XGetWindowAttributes(probe->display(), static_cast<X11Window&>(*window).xid(), &a);
  EXPECT_EQ((std::array{a.x, a.y, a.width, a.height}), (std::array{125, 63, 125, 125}));
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

  // The tap reports points, and a click handed back at a point lands on its pixel.
  TapRecorder rec;
  auto tap = platform->createEventTap(rec.callback());
  ASSERT_TRUE(tap);
  tap->addToMainLoop();
  probe->click(Button3, 400, 500);
  ASSERT_TRUE(waitFor([&] { return rec.count(TapEventType::kRightMouseUp) == 1; }));
  EXPECT_EQ(rec.events.front().location, (Point{200, 250}));
  tap.reset();
  auto source = platform->createEventSource();
  for (TapEventType type : {TapEventType::kRightMouseDown, TapEventType::kRightMouseUp}) {
    source->post(*source->createMouseEvent(type, Point{150, 100}));
  }
  ASSERT_TRUE(waitFor([&] { return probe->count(ButtonRelease, app) == 1; }));
  EXPECT_EQ((std::array{probe->events.back().xRoot, probe->events.back().yRoot}),
            (std::array{300, 200}));
}

}  // namespace
}  // namespace nimbra::testing
