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

  void open(X11Options options = {}) {
    startPlatform(options);
    window = std::unique_ptr<X11Window>(
        static_cast<X11Window*>(platform->createOverlayWindow(view).release()));
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

  std::vector<ProbeEvent> buttonsOn(Window w) const {
    std::vector<ProbeEvent> out;
    for (const ProbeEvent& e : probe->events) {
      if ((e.type == ButtonPress || e.type == ButtonRelease) && e.window == w) out.push_back(e);
    }
    return out;
  }

  void TearDown() override {
    window.reset();
    X11Test::TearDown();
  }

  // Taking the mouse, the view gets every click within its square, painted or not, and none
  // outside it, whatever the compositor does with the window's shape.
  void expectTakesEveryClickInItsSquare() {
    const Window outside = probe->createWindow(340, 140, 50, 50, 0x808080);
    startPlatform();
    window = std::unique_ptr<X11Window>(
        static_cast<X11Window*>(platform->createOverlayWindow(view).release()));
    window->setIgnoresMouseEvents(false);  // told before it shows, as the hot key does
    window->setFrame(frameAt(400, 200, 300));
    window->setNeedsDisplay();
    window->orderFrontRegardless();
    settle();
    probe->click(Button1, 550, 350);  // on the disc
    probe->click(Button2, 402, 202);  // corners, outside the disc
    probe->click(Button1, 697, 497);
    auto clicks = [&] {
      std::vector<StubView::Call> out;
      for (const StubView::Call& c : view.calls) {
        if (c.what != "moved" && c.what != "dragged") out.push_back(c);
      }
      return out;
    };
    ASSERT_TRUE(waitFor([&] { return clicks().size() == 3; }));
    EXPECT_EQ(clicks()[0].at, (Point{150, 150}));
    EXPECT_EQ(clicks()[1].what, "otherDown");
    EXPECT_EQ(clicks()[1].at, (Point{2, 2}));
    EXPECT_EQ(clicks()[2].at, (Point{297, 297}));
    probe->click(Button2, 360, 160);
    ASSERT_TRUE(waitFor([&] { return buttonsOn(outside).size() == 2; }));
    EXPECT_EQ(clicks().size(), 3u);
  }

  bool deskWindow = true;  // else the desktop colour is the root's background
  Window desk = 0;
  StubView view{kRed};
  std::unique_ptr<X11Window> window;
};

TEST_F(OverlayWindowTest, StaysAboveTopLevelsMappedAfterIt) {
  open();
  ASSERT_EQ(probe->stacking().back(), window->xid());
  const Window popup = probe->createWindow(450, 250, 100, 100, 0x0000FF);
  ASSERT_TRUE(waitFor([&] { return probe->stacking().back() == window->xid(); }));
  // A window raised later is covered again as well.
  XRaiseWindow(probe->display(), popup);
  probe->sync();
  ASSERT_TRUE(waitFor([&] { return probe->stacking().back() == window->xid(); }));
  const Window managed = probe->createWindow(420, 220, 80, 80, 0x00FFFF, false);
  ASSERT_TRUE(waitFor([&] { return probe->stacking().back() == window->xid(); }));
  (void)managed;
}

TEST_F(OverlayWindowTest, IsOverrideRedirectAndRefusesInputFocus) {
  open();
  XWindowAttributes attributes{};
  XGetWindowAttributes(probe->display(), window->xid(), &attributes);
  EXPECT_TRUE(attributes.override_redirect);
  EXPECT_EQ(attributes.map_state, IsViewable);
  EXPECT_TRUE(window->argb());
  XWMHints* hints = XGetWMHints(probe->display(), window->xid());
  ASSERT_TRUE(hints);
  EXPECT_TRUE(hints->flags & InputHint);
  EXPECT_FALSE(hints->input);
  XFree(hints);
}

TEST_F(OverlayWindowTest, IgnoringTheMouseLetsClicksThroughToTheWindowBeneath) {
  open();
  probe->click(Button1, 550, 350);
  ASSERT_TRUE(waitFor([&] { return buttonsOn(desk).size() == 2; }));
  EXPECT_TRUE(view.calls.empty());
}

TEST_F(OverlayWindowTest, TakingTheMouseDeliversButtonsAndMovesInViewCoordinates) {
  open();
  window->setIgnoresMouseEvents(false);
  settle();
  probe->moveTo(560, 330);
  ASSERT_TRUE(waitFor([&] { return view.count("moved") >= 1; }));
  EXPECT_EQ(view.calls.back().at, (Point{160, 130}));
  probe->click(Button1, 550, 350);
  probe->click(Button2, 551, 351);
  probe->click(Button3, 552, 352);
  probe->click(Button4, 553, 353);  // a scroll step is not a click
  ASSERT_TRUE(waitFor([&] { return view.count("rightDown") == 1; }));
  settle();
  EXPECT_EQ(view.count("down"), 1);
  EXPECT_EQ(view.count("otherDown"), 1);
  for (const StubView::Call& c : view.calls) {
    if (c.what == "down") {
      EXPECT_EQ(c.at, (Point{150, 150}));
    } else if (c.what == "otherDown") {
      EXPECT_EQ(c.at, (Point{151, 151}));
    } else if (c.what == "rightDown") {
      EXPECT_EQ(c.at, (Point{152, 152}));
    }
  }
  probe->press(Button1);
  probe->moveTo(500, 300);
  probe->release(Button1);
  ASSERT_TRUE(waitFor([&] { return view.count("dragged") >= 1; }));
  EXPECT_TRUE(buttonsOn(desk).empty());

  window->setIgnoresMouseEvents(true);
  settle();
  probe->click(Button1, 550, 350);
  ASSERT_TRUE(waitFor([&] { return buttonsOn(desk).size() == 2; }));
}

TEST_F(OverlayWindowTest, TakesEveryClickInItsSquareWithoutACompositor) {
  expectTakesEveryClickInItsSquare();
}

TEST_F(OverlayWindowTest, KeepsTheReleaseOfTheClickThatClosesIt) {
  open();
  window->setIgnoresMouseEvents(false);
  settle();
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
    EXPECT_TRUE(buttonsOn(desk).empty()) << "button " << button;
    window->setIgnoresMouseEvents(false);
    window->orderFrontRegardless();
    settle();
  }
  // Once up, the button is the desktop's again.
  window->orderOut();
  settle();
  probe->click(Button1, 405, 205);
  ASSERT_TRUE(waitFor([&] { return buttonsOn(desk).size() == 2; }));
}

TEST_F(OverlayWindowTest, FocusedClientKeepsTheKeyboardWhileItShows) {
  const Window app = probe->createWindow(100, 100, 200, 200, 0x808080);
  probe->focus(app);
  open();
  window->setIgnoresMouseEvents(false);
  probe->click(Button1, 550, 350);
  settle();
  EXPECT_EQ(probe->focused(), app);
  probe->chord({XK_a});
  ASSERT_TRUE(waitFor([&] { return probe->count(KeyPress, app) == 1; }));
}

TEST_F(OverlayWindowTest, ScreenshotShowsThePaintAndTheDesktopAroundItWithoutACompositor) {
  open();
  EXPECT_TRUE(window->shaped());
  const Screenshot shot = screenshot();
  EXPECT_TRUE(near(shot.at(550, 350), kRed));   // centre
  EXPECT_TRUE(near(shot.at(550, 260), kRed));   // inside the disc, near its top
  EXPECT_TRUE(near(shot.at(405, 205), kDesk));  // a corner of the window, outside the disc
  EXPECT_TRUE(near(shot.at(695, 495), kDesk));
  EXPECT_TRUE(near(shot.at(390, 350), kDesk));  // beside the window

  window->orderOut();
  const Screenshot after = screenshot();
  EXPECT_TRUE(near(after.at(550, 350), kDesk));
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

TEST_F(OverlayWindowTest, UsesSharedMemoryWhenTheServerOffersIt) {
  open();
  EXPECT_TRUE(window->sharedMemory());
}

TEST_F(OverlayWindowTest, ManyRedrawRequestsMakeOnePaintPerTurnOfTheLoop) {
  open();
  const int before = view.draws;
  for (int i = 0; i < 10; ++i) window->setNeedsDisplay();
  EXPECT_EQ(view.draws, before);
  drainLoop();
  EXPECT_EQ(view.draws, before + 1);
}

TEST_F(OverlayWindowTest, AChangeSendsOnlyTheRectangleThatChanged) {
  open();
  // A small change: the disc's colour, within the disc's bounds only.
  view.setColour(0x2020D0);
  window->setNeedsDisplay();
  drainLoop();
  const XRectangle sent = window->lastUpload();
  EXPECT_GT(sent.width, 0);
  EXPECT_LT(sent.width, 300);
  EXPECT_LT(sent.height, 300);
  EXPECT_TRUE(near(screenshot().at(550, 350), 0x2020D0));

  // Nothing changed: nothing is sent.
  window->setNeedsDisplay();
  drainLoop();
  EXPECT_EQ(window->lastUpload().width, 0);
}

TEST_F(OverlayWindowTest, ReopensWithItsLastPaintAtANewPlace) {
  open();
  window->orderOut();
  window->setFrame(frameAt(100, 100, 300));
  window->orderFrontRegardless();
  const Screenshot shot = screenshot();
  EXPECT_TRUE(near(shot.at(250, 250), kRed));
  EXPECT_TRUE(near(shot.at(550, 350), kDesk));
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

TEST_F(CompositedOverlayTest, CastsNoShadowUnderPicom) {
  if (!startCompositor(
          {"/usr/bin/picom", "--backend", "xrender", "--shadow", "--config", "/dev/null"})) {
    GTEST_SKIP() << "no picom";
  }
  open();
  EXPECT_FALSE(window->shaped());
  expectCleanComposite();
}

TEST_F(CompositedOverlayTest, TakesEveryClickInItsSquareUnderPicomToo) {
  if (!startCompositor({"/usr/bin/picom", "--backend", "xrender", "--config", "/dev/null"})) {
    GTEST_SKIP() << "no picom";
  }
  expectTakesEveryClickInItsSquare();
}

}  // namespace
}  // namespace nimbra::testing
