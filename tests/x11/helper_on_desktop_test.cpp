// The real helper on a private X server, driven through XTest and watched through its files and
// the screen. kFourSegments has radius 100; its red segment is the upper one, with Copy, Paste
// and Cut on its arc.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/keysym.h>
#include <signal.h>

#include "support/child_process.h"
#include "support/helper_fixture.h"
#include "support/temp_dir.h"
#include "x11_fixture.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kDesk = 0x305070;

class HelperOnDesktop : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
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
  bool waitLogged(const std::string& message, int times = 1) {
    return waitFor([&] {
      const std::string text = log(), line = "] " + message + "\n";
      int n = 0;
      for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
      return n >= times;
    });
  }
  bool waitCmd(const std::string& text) {
    return waitFor([&] { return cmd() == text; });
  }
  void hotKeyAt(int x, int y, int times = 1) {
    probe->moveTo(x, y);
    probe->chord({XK_Super_L, XK_Alt_L, XK_w});
    const std::string at = std::to_string(x) + "," + std::to_string(y);
    ASSERT_TRUE(waitLogged("wheel opened by hotkey at " + at, times)) << log();
  }
  // A short click at (100, 100) comes back to the desk after anything sent before it.
  void expectOnlyTheFenceClickOnTheDesk() {
    probe->click(Button3, 100, 100);
    ASSERT_TRUE(waitFor([&] { return probe->count(ButtonRelease, desk) >= 1; }));
    ASSERT_EQ(buttons(desk), 2);
    EXPECT_EQ(clicks()[0][2], 100);
  }
  std::uint32_t pixel(int x, int y) const {
    return readXwd(server->framebufferFile()).value_or(Screenshot{1, 1, {0}}).at(x, y);
  }
  bool overlayMapped() const {  // any window of the helper's
    for (Window w : probe->stacking()) {
      XWindowAttributes a{};
      if (w != desk && XGetWindowAttributes(probe->display(), w, &a) && a.map_state == IsViewable)
        return true;
    }
    return false;
  }

  TempDir dir;
  std::unique_ptr<ChildProcess> helper;
  Window desk = 0;
};

// A click, then at once a hold near the top of the screen: the wheel shows there, lights the
// upper segment, and picks; the overtaken click is dropped, not sent after the pick.
TEST_F(HelperOnDesktop, AShortClickThenAnImmediateHoldAndPickNeverClicksLate) {
  launch();
  probe->batch([](Display* d) {
    XTestFakeMotionEvent(d, -1, 300, 600, 0);
    XTestFakeButtonEvent(d, 3, True, 0);
    XTestFakeButtonEvent(d, 3, False, 0);
    XTestFakeMotionEvent(d, -1, 640, 200, 0);
    XTestFakeButtonEvent(d, 3, True, 0);
  });
  ASSERT_TRUE(waitLogged("wheel shown at 640,200")) << log();
  EXPECT_TRUE(waitCmd("~open"));
  probe->moveTo(640, 125);  // the upper segment's ring
  ASSERT_TRUE(waitFor([&] {
    const std::uint32_t p = pixel(640, 125);
    return (p >> 16) > 180 && ((p >> 8) & 0xFF) < 70 && (p & 0xFF) < 70;
  })) << "the selected segment is not painted red";
  EXPECT_NE(pixel(715, 200), pixel(640, 125)) << "an unselected segment is lit";
  EXPECT_EQ(pixel(435, 405), kDesk);  // the window's lower corners
  EXPECT_EQ(pixel(845, 405), kDesk);
  probe->moveTo(640, 65);  // Paste
  probe->release(Button3);
  ASSERT_TRUE(waitCmd("paste")) << log();
  expectOnlyTheFenceClickOnTheDesk();
}

TEST_F(HelperOnDesktop, EscapeClosesOnlyTheHotKeyWheelAndOtherwiseReachesTheApplication) {
  launch();
  for (int opening = 1; opening <= 2; ++opening) {
    probe->chord({XK_Escape});
    ASSERT_TRUE(waitFor([&] { return probe->keys(KeyPress, XK_Escape) == opening; }));
    hotKeyAt(640, 400, opening);
    probe->chord({XK_Escape});
    ASSERT_TRUE(waitLogged("wheel closed without a pick", opening)) << log();
    EXPECT_EQ(probe->keys(KeyPress, XK_Escape), opening);
    ASSERT_TRUE(waitFor([&] { return !grabbedElsewhere(probe->code(XK_Escape), 0); }))
        << "not given back with the close";
  }
}

// The fault: the hot key froze the keyboard until the helper let it go; stopped, the helper
// froze every client's keyboard.
TEST_F(HelperOnDesktop, AStoppedHelperFreezesNoKeyboardAndTheHotKeyActsOnceItRuns) {
  launch();
  helper->signal(SIGSTOP);
  probe->moveTo(640, 400);
  probe->chord({XK_Super_L, XK_Alt_L, XK_w});
  probe->chord({XK_a});
  const bool typed = waitFor([&] { return probe->keys(KeyRelease, XK_a) == 1; });
  helper->signal(SIGCONT);
  EXPECT_TRUE(typed) << "the keyboard waits for the helper";
  EXPECT_TRUE(waitLogged("wheel opened by hotkey at 640,400")) << log();
}

// Keys a keyboard reports in one frame (XTest sends them back to back), or 2 ms apart, W up
// first or last: each chord opens or closes the wheel, and W never reaches the window. The
// fault: every other chord was lost, and the window got W's release.
TEST_F(HelperOnDesktop, EveryHotKeyActsHoweverSoonItsKeysComeUpAndWNeverReachesTheWindow) {
  launch();
  probe->moveTo(640, 400);
  const unsigned super = probe->code(XK_Super_L), alt = probe->code(XK_Alt_L),
                 w = probe->code(XK_w);
  int chords = 0;
  for (const bool wFirst : {true, false}) {
    for (const unsigned long gapMs : {0ul, 2ul}) {
      for (int i = 0; i < 8; ++i, ++chords) {
        probe->batch([&](Display* d) {
          for (unsigned k : {super, alt, w}) XTestFakeKeyEvent(d, k, True, gapMs);
          for (unsigned k : wFirst ? std::array{w, alt, super} : std::array{super, alt, w})
            XTestFakeKeyEvent(d, k, False, gapMs);
        });
      }
      ASSERT_TRUE(waitLogged("wheel closed without a pick", chords / 2)) << wFirst << gapMs;
    }
  }
  EXPECT_EQ(countMessages(log(), "wheel opened by hotkey at 640,400"), chords / 2);
  EXPECT_EQ(probe->keys(KeyPress, XK_w) + probe->keys(KeyRelease, XK_w), 0);
}

// Under openbox the wheel, opened by hold and by the hot key, is never managed (no frame, no
// focus, no place in the client list), and a short click reaches the window openbox manages.
TEST_F(HelperOnDesktop, UnderOpenboxTheWheelIsNeverManagedAndAShortClickReachesAManagedWindow) {
  launch();
  // Mapped before openbox starts, which then manages it.
  const Window app = probe->createWindow(300, 200, 200, 150, 0x806040, false);
  ChildProcess openbox({"/usr/bin/openbox", "--config-file", "/etc/xdg/openbox/rc.xml"},
                       {"DISPLAY=" + server->display(), "HOME=" + dir.path()});
  Display* d = probe->display();
  Window child = 0;
  int x = 0, y = 0;
  // Framed, placed and shown: the frame sits at the window's old place, the window under its title.
  ASSERT_TRUE(waitFor([&] {
    XWindowAttributes a{};
    XTranslateCoordinates(d, app, probe->root(), 0, 0, &x, &y, &child);
    return y > 200 && XGetWindowAttributes(d, app, &a) && a.map_state == IsViewable;
  })) << openbox.stderrText();
  XLowerWindow(d, desk);  // the frame above the desk, as on a desktop
  probe->focus(app);
  auto unmanaged = [&] {  // the window is the one client and keeps the focus
    Atom type = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* list = nullptr;
    XGetWindowProperty(d, probe->root(), XInternAtom(d, "_NET_CLIENT_LIST", False), 0, 8, False,
                       XA_WINDOW, &type, &format, &n, &after, &list);
    XFree(list);
    Window focus = 0;
    XGetInputFocus(d, &focus, &format);
    return n == 1 && focus == app;
  };
  ASSERT_TRUE(waitFor(unmanaged)) << "before any opening";
  for (bool hotKey : {false, true}) {  // by hold, then by the hot key
    hotKey ? hotKeyAt(900, 500) : (probe->moveTo(900, 500), probe->press(Button3));
    ASSERT_TRUE(waitLogged("wheel shown at 900,500", 1 + hotKey)) << log();
    ASSERT_TRUE(waitFor([&] { return pixel(900, 440) != kDesk; }));  // the upper segment
    EXPECT_TRUE(unmanaged()) << hotKey;
    hotKey ? probe->chord({XK_Escape}) : probe->release(Button3);
    ASSERT_TRUE(waitFor([&] { return pixel(900, 440) == kDesk; }));
  }
  probe->click(Button3, x + 100, y + 75);
  ASSERT_TRUE(waitFor([&] { return buttons(app) == 2; }));
}

TEST_F(HelperOnDesktop, OutlivesItsXServerAndStillServesTheFileProtocol) {
  launch();
  probe.reset();
  server->stop();
  const std::string before = readFile(dir.file("pid.txt"));
  ASSERT_TRUE(eventually([&] { return readFile(dir.file("pid.txt")) != before; }, 5s))
      << "no heartbeat without the display";
  writeFile(dir.file("stop.txt"), "");
  EXPECT_EQ(helper->waitExit(5s), 0);
}

// A SIZE of 10^12 once allocated gigabytes of pixels: the window is cut down to the screen.
TEST_F(HelperOnDesktop, AHugeRadiusOpensAWindowNoLargerThanTheScreen) {
  launch("SIZE|1000000000000\nHOLD|150\nSEG|A|#ff0000\nTOOL|t|tool\nSEG|B|#00ff00\n");
  probe->moveTo(640, 400);
  probe->press(Button3);
  ASSERT_TRUE(waitFor([&] { return overlayMapped(); })) << log();
  const std::string status = readFile("/proc/" + std::to_string(helper->pid()) + "/status");
  EXPECT_LT(std::atol(status.c_str() + status.find("VmRSS:") + 6), 200 * 1024);
  ASSERT_TRUE(waitFor([&] { return pixel(100, 100) != kDesk; }));
  EXPECT_LT(pixel(1200, 700) >> 16, 0x30u);
  EXPECT_LT(pixel(1200, 700) & 0xFF, 0x30u);
  probe->release(Button3);
  ASSERT_TRUE(waitFor([&] { return !overlayMapped(); }));
  EXPECT_EQ(cmd(), "~open");
}

}  // namespace
}  // namespace nimbra::testing
