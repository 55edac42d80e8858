// The overlay window on a real server: stacking, the mouse, the scale, painting and shape.
#include <gtest/gtest.h>

#include <X11/Xatom.h>

#include "platform/x11/x11_scale.h"
#include "platform/x11/x11_window.h"
#include "support/child_process.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

constexpr std::uint32_t kDesk = 0x20A040;
constexpr std::uint32_t kRed = 0xD02020;
constexpr std::uint32_t kBlue = 0x2020D0;

bool near(std::uint32_t a, std::uint32_t b, int tolerance = 8) {
  for (int shift : {0, 8, 16}) {
    if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance) return false;
  }
  return true;
}

class OverlayWindowTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    desk = probe->createWindow(0, 0, 1280, 800, kDesk);  // under everything
  }
  void TearDown() override {
    window.reset();
    X11Test::TearDown();
  }

  // Shows the view's 300-pixel square with its top left at (400, 200).
  void open(X11Options options = {}, bool takesMouse = false) {
    window.reset();
    startPlatform(options);
    window.reset(static_cast<X11Window*>(platform->createOverlayWindow(view).release()));
    window->setIgnoresMouseEvents(!takesMouse);  // told before it shows, as the hot key does
    window->setFrame(Rect{{400, 800 - 200 - 300}, {300, 300}});
    window->setNeedsDisplay();
    window->orderFrontRegardless();
    settle();
  }
  Screenshot screenshot() {
    settle();
    return readXwd(server->framebufferFile()).value_or(Screenshot{});
  }

  // Taking the mouse, the view gets every click in its square, painted or not, and none outside.
  void expectTakesEveryClickInItsSquare() {
    const Window outside = probe->createWindow(340, 140, 50, 50, 0x808080);
    open({}, true);
    probe->moveTo(560, 330);
    ASSERT_TRUE(waitFor([&] { return view.count("moved") >= 1; }));
    EXPECT_EQ(view.calls.back().second, (Point{160, 130}));
    view.calls.clear();
    probe->click(Button1, 550, 350);  // on the disc
    probe->click(Button2, 402, 202);  // corners, outside the disc
    probe->click(Button3, 697, 497);
    probe->click(Button4, 553, 353);  // a scroll step is not a click
    probe->press(Button1);
    probe->moveTo(500, 300);
    probe->release(Button1);
    ASSERT_TRUE(waitFor([&] { return view.count("dragged") >= 1; }));
    probe->click(Button2, 360, 160);
    ASSERT_TRUE(waitFor([&] { return buttons(outside) == 2; }));
    EXPECT_EQ(buttons(), 2);
    std::erase_if(view.calls, [](auto& c) { return c.first == "moved"; });
    const decltype(view.calls) expected = {{"down", {150, 150}},
                                           {"otherDown", {2, 2}},
                                           {"rightDown", {297, 297}},
                                           {"down", {153, 153}},
                                           {"dragged", {100, 100}}};
    EXPECT_EQ(view.calls, expected);
  }

  Window desk = 0;
  StubView view;
  std::unique_ptr<X11Window> window;
};

// A window mapped or raised over the open wheel goes under it again, input window and all.
TEST_F(OverlayWindowTest, TakesEveryClickInItsSquareAndStaysOnTopWithoutACompositor) {
  expectTakesEveryClickInItsSquare();
  const int downs = view.count("down");
  const Window popup = probe->createWindow(450, 250, 100, 100, 0x0000FF);
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(waitFor([&] {
      const std::vector<Window> s = probe->stacking();
      return s[s.size() - 1] != popup && s[s.size() - 2] != popup;
    })) << round;
    probe->click(Button1, 500, 300);
    ASSERT_TRUE(waitFor([&] { return view.count("down") == downs + round; }));
    XRaiseWindow(probe->display(), popup);
    probe->sync();
  }
  EXPECT_EQ(buttons(popup), 0);
}

// The input window lives until the closing click's release; ignoring the mouse, clicks go by.
TEST_F(OverlayWindowTest, KeepsTheReleaseOfTheClickThatClosesIt) {
  open();
  view.onClick = [&] {
    window->setIgnoresMouseEvents(true);
    window->orderOut();
  };
  for (unsigned button : {Button1, Button2, 0}) {
    window->setIgnoresMouseEvents(button == 0);
    window->orderFrontRegardless();
    settle();
    probe->clearEvents();
    if (button) {
      probe->moveTo(405, 205);  // a corner, where nothing is painted
      probe->press(button);
      ASSERT_TRUE(waitFor([&] { return !window->shown(); }));
      settle();  // the close has reached the server
      probe->release(button);
      settle();
      EXPECT_EQ(buttons(desk), 0) << "button " << button;
    }
    probe->click(Button1, 405, 205);
    ASSERT_TRUE(waitFor([&] { return buttons(desk) == 2; })) << "button " << button;
  }
}

// Sending only what changed, the shape following the paint; the same without shared memory.
TEST_F(OverlayWindowTest, ScreenshotShowsThePaintAndTheDesktopAroundItWithOrWithoutSharedMemory) {
  open();
  EXPECT_TRUE(window->shaped());
  EXPECT_TRUE(window->sharedMemory());
  const Screenshot first = screenshot();
  for (auto [x, y, rgb] : {std::tuple{550, 260, kRed}, {405, 205, kDesk}, {390, 350, kDesk}}) {
    EXPECT_TRUE(near(first.at(x, y), rgb)) << x << "," << y;
  }
  view.rgb = kBlue;  // a change within the disc's bounds
  window->setNeedsDisplay();
  drainLoop();
  EXPECT_GT(window->lastUpload().width, 0);
  EXPECT_LT(window->lastUpload().width + window->lastUpload().height, 2 * 300);
  view.inset = 0.02;  // a larger disc: the shape grows with it
  window->setNeedsDisplay();
  EXPECT_TRUE(near(screenshot().at(420, 350), kBlue));
  window->orderOut();
  EXPECT_TRUE(near(screenshot().at(550, 350), kDesk));
  X11Options noShm;
  noShm.allowShm = false;
  open(noShm);
  EXPECT_FALSE(window->sharedMemory());
  EXPECT_TRUE(near(screenshot().at(550, 350), kBlue));
}

// The desktop as the root's background, also in _XROOTPMAP_ID, where a compositor shows it.
class CompositedOverlayTest : public OverlayWindowTest {
 protected:
  void SetUp() override {
    OverlayWindowTest::SetUp();
    Display* d = probe->display();
    XDestroyWindow(d, desk);
    desk = 0;
    const Pixmap tile = XCreatePixmap(d, probe->root(), 1, 1, DefaultDepth(d, 0));
    GC gc = XCreateGC(d, tile, 0, nullptr);
    XSetForeground(d, gc, kDesk);
    XFillRectangle(d, tile, gc, 0, 0, 1, 1);
    XFreeGC(d, gc);
    XChangeProperty(d, probe->root(), XInternAtom(d, "_XROOTPMAP_ID", False), XA_PIXMAP, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&tile), 1);
    XSetWindowBackground(d, probe->root(), kDesk);
    XClearWindow(d, probe->root());
    probe->sync();
  }

  void startCompositor(const std::vector<std::string>& command) {
    compositor = std::make_unique<ChildProcess>(
        command, std::vector<std::string>{"DISPLAY=" + server->display()});
    const Atom cm = XInternAtom(probe->display(), "_NET_WM_CM_S0", False);
    ASSERT_TRUE(waitFor([&] { return XGetSelectionOwner(probe->display(), cm) != None; }));
  }

  // The disc with the desktop around it and no shadow or frame, once the compositor paints.
  void expectCleanComposite() {
    EXPECT_FALSE(window->shaped());
    ASSERT_TRUE(waitFor([&] {
      const std::optional<Screenshot> s = readXwd(server->framebufferFile());
      return s && near(s->at(550, 350), kRed) && near(s->at(405, 205), kDesk);
    }));
    const Screenshot shot = screenshot();
    EXPECT_TRUE(near(shot.at(695, 495), kDesk));
    for (int d : {1, 4, 10, 20}) {
      for (auto [x, y] :
           {std::pair{700 + d, 350}, {550, 500 + d}, {400 - d, 350}, {550, 200 - d}}) {
        EXPECT_TRUE(near(shot.at(x, y), kDesk, 4)) << x << "," << y;
      }
    }
  }

  std::unique_ptr<ChildProcess> compositor;
};

// Under picom, then with no compositor, then under xcompmgr coming back while the wheel shows.
TEST_F(CompositedOverlayTest, TakesEveryClickInItsSquareCastsNoShadowAndFollowsTheCompositor) {
  startCompositor({"/usr/bin/picom", "--backend", "xrender", "--shadow", "--config", "/dev/null"});
  expectTakesEveryClickInItsSquare();
  expectCleanComposite();
  compositor.reset();  // gone: the shape takes over at once
  ASSERT_TRUE(waitFor([&] { return window->shaped(); }));
  EXPECT_TRUE(near(screenshot().at(405, 205), kDesk));
  startCompositor({"/usr/bin/xcompmgr", "-c"});  // back while it shows: the shape goes
  ASSERT_TRUE(waitFor([&] { return !window->shaped(); }));
  expectCleanComposite();
}

TEST(DesktopScale, IsTheLastXftDpiOverNinetySixOrOneWhenUnsetOrUnreadable) {
  EXPECT_DOUBLE_EQ(scaleFromResources("Xcursor.size:\t24\nXft.dpi:\t144\nXft.hinting:\t1\n"), 1.5);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi: 120"), 1.25);
  for (const char* r :
       {"Xft.dpi:\t192\nXft.dpi:\t96\n", "", "Xft.dpi:\tninety\n", "Xft.dpi:\t0\n",
        "Xft.dpi:\t-96\n", "Xft.dpi:\t1e9\n", "Xft.dpi:\tnan\n", "XXft.dpi:\t192\n"}) {
    EXPECT_DOUBLE_EQ(scaleFromResources(r), 1.0) << r;
  }
}

using ConnectionTest = OverlayWindowTest;

// A new Xft.dpi applies from the next opening; the view measures from its asked (unrounded) place.
TEST_F(ConnectionTest, FollowsXftDpiFromOneOpeningToTheNextAndMeasuresFromTheAskedPlace) {
  auto setDpi = [&](const std::string& dpi) {
    const std::string r = "Xft.dpi:\t" + dpi + "\n";
    XChangeProperty(probe->display(), probe->root(), XA_RESOURCE_MANAGER, XA_STRING, 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(r.data()), r.size());
    settle();
  };
  startPlatform();
  window.reset(static_cast<X11Window*>(platform->createOverlayWindow(view).release()));
  setDpi("120");
  EXPECT_DOUBLE_EQ(window->backingScale(), 1.25);
  EXPECT_DOUBLE_EQ(platform->firstScreenHeight(), 640);
  // Top left at (100.3, 50.3) points: pixel (125.375, 62.875), rounded to (125, 63).
  window->setFrame(Rect{{100.3, 640 - 50.3 - 100}, {100, 100}});
  window->setIgnoresMouseEvents(false);
  window->orderFrontRegardless();
  settle();
  XWindowAttributes a{};
  XGetWindowAttributes(probe->display(), window->xid(), &a);
  EXPECT_EQ((std::array{a.x, a.y, a.width, a.height}), (std::array{125, 63, 125, 125}));
  EXPECT_DOUBLE_EQ(view.lastScale, 1.25);
  probe->click(Button1, 200, 150);
  ASSERT_TRUE(waitFor([&] { return view.count("down") == 1; }));
  EXPECT_NEAR(view.calls.back().second.x, 59.7, 1e-9);
  EXPECT_NEAR(view.calls.back().second.y, 69.7, 1e-9);
  setDpi("192");
  EXPECT_DOUBLE_EQ(window->backingScale(), 1.25) << "changed while shown";
  window->orderOut();
  EXPECT_DOUBLE_EQ(window->backingScale(), 2.0);
  EXPECT_EQ(platform->pointerLocation(), (Point{100, 325}));  // bottom-left points
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
  ASSERT_TRUE(waitFor([&] { return probe->count(ButtonRelease, desk) == 1; }));
  EXPECT_EQ(clicks().back(), (std::array{ButtonRelease, 3, 300, 200}));
}

}  // namespace
}  // namespace nimbra::testing
