// The real nimbra-wheel binary on a private X server, driven only through XTest input and
// watched through its files and the screen.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "config/config.h"
#include "platform/platform.h"
#include "platform/x11/x11_error_trap.h"
#include "support/child_process.h"
#include "support/helper_fixture.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"
#include "wheel/geometry.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

// Radius 100 and hold 300 ms: an arc segment, an anchor-grid segment, an empty one, and a
// one-tool segment, each in its own colour.
const char* const kWheel = kFourSegments;

constexpr std::uint32_t kDesk = 0x305070;
constexpr Point kCentre{640, 400};

struct Pixel {
  int x;
  int y;
};

Pixel at(Point p) {
  return Pixel{int(std::lround(p.x)), int(std::lround(p.y))};
}

// Channels of a 0xRRGGBB pixel, for colours painted with a gradient or a highlight.
int red(std::uint32_t p) {
  return (p >> 16) & 0xFF;
}
int green(std::uint32_t p) {
  return (p >> 8) & 0xFF;
}
int blue(std::uint32_t p) {
  return p & 0xFF;
}
bool isRed(std::uint32_t p) {
  return red(p) > 180 && green(p) < 70 && blue(p) < 70;
}
bool isGreen(std::uint32_t p) {
  return green(p) > 180 && red(p) < 70 && blue(p) < 70;
}
bool isMagenta(std::uint32_t p) {
  return red(p) > 180 && blue(p) > 180 && green(p) < 70;
}

Point polar(Point c, double degrees, double distance) {
  const double a = degrees * kPi / 180.0;
  return Point{c.x + distance * std::cos(a), c.y + distance * std::sin(a)};
}

class HelperOnDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<Xvfb>();
    ASSERT_TRUE(server->ok());
    probe = std::make_unique<XProbe>(server->display());
    desk = probe->createWindow(0, 0, 1280, 800, kDesk);
    probe->focus(desk);
    cfg = std::make_shared<const Config>(Config::parse(kWheel));
    geo = std::make_unique<Geometry>(cfg);
  }

  void TearDown() override {
    if (helper && helper->running()) {
      writeFile(dir.file("stop.txt"), "");
      EXPECT_EQ(helper->waitExit(5s), 0);
    }
    helper.reset();
    probe.reset();
    server.reset();
  }

  void launch(const char* wheelCfg = kWheel) {
    writeFile(dir.file("wheel.cfg"), wheelCfg);
    helper =
        std::make_unique<ChildProcess>(std::vector<std::string>{helperBinary(), "-Dir", dir.path()},
                                       std::vector<std::string>{"DISPLAY=" + server->display()});
    ASSERT_TRUE(waitLogged("event tap installed")) << log();
  }

  std::string log() const { return readFile(dir.file("log.txt")); }
  std::string cmd() const { return readFile(dir.file("cmd.txt")); }
  int countLogged(const std::string& message) const {
    std::istringstream in(log());
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      const auto close = line.find("] ");
      n += close != std::string::npos && line.substr(close + 2) == message;
    }
    return n;
  }
  bool until(const std::function<bool()>& done, std::chrono::milliseconds deadline = 5s) {
    return waitUntil(
        done, [&] { probe->pump(); }, {ConnectionNumber(probe->display())}, deadline);
  }
  bool waitLogged(const std::string& message, int times = 1) {
    return until([&] { return countLogged(message) >= times; });
  }
  bool waitCmd(const std::string& text) {
    return until([&] { return cmd() == text; });
  }

  // Holds the right button at the centre until the wheel is up.
  void holdOpen(int times = 1) {
    probe->moveTo(at(kCentre).x, at(kCentre).y);
    probe->press(Button3);
    ASSERT_TRUE(waitLogged("wheel shown at 640,400", times)) << log();
    EXPECT_TRUE(waitCmd("~open"));
  }
  void moveTo(Point p) { probe->moveTo(at(p).x, at(p).y); }
  // Into the segment's ring first, so the segment is chosen before the pointer leaves it.
  void pointAtTool(int seg, Point toolPoint) {
    moveTo(polar(kCentre, segmentMidAngle(seg, cfg->segs.size()), 0.65 * cfg->radius));
    moveTo(toolPoint);
  }
  Point arcTool(int seg, int tool) const {
    return polar(kCentre, geo->arcStart(seg) + 36.0 * (tool + 0.5), 1.3 * cfg->radius);
  }
  Point gridTool(int seg, int tool) const {
    const AnchorGrid grid = *geo->segAnchor(seg);
    const Point c = polar(kCentre, segmentMidAngle(seg, cfg->segs.size()), 1.53 * cfg->radius);
    const double cell = 0.88 * cfg->radius / 3;
    for (int i = 0; i < 9; ++i) {
      if (grid[i] == tool) return Point{c.x + (i % 3 - 1) * cell, c.y + (i / 3 - 1) * cell};
    }
    ADD_FAILURE() << "tool " << tool << " has no cell";
    return c;
  }
  std::vector<ProbeEvent> buttonsOnDesk() const {
    std::vector<ProbeEvent> out;
    for (const ProbeEvent& e : probe->events) {
      if ((e.type == ButtonPress || e.type == ButtonRelease) && e.window == desk) {
        out.push_back(e);
      }
    }
    return out;
  }
  int keyPressesOnDesk(KeySym sym) const {
    int n = 0;
    for (const ProbeEvent& e : probe->events) {
      n += e.type == KeyPress && e.window == desk &&
           e.detail == XKeysymToKeycode(probe->display(), sym);
    }
    return n;
  }
  std::optional<Screenshot> screen() const { return readXwd(server->framebufferFile()); }
  // The helper's overlay, found by its class among the top-levels.
  bool overlayMapped() const {
    for (Window w : probe->stacking()) {
      XClassHint hint{};
      if (!XGetClassHint(probe->display(), w, &hint)) continue;
      const bool ours = hint.res_name && std::string(hint.res_name) == "nimbra-wheel";
      XFree(hint.res_name);
      XFree(hint.res_class);
      XWindowAttributes a{};
      if (ours && XGetWindowAttributes(probe->display(), w, &a)) return a.map_state == IsViewable;
    }
    return false;
  }
  bool escapeIsFree() {
    Display* d = probe->display();
    X11ErrorTrap trap(d);
    XGrabKey(d, XKeysymToKeycode(d, XK_Escape), 0, probe->root(), False, GrabModeAsync,
             GrabModeAsync);
    const bool free = trap.finish() == 0;
    XUngrabKey(d, XKeysymToKeycode(d, XK_Escape), 0, probe->root());
    probe->sync();
    return free;
  }

  TempDir dir;
  std::unique_ptr<Xvfb> server;
  std::unique_ptr<XProbe> probe;
  std::unique_ptr<ChildProcess> helper;
  Window desk = 0;
  std::shared_ptr<const Config> cfg;
  std::unique_ptr<Geometry> geo;
};

TEST_F(HelperOnDesktop, HoldingTheRightButtonOpensTheWheelAtThePressPoint) {
  launch();
  EXPECT_EQ(countLogged("hotkey Cmd+Alt+W registered"), 1);
  holdOpen();
  probe->release(Button3);
  // Released in the dead zone: closed without a pick, "~open" stays. (Moving on before the
  // helper has seen the release would let its pointer query see the new place.)
  ASSERT_TRUE(until([&] { return !overlayMapped(); }));
  probe->moveTo(100, 100);
  probe->click(Button3, 100, 100);  // a fence: this short click comes back to the desk
  ASSERT_TRUE(until([&] { return buttonsOnDesk().size() == 2; }));
  EXPECT_EQ(cmd(), "~open");
  EXPECT_EQ(buttonsOnDesk()[0].xRoot, 100);
}

TEST_F(HelperOnDesktop, ReleasingOverAnArcToolFiresIt) {
  launch();
  const char* const commands[] = {"copy", "paste", "cut"};
  for (int tool = 0; tool < 3; ++tool) {
    holdOpen(tool + 1);
    pointAtTool(0, arcTool(0, tool));
    probe->release(Button3);
    ASSERT_TRUE(waitCmd(commands[tool])) << "tool " << tool << "\n" << log();
    EXPECT_TRUE(waitLogged(std::string("fired ") + commands[tool]));
  }
  EXPECT_TRUE(buttonsOnDesk().empty());
}

TEST_F(HelperOnDesktop, ReleasingOverAnAnchorCellFiresItsTool) {
  launch();
  const char* const commands[] = {"anchor:0,0", "anchor:0.5,0.5", "anchor:1,1"};
  for (int tool = 0; tool < 3; ++tool) {
    holdOpen(tool + 1);
    pointAtTool(1, gridTool(1, tool));
    probe->release(Button3);
    ASSERT_TRUE(waitCmd(commands[tool])) << "tool " << tool << "\n" << log();
  }
}

TEST_F(HelperOnDesktop, SegmentChosenInTheRingStaysLatchedBeyondIt) {
  launch();
  holdOpen();
  // Into the one-tool segment's ring, then out past the radius towards the empty segment.
  moveTo(polar(kCentre, segmentMidAngle(3, 4), 0.65 * cfg->radius));
  moveTo(polar(kCentre, segmentMidAngle(2, 4) - 20, 1.5 * cfg->radius));
  probe->release(Button3);
  ASSERT_TRUE(waitCmd("only")) << log();
}

TEST_F(HelperOnDesktop, ShortRightClicksReachTheApplicationOnceEach) {
  launch();
  for (int round = 0; round < 20; ++round) {
    probe->clearEvents();
    const int x = 200 + round * 10;
    probe->click(Button3, x, 300);
    probe->click(Button3, x, 320);
    ASSERT_TRUE(until([&] { return buttonsOnDesk().size() >= 4; })) << "round " << round;
    // A third click as a fence: anything doubled would have come before it.
    probe->click(Button3, x, 340);
    ASSERT_TRUE(until([&] { return buttonsOnDesk().size() >= 6; }));
    const std::vector<ProbeEvent> got = buttonsOnDesk();
    ASSERT_EQ(got.size(), 6u) << "round " << round;
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(got[i].type, i % 2 ? ButtonRelease : ButtonPress);
      EXPECT_EQ(got[i].detail, 3u);
      EXPECT_EQ(got[i].xRoot, x);
      EXPECT_EQ(got[i].yRoot, 300 + 20 * (i / 2)) << "round " << round;
    }
  }
  EXPECT_EQ(countLogged("wheel shown at 200,300"), 0);
}

TEST_F(HelperOnDesktop, HotKeyOpensAtThePointerAndClosesAgain) {
  launch();
  probe->moveTo(500, 300);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 500,300")) << log();
  EXPECT_TRUE(waitCmd("~open"));
  EXPECT_EQ(probe->focused(), desk);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel closed without a pick")) << log();
  EXPECT_EQ(cmd(), "~open");
}

TEST_F(HelperOnDesktop, LeftClickFiresTheToolUnderThePointerInHotKeyMode) {
  launch();
  probe->moveTo(640, 400);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 640,400")) << log();
  pointAtTool(0, arcTool(0, 1));
  // The cell is clickable once it is on the screen: without a compositor the window's shape
  // follows what is painted.
  const Pixel tool = at(arcTool(0, 1));
  ASSERT_TRUE(until([&] { return screen()->at(tool.x, tool.y) != kDesk; }));
  probe->click(Button1, tool.x, tool.y);
  ASSERT_TRUE(waitCmd("paste")) << log();
  EXPECT_TRUE(buttonsOnDesk().empty());
}

TEST_F(HelperOnDesktop, RightOrMiddleClickClosesTheHotKeyWheelWithoutAPick) {
  launch();
  for (unsigned button : {Button3, Button2}) {
    probe->moveTo(640, 400);
    probe->chord({XK_Super_L, XK_Alt_L, XK_w});
    const int opened = button == Button3 ? 1 : 2;
    ASSERT_TRUE(waitLogged("wheel opened by hotkey at 640,400", opened)) << log();
    probe->click(button, 650, 410);
    ASSERT_TRUE(waitLogged("wheel closed without a pick", opened)) << log();
  }
  EXPECT_EQ(cmd(), "~open");
  EXPECT_TRUE(buttonsOnDesk().empty());
}

TEST_F(HelperOnDesktop, EscapeClosesOnlyTheHotKeyWheelAndOtherwiseReachesTheApplication) {
  launch();
  probe->chord({XK_Escape});
  ASSERT_TRUE(until([&] { return keyPressesOnDesk(XK_Escape) == 1; }));

  probe->moveTo(640, 400);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 640,400")) << log();
  probe->chord({XK_Escape});
  ASSERT_TRUE(waitLogged("wheel closed without a pick")) << log();
  EXPECT_EQ(keyPressesOnDesk(XK_Escape), 1);

  // Given back with the close: once the helper's ungrab has reached the server, the key can
  // be grabbed by anyone again.
  ASSERT_TRUE(until([&] { return escapeIsFree(); }));
  probe->chord({XK_Escape});
  ASSERT_TRUE(until([&] { return keyPressesOnDesk(XK_Escape) == 2; }));

  // Taken again by the next opening.
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 640,400", 2)) << log();
  probe->chord({XK_Escape});
  ASSERT_TRUE(waitLogged("wheel closed without a pick", 2)) << log();
  EXPECT_EQ(keyPressesOnDesk(XK_Escape), 2);
}

TEST_F(HelperOnDesktop, ApplicationKeepsTheKeyboardWhileTheWheelIsOpen) {
  launch();
  probe->moveTo(640, 400);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 640,400")) << log();
  EXPECT_EQ(probe->focused(), desk);
  probe->chord({XK_a});
  ASSERT_TRUE(until([&] { return keyPressesOnDesk(XK_a) == 1; }));
}

TEST_F(HelperOnDesktop, ScreenShowsTheSelectedSegmentInItsColourAndTheDesktopAround) {
  launch();
  holdOpen();
  const Point ring = polar(kCentre, segmentMidAngle(0, 4), 0.75 * cfg->radius);
  moveTo(ring);
  ASSERT_TRUE(until([&] { return isRed(screen()->at(at(ring).x, at(ring).y)); }))
      << "the selected segment is not painted red";
  const Screenshot shot = *screen();
  // An unselected segment is not in its colour; the window's corners show the desktop.
  const Point other = polar(kCentre, segmentMidAngle(1, 4), 0.75 * cfg->radius);
  EXPECT_FALSE(isGreen(shot.at(at(other).x, at(other).y)));
  const int e = int(2 * cfg->radius + 8);
  EXPECT_EQ(shot.at(640 - e + 3, 400 - e + 3), kDesk);
  EXPECT_EQ(shot.at(640 + e - 3, 400 + e - 3), kDesk);
  probe->release(Button3);
}

TEST_F(HelperOnDesktop, ReloadWhileOpenRedrawsTheWheel) {
  launch();
  holdOpen();
  const Point ring = polar(kCentre, segmentMidAngle(0, 4), 0.75 * cfg->radius);
  moveTo(ring);
  ASSERT_TRUE(until([&] { return isRed(screen()->at(at(ring).x, at(ring).y)); }));
  std::string changed = kWheel;
  changed.replace(changed.find("#ff0000"), 7, "#ff00ff");
  writeFile(dir.file("wheel.cfg"), changed);
  ASSERT_TRUE(until([&] { return isMagenta(screen()->at(at(ring).x, at(ring).y)); }, 5s)) << log();
  probe->release(Button3);
}

TEST_F(HelperOnDesktop, RefusedHotKeyIsLoggedAndHoldingTheButtonStillWorks) {
  Display* d = probe->display();
  XGrabKey(d, XKeysymToKeycode(d, XK_w), Mod4Mask | Mod1Mask, probe->root(), False, GrabModeAsync,
           GrabModeAsync);
  probe->sync();
  launch();
  EXPECT_EQ(countLogged("hotkey Cmd+Alt+W REFUSED, status 10"), 1) << log();
  holdOpen();
  pointAtTool(0, arcTool(0, 2));
  probe->release(Button3);
  ASSERT_TRUE(waitCmd("cut"));
}

// Opened off the screen's centre, at (500, 300), so a wrong vertical flip shows. Without a
// compositor the window's shape is the painted pixels; the clicks land where nothing is painted.
TEST_F(HelperOnDesktop, TheHotKeyWheelTakesEveryClickInItsSquareAndNothingOfItReachesTheDesk) {
  launch();
  struct Click {
    std::vector<Pixel> path;  // where the pointer goes first
    unsigned button;
    Pixel at;
    const char* fired;  // null: closed without a pick
  };
  const Click clicks[] = {
      {{}, Button1, {500, 192}, "paste"},          // between the ring and the tool cells
      {{}, Button1, {295, 115}, "only"},           // the square's corner
      {{{500, 235}}, Button1, {622, 256}, "cut"},  // past the arc's end: the nearer tool
      {{}, Button2, {705, 505}, nullptr},          // the opposite corner
  };
  int opened = 0;
  int closed = 0;
  for (const Click& c : clicks) {
    probe->moveTo(500, 300);
    probe->chord({XK_Super_L, XK_Alt_L, XK_w});
    ASSERT_TRUE(waitLogged("wheel opened by hotkey at 500,300", ++opened)) << log();
    for (const Pixel& p : c.path) probe->moveTo(p.x, p.y);
    probe->click(c.button, c.at.x, c.at.y);
    if (c.fired) {
      ASSERT_TRUE(waitCmd(c.fired)) << c.at.x << "," << c.at.y << "\n" << log();
    } else {
      ASSERT_TRUE(waitLogged("wheel closed without a pick", ++closed)) << log();
    }
    ASSERT_TRUE(until([&] { return !overlayMapped(); }));
  }
  // Escape held a while: its release is the helper's too.
  probe->moveTo(500, 300);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 500,300", ++opened)) << log();
  probe->keyDown(XK_Escape);
  ASSERT_TRUE(waitLogged("wheel closed without a pick", ++closed)) << log();
  probe->keyUp(XK_Escape);
  // A fence: a click outside any wheel reaches the desk, and everything before it has too.
  probe->click(Button1, 100, 100);
  ASSERT_TRUE(until([&] { return buttonsOnDesk().size() == 2; }));
  EXPECT_EQ(buttonsOnDesk()[0].xRoot, 100);
  for (const ProbeEvent& e : probe->events) {
    if (e.type != KeyPress && e.type != KeyRelease) continue;
    EXPECT_NE(e.detail, XKeysymToKeycode(probe->display(), XK_w));
    EXPECT_NE(e.detail, XKeysymToKeycode(probe->display(), XK_Escape));
  }
}

// A short click at (300, 600) and at once a hold at (640, 400): the pick fires, and the click,
// overtaken by the new press before it could go out, is dropped, not sent after the pick (which
// would also take the pointer back to it).
TEST_F(HelperOnDesktop, AShortClickThenAnImmediateHoldAndPickNeverClicksLate) {
  launch();
  probe->batch([](Display* d) {
    XTestFakeMotionEvent(d, -1, 300, 600, CurrentTime);
    XTestFakeButtonEvent(d, 3, True, CurrentTime);
    XTestFakeButtonEvent(d, 3, False, CurrentTime);
    XTestFakeMotionEvent(d, -1, 640, 400, CurrentTime);
    XTestFakeButtonEvent(d, 3, True, CurrentTime);
  });
  ASSERT_TRUE(waitLogged("wheel shown at 640,400")) << log();
  probe->moveTo(640, 265);  // Paste, straight up
  probe->release(Button3);
  ASSERT_TRUE(waitCmd("paste")) << log();
  probe->click(Button3, 100, 100);  // a fence
  ASSERT_TRUE(until([&] {
    return !buttonsOnDesk().empty() && buttonsOnDesk().back().xRoot == 100 &&
           buttonsOnDesk().back().type == ButtonRelease;
  }));
  EXPECT_EQ(buttonsOnDesk().size(), 2u);
}

// The press made before a hot-key opening and released during it is spent: closing a later
// hot-key wheel with a right press clicks nowhere (a long hold keeps the timer out of it).
TEST_F(HelperOnDesktop, APressSpentOnAHotKeyOpeningIsNeverClickedLater) {
  launch("HOLD|5000\nSIZE|100\nSEG|A|#ff0000\nTOOL|t|tool\n");
  probe->moveTo(350, 500);
  probe->press(Button3);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 350,500")) << log();
  probe->release(Button3);
  ASSERT_TRUE(until([&] { return !overlayMapped(); }));
  probe->moveTo(600, 300);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 600,300")) << log();
  probe->click(Button3, 600, 300);
  ASSERT_TRUE(waitLogged("wheel closed without a pick")) << log();
  probe->click(Button3, 100, 100);  // a fence: a short click comes back after anything earlier
  ASSERT_TRUE(until(
      [&] { return !buttonsOnDesk().empty() && buttonsOnDesk().back().type == ButtonRelease; }));
  ASSERT_EQ(buttonsOnDesk().size(), 2u);
  EXPECT_EQ(buttonsOnDesk()[0].xRoot, 100);
}

// Under a window manager, Alt with the right button is its own (openbox resizes with it);
// a plain right click still goes through the helper to the window.
TEST_F(HelperOnDesktop, UnderOpenboxAltRightDragResizesAndAPlainRightClickReachesTheWindow) {
  if (access("/usr/bin/openbox", X_OK) != 0) GTEST_SKIP() << "no openbox";
  launch();
  // Mapped before openbox starts, which then takes it under its management.
  const Window app = probe->createWindow(300, 200, 200, 150, 0x806040, false);
  ChildProcess openbox({"/usr/bin/openbox", "--config-file", "/etc/xdg/openbox/rc.xml"},
                       {"DISPLAY=" + server->display(), "HOME=" + dir.path()});
  auto parent = [&] {
    Window root = 0;
    Window up = 0;
    Window* children = nullptr;
    unsigned n = 0;
    XQueryTree(probe->display(), app, &root, &up, &children, &n);
    if (children) XFree(children);
    return up;
  };
  // Framed and placed: the frame sits at the window's old place, under its title bar.
  Window child = 0;
  int x = 0;
  int y = 0;
  ASSERT_TRUE(until([&] {
    XTranslateCoordinates(probe->display(), app, probe->root(), 0, 0, &x, &y, &child);
    return parent() != probe->root() && y > 200;
  })) << openbox.stderrText();
  XLowerWindow(probe->display(), desk);  // the frame above the desk, as on a desktop
  auto width = [&] {
    XWindowAttributes a{};
    XGetWindowAttributes(probe->display(), app, &a);
    return a.width;
  };
  // Near the bottom right corner, which openbox then drags. Openbox takes up a press and a
  // drag in its own time, the more so on a loaded machine: drag again until the window grows.
  XTranslateCoordinates(probe->display(), app, probe->root(), 180, 130, &x, &y, &child);
  bool resized = false;
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (!resized && std::chrono::steady_clock::now() < end) {
    probe->keyDown(XK_Alt_L);
    probe->moveTo(x, y);
    probe->press(Button3);
    for (int step = 1; step <= 10 && !resized; ++step) {
      probe->moveTo(x + 4 * step, y + 2 * step);
      resized = until([&] { return width() > 230; }, 100ms);
    }
    probe->release(Button3);
    probe->keyUp(XK_Alt_L);
  }
  ASSERT_TRUE(resized) << "openbox did not resize";
  // Openbox lets the pointer go once it has taken in the release.
  ASSERT_TRUE(until([&] {
    Display* d = probe->display();
    const bool free = XGrabPointer(d, probe->root(), False, 0, GrabModeAsync, GrabModeAsync, None,
                                   None, CurrentTime) == GrabSuccess;
    if (free) XUngrabPointer(d, CurrentTime);
    return free;
  }));

  probe->clearEvents();
  probe->click(Button3, x, y);
  ASSERT_TRUE(until([&] { return probe->count(ButtonRelease, app) == 1; }));
  EXPECT_EQ(probe->count(ButtonPress, app), 1);
}

TEST_F(HelperOnDesktop, OutlivesItsXServerAndStillServesTheFileProtocol) {
  launch();
  probe.reset();
  server->stop();
  const std::string before = readFile(dir.file("pid.txt"));
  // The heartbeat goes on without the display...
  ASSERT_TRUE(eventually([&] { return readFile(dir.file("pid.txt")) != before; }, 5s));
  // ...and a stop request still ends the helper cleanly.
  writeFile(dir.file("stop.txt"), "");
  EXPECT_EQ(helper->waitExit(5s), 0);
}

}  // namespace
}  // namespace nimbra::testing

namespace nimbra::testing {
namespace {

long residentKb(pid_t pid) {
  std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// A SIZE of 10^12 once made the overlay allocate pixel buffers the size of the whole view
// (gigabytes); the window is now cut down to the screen and the hub fills it.
TEST_F(HelperOnDesktop, AHugeRadiusOpensAWindowNoLargerThanTheScreen) {
  launch("SIZE|1000000000000\nHOLD|150\nSEG|A|#ff0000\nTOOL|t|tool\nSEG|B|#00ff00\n");
  holdOpen();
  ASSERT_TRUE(until([&] { return overlayMapped(); }));
  EXPECT_LT(residentKb(helper->pid()), 200 * 1024);
  // The whole screen lies inside the hub: dark, opaque, nothing of the desktop.
  ASSERT_TRUE(until([&] { return screen()->at(100, 100) != kDesk; }));
  const std::uint32_t hub = screen()->at(1200, 700);
  EXPECT_LT((hub >> 16) & 0xFF, 0x30);
  EXPECT_LT(hub & 0xFF, 0x30);
  probe->release(Button3);
  ASSERT_TRUE(until([&] { return !overlayMapped(); }));
  EXPECT_EQ(cmd(), "~open");
}

}  // namespace
}  // namespace nimbra::testing
