// The real helper on a private headless sway: summoned by `nimbra-wheel --open`, its pointer a
// virtual one of the test's, its keys typed with wtype, watched through its files and grim.
// kFourSegments has radius 100; its red segment is the upper one, with Copy, Paste and Cut on
// its arc.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/child_process.h"
#include "support/helper_fixture.h"
#include "support/temp_dir.h"
#include "sway_session.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kDesk = 0x305070;

bool red(std::uint32_t p) {
  return (p >> 16) > 180 && ((p >> 8) & 0xFF) < 70 && (p & 0xFF) < 70;
}

class HelperOnSway : public ::testing::Test {
 protected:
  void SetUp() override {
    session = std::make_unique<SwaySession>(
        "output HEADLESS-1 resolution 1280x720 position 0 0 bg #305070 solid_color\n");
    ASSERT_TRUE(session->ok()) << "sway did not start";
    pointer = std::make_unique<VirtualPointer>(session->socket());
    ASSERT_TRUE(pointer->ok()) << "no virtual pointer";
    // A seat keyboard for the whole test, as a desktop has: each wtype's own comes and goes.
    keyboard = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/wtype", "-s", "60000"}, session->env());
  }
  void TearDown() override {
    if (helper && helper->running()) {
      writeFile(dir.file("stop.txt"), "");
      EXPECT_EQ(helper->waitExit(5s), 0) << helper->stderrText();
    }
  }

  // As the desktop's user, the helper runs from a copy in its folder: the build's may be out of
  // that user's reach.
  void launch(const std::vector<std::string>& env = {}, bool asUser = false) {
    writeFile(dir.file("wheel.cfg"), kFourSegments);
    std::vector<std::string> all = session->env();
    all.insert(all.end(), env.begin(), env.end());
    std::vector<std::string> args{helperBinary(), "-Dir", dir.path()};
    if (asUser) {
      args[0] = dir.file("nimbra-wheel");
      std::filesystem::copy_file(helperBinary(), args[0]);
      session->giveToUser(dir.path());
      args = session->asUser(args);
    }
    helper = std::make_unique<ChildProcess>(args, all);
    ASSERT_TRUE(waitLogged("accessibility permission NOT granted yet")) << log();
  }
  int open() { return session->run({helperBinary(), "--open", "-Dir", dir.path()}); }
  void openAt(int x, int y, int times = 1) {
    pointer->moveTo(x, y);
    ASSERT_EQ(open(), 0);
    const std::string at = std::to_string(x) + "," + std::to_string(y);
    ASSERT_TRUE(waitLogged("wheel opened by hotkey at " + at, times)) << log();
    waitShown(x, y);
  }
  // The compositor shows the surface a round trip after the log line, and only then gives it
  // the pointer and the keyboard. Its dark hub is left of the cursor's point.
  void waitShown(int x, int y, double scale = 1) {
    ASSERT_TRUE(eventually([&] {
      return pixel(int((x - 20) * scale), int((y - 5) * scale)) != kDesk;
    })) << "not on the screen";
  }
  std::string log() const { return readFile(dir.file("log.txt")); }
  bool waitLogged(const std::string& message, int times = 1) {
    return eventually([&] { return countMessages(log(), message) >= times; });
  }
  bool waitCmd(const std::string& text) {
    return eventually([&] { return readFile(dir.file("cmd.txt")) == text; });
  }
  Picture picture() const { return session->screenshot().value_or(Picture{1, 1, {0}}); }
  std::uint32_t pixel(int x, int y) const {
    const Picture p = picture();
    return x < p.width && y < p.height ? p.at(x, y) : 0;
  }

  TempDir dir;
  std::unique_ptr<SwaySession> session;
  std::unique_ptr<VirtualPointer> pointer;
  std::unique_ptr<ChildProcess> keyboard;
  std::unique_ptr<ChildProcess> helper;
};

TEST_F(HelperOnSway, ChoosesWaylandAndReportsTheInputPermissionMissing) {
  launch();
  EXPECT_EQ(readFile(dir.file("need_access.txt")), "1");
  EXPECT_EQ(countMessages(log(), "event tap installed"), 0);
  // No session bus here, so no shortcut portal: said once, whatever the ticks.
  ASSERT_TRUE(waitLogged("accessibility permission NOT granted yet", 2)) << log();
  EXPECT_EQ(countMessages(log(), "hotkey Cmd+Alt+W REFUSED, status -1"), 1);
  EXPECT_EQ(helper->stderrText(), "");
}

// Opened at the pointer: the ring with the desktop around it, the upper segment lit when the
// pointer is on it, and a left click on Paste picks it.
TEST_F(HelperOnSway, OpenShowsTheWheelAtThePointerAndALeftClickPicks) {
  launch();
  openAt(640, 200);
  EXPECT_TRUE(waitCmd("~open"));
  // The upper segment's ring; sway paints the cursor into the picture, right of and below it.
  pointer->moveTo(640, 125);
  ASSERT_TRUE(eventually([&] { return red(pixel(620, 130)); }))
      << "the selected segment is not painted red";
  const Picture shown = picture();
  EXPECT_NE(shown.at(715, 200), shown.at(620, 130)) << "an unselected segment is lit";
  EXPECT_EQ(shown.at(435, 405), kDesk);  // the square's lower corners
  EXPECT_EQ(shown.at(845, 405), kDesk);
  pointer->moveTo(640, 65);  // Paste
  pointer->click(BTN_LEFT);
  ASSERT_TRUE(waitCmd("paste")) << log();
  EXPECT_TRUE(eventually([&] { return pixel(620, 130) == kDesk; })) << "still on the screen";
}

// Opened at the pointer, off centre: the square takes the clicks, a pick or a close each; Escape
// and a second summons close it too.
TEST_F(HelperOnSway, TheSummonedWheelTakesTheClicksInItsSquareAndClosesOnEscapeOrASecondSummons) {
  launch();
  const std::tuple<int, std::uint32_t, int, int, const char*> clicks[] = {
      {300, BTN_LEFT, 500, 192, "paste"},     // between the ring and the tool cells
      {300, BTN_LEFT, 295, 115, "only"},      // the square's corner
      {300, BTN_RIGHT, 500, 300, nullptr},    // the centre: right closes
      {300, BTN_MIDDLE, 705, 505, nullptr}};  // the opposite corner
  int opened = 0, closed = 0;
  for (auto [viaY, button, x, y, fired] : clicks) {
    openAt(500, 300, ++opened);
    pointer->moveTo(500, viaY);
    pointer->moveTo(x, y);
    pointer->click(button);
    closed += fired ? 0 : 1;
    ASSERT_TRUE(fired ? waitCmd(fired) : waitLogged("wheel closed without a pick", closed))
        << x << "," << y << "\n"
        << log();
  }
  openAt(500, 300, ++opened);
  ASSERT_EQ(session->run({"/usr/bin/wtype", "-k", "Escape"}), 0);
  ASSERT_TRUE(waitLogged("wheel closed without a pick", ++closed)) << log();
  openAt(500, 300, ++opened);
  ASSERT_EQ(open(), 0);
  ASSERT_TRUE(waitLogged("wheel closed without a pick", ++closed)) << log();
  EXPECT_TRUE(eventually([&] { return pixel(470, 290) == kDesk; })) << "still on the screen";
}

// As a user sets it up: Super+Alt+W bound in sway's configuration to `nimbra-wheel --open`, the
// helper and the binding's command run as the desktop's user.
TEST_F(HelperOnSway, SuperAltWBoundInSwaysConfigurationOpensTheWheelAtThePointerAndClosesIt) {
  launch({}, true);
  const std::string bind =
      "bindsym Mod4+Mod1+w exec " + dir.file("nimbra-wheel") + " --open -Dir " + dir.path();
  ASSERT_EQ(session->run({"/usr/bin/swaymsg", bind}), 0);
  auto chord = [&] {
    ASSERT_EQ(session->run({"/usr/bin/wtype", "-M", "logo", "-M", "alt", "-k", "w", "-m", "alt",
                            "-m", "logo"}),
              0);
  };
  pointer->moveTo(400, 300);
  chord();
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 400,300")) << log();
  waitShown(400, 300);
  chord();
  ASSERT_TRUE(waitLogged("wheel closed without a pick")) << log();
}

// The keyboard is the wheel's only while it is open: the focused window gets the keys typed
// before and after, none typed meanwhile, and Escape closes the wheel.
TEST_F(HelperOnSway, TheFocusedWindowHasTheKeyboardAgainOnceEscapeClosedTheWheel) {
  const std::string keys = dir.file("keys.txt");
  ChildProcess window(
      {"/bin/sh", "-c", "exec stdbuf -oL /usr/bin/weston-eventdemo --log-key > " + keys},
      session->env());
  auto typed = [&](const char* text) { ASSERT_EQ(session->run({"/usr/bin/wtype", text}), 0); };
  auto got = [&](int unicode) {
    return readFile(keys).find("unicode: " + std::to_string(unicode) + ", state: released") !=
           std::string::npos;
  };
  ASSERT_TRUE(eventually([&] {
    typed("a");
    return got('a');
  })) << "the window never had the keyboard";
  launch();
  openAt(640, 360);
  typed("b");
  ASSERT_EQ(session->run({"/usr/bin/wtype", "-k", "Escape"}), 0);
  ASSERT_TRUE(waitLogged("wheel closed without a pick")) << log();
  typed("c");
  EXPECT_TRUE(eventually([&] { return got('c'); })) << "the keyboard was not given back";
  EXPECT_FALSE(got('b')) << "a key typed while the wheel was open reached the window\n"
                         << readFile(keys) << log();
}

// The desktop changed under a running helper: the wheel opens at the pointer, at the output's
// scale (more pixels, the same size on the screen) and on the output under it. sway offers no
// fractional scale: at 1.5 the wheel is painted at 2 and the compositor shrinks it.
TEST_F(HelperOnSway, OpensAtThePointerAtTheOutputsScaleAndOnASecondOutput) {
  launch();
  struct Case {
    std::vector<std::string> commands;
    int x, y, width, height;  // the pointer, in the layout of all outputs
    double scale;             // screen pixels per point
  };
  const Case cases[] = {
      {{"output HEADLESS-1 scale 2"}, 320, 180, 640, 360, 2},
      {{"output HEADLESS-1 scale 1.5"}, 400, 240, 853, 480, 1.5},
      {{"output HEADLESS-1 scale 1", "create_output",
        "output HEADLESS-2 resolution 1280x720 position 1280 0 bg #305070 solid_color"},
       1680,
       300,
       2560,
       720,
       1}};
  int closed = 0;
  for (const Case& c : cases) {
    for (const std::string& command : c.commands) {
      ASSERT_EQ(session->run({"/usr/bin/swaymsg", command}), 0) << command;
    }
    pointer->moveTo(c.x, c.y, c.width, c.height);
    // Pixels of the picture at layout points, measured from the pointer.
    auto px = [&](const Picture& p, double dx, double dy) {
      return p.at(int((c.x + dx) * c.scale), int((c.y + dy) * c.scale));
    };
    ASSERT_TRUE(eventually([&] {
      const Picture p = picture();
      return p.width == std::lround(c.width * c.scale) && px(p, 60, 0) == kDesk;
    })) << "the desktop is not ready";
    ASSERT_EQ(open(), 0);
    const std::string at = std::to_string(c.x) + "," + std::to_string(c.y);
    ASSERT_TRUE(waitLogged("wheel opened by hotkey at " + at)) << log();
    waitShown(c.x, c.y, c.scale);
    pointer->moveTo(c.x, c.y - 75, c.width, c.height);  // the upper segment's ring
    ASSERT_TRUE(eventually([&] { return red(px(picture(), -20, -70)); }))
        << c.commands.front() << ": the selected segment is not under the pointer";
    const Picture shown = picture();
    // Crisp: at a whole scale, each screen pixel across the ring's inner edge has a shade of
    // its own, where a picture painted at a lower scale and enlarged repeats each one. At 1.5
    // sway smooths either way, but an enlarged picture softens the hub's edge: its sharpest step
    // (sum over the channels) stays below that of a picture shown pixel for pixel, about 193.
    int ownShades = 0, sharpest = 0;
    const int column = int((c.x - 20) * c.scale);
    for (int y = c.y - 35; y < c.y - 15; ++y) {
      ownShades += shown.at(column, int(y * c.scale)) != shown.at(column, int(y * c.scale) + 1);
    }
    for (int row = int((c.y - 45) * c.scale); row < int((c.y - 5) * c.scale); ++row) {
      int step = 0;
      for (int shift : {0, 8, 16}) {
        step += std::abs(int(shown.at(column, row) >> shift & 255) -
                         int(shown.at(column, row + 1) >> shift & 255));
      }
      sharpest = std::max(sharpest, step);
    }
    if (c.scale == std::floor(c.scale)) {
      EXPECT_GT(ownShades, 4) << "not painted at the output's scale";
    } else {
      EXPECT_GT(sharpest, 195) << "painted below the output's scale and enlarged";
    }
    EXPECT_TRUE(red(px(shown, 0, -97))) << "the ring is smaller than its radius";
    EXPECT_EQ(px(shown, 95, 95), kDesk) << "the ring is larger than its radius";
    ASSERT_EQ(open(), 0);
    ASSERT_TRUE(waitLogged("wheel closed without a pick", ++closed)) << log();
  }
}

// The compositor goes away: the helper carries on with the files, idle, and stops on request.
TEST_F(HelperOnSway, OutlivesItsCompositorIdleAndStillServesTheFileProtocol) {
  launch();
  keyboard.reset();
  pointer.reset();
  session.reset();
  auto cpuTicks = [&] {  // user and system time, in ticks of 10 ms
    std::string line = readFile("/proc/" + std::to_string(helper->pid()) + "/stat");
    std::istringstream fields(line.substr(line.rfind(')') + 2));  // from the state, field 3
    std::string skip;
    for (int field = 3; field < 14; ++field) fields >> skip;
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
  };
  const std::string heartbeat = readFile(dir.file("pid.txt"));
  ASSERT_TRUE(eventually([&] { return readFile(dir.file("pid.txt")) != heartbeat; }));
  const long before = cpuTicks();
  const std::string next = readFile(dir.file("pid.txt"));
  ASSERT_TRUE(eventually([&] { return readFile(dir.file("pid.txt")) != next; }));
  EXPECT_LT(cpuTicks() - before, 20) << "busy without its compositor";
  writeFile(dir.file("stop.txt"), "");
  EXPECT_EQ(helper->waitExit(5s), 0);
}

// Super+Alt+W through a stand-in of the GlobalShortcuts portal on a private session bus: bound
// and pressed, or refused with the portal's response code.
TEST_F(HelperOnSway, RegistersTheHotKeyWithTheShortcutPortalAndOpensOnItsActivation) {
  TempDir bus;
  const std::string address = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bus.file("socket");
  ChildProcess daemon({"/usr/bin/dbus-daemon", "--session", "--nofork",
                       "--address=unix:path=" + bus.file("socket")});
  ASSERT_TRUE(eventually([&] { return fileExists(bus.file("socket")); })) << daemon.stderrText();
  {
    ChildProcess portal({NIMBRA_PORTAL_STAND_IN, bus.file("refusing"), "--refuse", "1"}, {address});
    ASSERT_TRUE(eventually([&] { return fileExists(bus.file("refusing")); }));
    launch({address});
    ASSERT_TRUE(waitLogged("hotkey Cmd+Alt+W REFUSED, status 1")) << log();
    writeFile(dir.file("stop.txt"), "");
    ASSERT_EQ(helper->waitExit(5s), 0);
  }
  std::filesystem::remove(dir.file("log.txt"));
  ChildProcess portal({NIMBRA_PORTAL_STAND_IN, bus.file("binding")}, {address});
  ASSERT_TRUE(eventually([&] { return fileExists(bus.file("binding")); }));
  launch({address});
  ASSERT_TRUE(waitLogged("hotkey Cmd+Alt+W registered")) << log();
  pointer->moveTo(300, 200);
  portal.signal(SIGUSR1);
  ASSERT_TRUE(waitLogged("wheel opened by hotkey at 300,200")) << log();
  portal.signal(SIGUSR1);
  ASSERT_TRUE(waitLogged("wheel closed without a pick")) << log();
  // The session bus going away leaves the helper serving.
  daemon.signal(SIGTERM);
  ASSERT_TRUE(daemon.waitExit(5s));
  writeFile(dir.file("stop.txt"), "");
  EXPECT_EQ(helper->waitExit(5s), 0);
}

}  // namespace
}  // namespace nimbra::testing
