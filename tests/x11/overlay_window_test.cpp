// The overlay window on a real server: stacking, focus, mouse pass-through and take-over,
// painting and its shape, looked at through Xvfb's frame buffer.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/shape.h>
#include <X11/keysym.h>

#include "platform/x11/x11_window.h"
#include "support/child_process.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

constexpr std::uint32_t kDesk = 0x20A040;  // the "desktop": a window under everything
constexpr std::uint32_t kRed = 0xD02020;
constexpr std::uint32_t kBlue = 0x2020D0;

// Screen frames in bottom-left points: the window's top left at (x, y) top-left pixels.
Rect frameAt(int x, int y, int side, double screenHeight = 800) {
  return Rect{{double(x), screenHeight - y - side}, {double(side), double(side)}};
}

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
    if (deskWindow) desk = probe->createWindow(0, 0, 1280, 800, kDesk);
  }

  void TearDown() override {
    window.reset();
    X11Test::TearDown();
  }

  // Shows the view's 300-pixel square with its top left at (400, 200).
  void open(X11Options options = {}, bool takesMouse = false) {
    startPlatform(options);
    window = std::unique_ptr<X11Window>(
        static_cast<X11Window*>(platform->createOverlayWindow(view).release()));
    window->setIgnoresMouseEvents(!takesMouse);  // told before it shows, as the hot key does
    window->setFrame(frameAt(400, 200, 300));
    window->setNeedsDisplay();
    window->orderFrontRegardless();
    settle();
  }

  Screenshot screenshot() {
    settle();
    std::optional<Screenshot> shot = readXwd(server->framebufferFile());
    EXPECT_TRUE(shot);
    return shot.value_or(Screenshot{});
  }

  // Taking the mouse, the view gets every click within its square, painted or not, and none
  // outside it, whatever the compositor does with the window's shape.
  void expectTakesEveryClickInItsSquare() {
    const Window outside = probe->createWindow(340, 140, 50, 50, 0x808080);
    open({}, true);
    probe->moveTo(560, 330);
    ASSERT_TRUE(waitFor([&] { return view.count("moved") >= 1; }));
    EXPECT_EQ(view.calls.back().at, (Point{160, 130}));
    probe->click(Button1, 550, 350);  // on the disc
    probe->click(Button2, 402, 202);  // corners, outside the disc
    probe->click(Button3, 697, 497);
    probe->click(Button4, 553, 353);  // a scroll step is not a click
    ASSERT_TRUE(waitFor([&] { return view.clicks().size() == 3; }));
    const std::pair<std::string, Point> expected[] = {
        {"down", {150, 150}}, {"otherDown", {2, 2}}, {"rightDown", {297, 297}}};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(view.clicks()[i].what, expected[i].first);
      EXPECT_EQ(view.clicks()[i].at, expected[i].second);
    }
    probe->press(Button1);
    probe->moveTo(500, 300);
    probe->release(Button1);
    ASSERT_TRUE(waitFor([&] { return view.count("dragged") >= 1; }));
    probe->click(Button2, 360, 160);
    ASSERT_TRUE(waitFor([&] { return buttons(outside) == 2; }));
    EXPECT_EQ(view.clicks().size(), 4u);  // the drag's press the fourth
    EXPECT_EQ(buttons(), 2);
  }

  bool deskWindow = true;  // else the desktop colour is the root's background
  Window desk = 0;
  StubView view{kRed};
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
  auto beneath = [&] {
    const std::vector<Window> s = probe->stacking();
    return s.size() > 3 && s[s.size() - 1] != popup && s[s.size() - 2] != popup;
  };
  for (int round = 1; round <= 2; ++round) {
    ASSERT_TRUE(waitFor(beneath)) << "round " << round;
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
  // Once up, the button is the desktop's again.
  window->orderOut();
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
  EXPECT_EQ(view.draws, draws);
  drainLoop();
  EXPECT_EQ(view.draws, draws + 1);
  EXPECT_GT(window->lastUpload().width, 0);
  EXPECT_LT(window->lastUpload().width, 300);
  EXPECT_LT(window->lastUpload().height, 300);
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
  window->setFrame(frameAt(100, 100, 300));  // reopened elsewhere with its last paint
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

// Compositors paint shadows under windows; a full-screen window as the desktop would cast one
// into the overlay's transparent parts, so here the desktop colour is the root's background
// (as a pixmap in _XROOTPMAP_ID, where compositors look for it).
class CompositedOverlayTest : public OverlayWindowTest {
 protected:
  CompositedOverlayTest() { deskWindow = false; }

  void SetUp() override {
    OverlayWindowTest::SetUp();
    Display* d = probe->display();
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

  bool startCompositor(const std::vector<std::string>& command) {
    if (access(command.front().c_str(), X_OK) != 0) return false;
    compositor = std::make_unique<ChildProcess>(
        command, std::vector<std::string>{"DISPLAY=" + server->display()});
    const Atom cm = XInternAtom(probe->display(), "_NET_WM_CM_S0", False);
    return waitFor([&] { return XGetSelectionOwner(probe->display(), cm) != None; });
  }

  // The overlay shows its disc with the desktop around it and no shadow or frame outside.
  // A compositor takes a moment after claiming the screen before it paints.
  void expectCleanComposite() {
    ASSERT_TRUE(waitFor([&] {
      const std::optional<Screenshot> s = readXwd(server->framebufferFile());
      return s && near(s->at(550, 350), kRed) && near(s->at(405, 205), kDesk);
    }));
    const Screenshot shot = screenshot();
    EXPECT_TRUE(near(shot.at(695, 495), kDesk));
    for (int d : {1, 4, 10, 20}) {
      EXPECT_TRUE(near(shot.at(700 + d, 350), kDesk, 4)) << d;
      EXPECT_TRUE(near(shot.at(550, 500 + d), kDesk, 4)) << d;
      EXPECT_TRUE(near(shot.at(400 - d, 350), kDesk, 4)) << d;
      EXPECT_TRUE(near(shot.at(550, 200 - d), kDesk, 4)) << d;
    }
  }

  std::unique_ptr<ChildProcess> compositor;
};

TEST_F(CompositedOverlayTest, UsesAlphaWithoutShapeOrShadowAndFollowsTheCompositor) {
  if (!startCompositor({"/usr/bin/xcompmgr", "-c"})) GTEST_SKIP() << "no xcompmgr";
  open();
  EXPECT_FALSE(window->shaped());
  expectCleanComposite();

  // The compositor leaves: the shape takes over at once.
  compositor.reset();
  ASSERT_TRUE(waitFor([&] { return window->shaped(); }));
  const Screenshot shot = screenshot();
  EXPECT_TRUE(near(shot.at(550, 350), kRed));
  EXPECT_TRUE(near(shot.at(405, 205), kDesk));

  // And a compositor arriving while it shows drops the shape again.
  ASSERT_TRUE(startCompositor({"/usr/bin/xcompmgr", "-c"}));
  ASSERT_TRUE(waitFor([&] { return !window->shaped(); }));
  expectCleanComposite();
}

TEST_F(CompositedOverlayTest, TakesEveryClickInItsSquareAndCastsNoShadowUnderPicom) {
  if (!startCompositor(
          {"/usr/bin/picom", "--backend", "xrender", "--shadow", "--config", "/dev/null"})) {
    GTEST_SKIP() << "no picom";
  }
  expectTakesEveryClickInItsSquare();
  EXPECT_FALSE(window->shaped());
  expectCleanComposite();
}

}  // namespace
}  // namespace nimbra::testing
