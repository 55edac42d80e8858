// The real nimbra-wheel binary on a private X server, driven only through XTest input and
// watched through its files and the screen.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <sstream>

#include "platform/x11/x11_error_trap.h"
#include "support/child_process.h"
#include "support/helper_fixture.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kDesk = 0x305070;

struct Pixel {
  int x;
  int y;
};

// Radius 100: the red segment is the upper one, Copy, Paste and Cut 130 pixels out on its arc.
class HelperOnDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<Xvfb>();
    ASSERT_TRUE(server->ok());
    probe = std::make_unique<XProbe>(server->display());
    desk = probe->createWindow(0, 0, 1280, 800, kDesk);
    probe->focus(desk);
  }

  void TearDown() override {
    if (helper && helper->running()) {
      writeFile(dir.file("stop.txt"), "");
      EXPECT_EQ(helper->waitExit(5s), 0);
    }
  }

  void launch(const char* wheelCfg = kFourSegments) {
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
  std::vector<ProbeEvent> buttonsOnDesk() const {
    std::vector<ProbeEvent> out;
    for (const ProbeEvent& e : probe->events) {
      if ((e.type == ButtonPress || e.type == ButtonRelease) && e.window == desk) {
        out.push_back(e);
      }
    }
    return out;
  }
  // A short click at (100, 100) comes back to the desk after anything sent before it.
  void expectOnlyTheFenceClickOnTheDesk() {
    probe->click(Button3, 100, 100);
    ASSERT_TRUE(until([&] {
      return !buttonsOnDesk().empty() && buttonsOnDesk().back().xRoot == 100 &&
             buttonsOnDesk().back().type == ButtonRelease;
    }));
    ASSERT_EQ(buttonsOnDesk().size(), 2u);
    EXPECT_EQ(buttonsOnDesk()[0].xRoot, 100);
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
};

// A short click at (300, 600) and at once a hold at (640, 200), near the top of the screen: the
// wheel shows there, its upper segment lit as the pointer goes up, and the pick fires. The
// click, overtaken by the new press before it could go out, is dropped, not sent after the pick
// (which would also take the pointer back to it).
TEST_F(HelperOnDesktop, AShortClickThenAnImmediateHoldAndPickNeverClicksLate) {
  launch();
  EXPECT_EQ(countLogged("hotkey Cmd+Alt+W registered"), 1);
  probe->batch([](Display* d) {
    XTestFakeMotionEvent(d, -1, 300, 600, CurrentTime);
    XTestFakeButtonEvent(d, 3, True, CurrentTime);
    XTestFakeButtonEvent(d, 3, False, CurrentTime);
    XTestFakeMotionEvent(d, -1, 640, 200, CurrentTime);
    XTestFakeButtonEvent(d, 3, True, CurrentTime);
  });
  ASSERT_TRUE(waitLogged("wheel shown at 640,200")) << log();
  EXPECT_TRUE(waitCmd("~open"));
  probe->moveTo(640, 125);  // the upper segment's ring
  ASSERT_TRUE(until([&] {
    const std::uint32_t p = screen()->at(640, 125);
    return (p >> 16) > 180 && ((p >> 8) & 0xFF) < 70 && (p & 0xFF) < 70;
  })) << "the selected segment is not painted red";
  const Screenshot shot = *screen();
  EXPECT_NE(shot.at(715, 200), shot.at(640, 125)) << "an unselected segment is lit";
  EXPECT_EQ(shot.at(435, 405), kDesk);  // the window's lower corners
  EXPECT_EQ(shot.at(845, 405), kDesk);
  probe->moveTo(640, 65);  // Paste
  probe->release(Button3);
  ASSERT_TRUE(waitCmd("paste")) << log();
  expectOnlyTheFenceClickOnTheDesk();
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
  expectOnlyTheFenceClickOnTheDesk();
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
  probe->moveTo(640, 400);
  probe->press(Button3);
  ASSERT_TRUE(until([&] { return overlayMapped(); })) << log();
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
