// The overlay window on a real server: stacking, focus, mouse pass-through and take-over,
// painting and its shape, looked at through Xvfb's frame buffer.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/keysym.h>

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

  // Taking the mouse, the view gets every click within its square, painted or not, and none
  // outside it, whatever the compositor does with the window's shape.
  void expectTakesEveryClickInItsSquare() {
    const Window outside = probe->createWindow(340, 140, 50, 50, 0x808080);
    open({}, true);
    probe->moveTo(560, 330);
    ASSERT_TRUE(waitFor([&] { return view.count("moved") >= 1; }));
    EXPECT_EQ(view.calls.back().at, (Point{160, 130}));
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
    std::vector<std::pair<std::string, Point>> got;
    for (const StubView::Call& c : view.calls) {
      if (c.what != "moved") got.emplace_back(c.what, c.at);
    }
    const std::vector<std::pair<std::string, Point>> expected = {{"down", {150, 150}},
                                                                 {"otherDown", {2, 2}},
                                                                 {"rightDown", {297, 297}},
                                                                 {"down", {153, 153}},
                                                                 {"dragged", {100, 100}}};
    EXPECT_EQ(got, expected);
  }

  Window desk = 0;
  StubView view;
  std::unique_ptr<X11Window> window;
};

TEST_F(OverlayWindowTest, TakesEveryClickInItsSquareWithoutACompositor) {
  expectTakesEveryClickInItsSquare();
}

TEST_F(OverlayWindowTest, LetsClicksThroughWhileIgnoringTheMouseAndNeverTakesTheFocus) {
  probe->focus(desk);
  open();
  probe->click(Button1, 550, 350);
  ASSERT_TRUE(waitFor([&] { return buttons(desk) == 2; }));
  window->setIgnoresMouseEvents(false);
  settle();
  probe->click(Button1, 550, 350);
  ASSERT_TRUE(waitFor([&] { return view.count("down") == 1; }));
  EXPECT_EQ(buttons(desk), 2);
  EXPECT_EQ(probe->focused(), desk);
  probe->chord({XK_a});
  ASSERT_TRUE(waitFor([&] { return probe->count(KeyPress, desk) == 1; }));
}

// A window mapped or raised over the open wheel goes under it again, input window and all.
TEST_F(OverlayWindowTest, StaysAboveWindowsMappedOrRaisedAfterItAndTakesTheClicksThere) {
  open({}, true);
  const Window popup = probe->createWindow(450, 250, 100, 100, 0x0000FF);
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(waitFor([&] {
      const std::vector<Window> s = probe->stacking();
      return s[s.size() - 1] != popup && s[s.size() - 2] != popup;
    })) << round;
    probe->click(Button1, 500, 300);
    ASSERT_TRUE(waitFor([&] { return view.count("down") == round; }));
    XRaiseWindow(probe->display(), popup);
    probe->sync();
  }
  EXPECT_EQ(buttons(popup), 0);
}

TEST_F(OverlayWindowTest, KeepsTheReleaseOfTheClickThatClosesIt) {
  open({}, true);
  view.onClick = [&] {
    window->setIgnoresMouseEvents(true);
    window->orderOut();
  };
  for (unsigned button : {Button1, Button2}) {
    probe->moveTo(405, 205);  // a corner, where nothing is painted
    probe->press(button);
    ASSERT_TRUE(waitFor([&] { return !window->shown(); }));
    probe->release(button);
    settle();
    EXPECT_EQ(buttons(desk), 0) << "button " << button;
    window->setIgnoresMouseEvents(false);
    window->orderFrontRegardless();
    settle();
  }
  window->orderOut();  // once up, the button is the desktop's again
  settle();
  probe->click(Button1, 405, 205);
  ASSERT_TRUE(waitFor([&] { return buttons(desk) == 2; }));
}

// Painted once per turn of the loop, sending only what changed, the shape following the paint.
TEST_F(OverlayWindowTest, ScreenshotShowsThePaintAndTheDesktopAroundItWithoutACompositor) {
  open();
  EXPECT_TRUE(window->shaped());
  EXPECT_TRUE(window->sharedMemory());
  Screenshot shot = screenshot();
  for (auto [x, y, rgb] : {std::tuple{550, 350, kRed},
                           {550, 260, kRed},
                           {405, 205, kDesk},
                           {695, 495, kDesk},
                           {390, 350, kDesk},
                           {420, 350, kDesk}}) {
    EXPECT_TRUE(near(shot.at(x, y), rgb)) << x << "," << y;
  }
  view.rgb = kBlue;  // a change within the disc's bounds
  const int draws = view.draws;
  for (int i = 0; i < 10; ++i) window->setNeedsDisplay();
  drainLoop();
  EXPECT_EQ(view.draws, draws + 1);
  EXPECT_GT(window->lastUpload().width, 0);
  EXPECT_LT(window->lastUpload().width + window->lastUpload().height, 2 * 300);
  EXPECT_TRUE(near(screenshot().at(550, 350), kBlue));
  window->setNeedsDisplay();
  drainLoop();
  EXPECT_EQ(window->lastUpload().width, 0) << "nothing changed, yet something was sent";
  view.inset = 0.02;  // a larger disc: the shape grows with it
  window->setNeedsDisplay();
  drainLoop();
  EXPECT_TRUE(near(screenshot().at(420, 350), kBlue));

  window->orderOut();
  EXPECT_TRUE(near(screenshot().at(550, 350), kDesk));
  window->setFrame(Rect{{100, 800 - 100 - 300}, {300, 300}});  // reopened elsewhere
  window->orderFrontRegardless();
  shot = screenshot();
  EXPECT_TRUE(near(shot.at(250, 250), kBlue));
  EXPECT_TRUE(near(shot.at(550, 350), kDesk));
}

TEST_F(OverlayWindowTest, PaintsTheSameWithoutSharedMemory) {
  X11Options options;
  options.allowShm = false;
  open(options);
  EXPECT_FALSE(window->sharedMemory());
  const Screenshot shot = screenshot();
  EXPECT_TRUE(near(shot.at(550, 350), kRed));
  EXPECT_TRUE(near(shot.at(405, 205), kDesk));
}

// A compositor would paint a window as the desktop with a shadow into the overlay's clear parts:
// the desktop is the root's background instead, as a pixmap in _XROOTPMAP_ID for compositors.
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

  // The disc with the desktop around it and no shadow or frame outside, once the compositor,
  // a moment after claiming the screen, paints.
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

TEST_F(CompositedOverlayTest, UsesAlphaWithoutShapeOrShadowAndFollowsTheCompositor) {
  startCompositor({"/usr/bin/xcompmgr", "-c"});
  open();
  expectCleanComposite();
  compositor.reset();  // gone: the shape takes over at once
  ASSERT_TRUE(waitFor([&] { return window->shaped(); }));
  EXPECT_TRUE(near(screenshot().at(405, 205), kDesk));
  startCompositor({"/usr/bin/xcompmgr", "-c"});  // back while it shows: the shape goes
  ASSERT_TRUE(waitFor([&] { return !window->shaped(); }));
  expectCleanComposite();
}

TEST_F(CompositedOverlayTest, TakesEveryClickInItsSquareAndCastsNoShadowUnderPicom) {
  startCompositor({"/usr/bin/picom", "--backend", "xrender", "--shadow", "--config", "/dev/null"});
  expectTakesEveryClickInItsSquare();
  expectCleanComposite();
}

}  // namespace
}  // namespace nimbra::testing
