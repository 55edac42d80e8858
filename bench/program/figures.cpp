// Whole-program figures of the real helper under a private Xvfb: start-up (and a hot key sent
// the moment the helper says it is ready), the latencies a user feels (hold, tracking, pick, hot
// key; the first opening of an instance apart from the later ones), memory across many picks,
// and the idle cost (wake-ups of every thread and CPU per tick).
// Prints a markdown table; every latency is measured from the moment the X server has
// processed the XTest input (one round trip) until the effect is seen by a separate client.
//
//   nimbra_figures [--runs N] [--cycles N] [--idle-seconds N] [--helper PATH]
//   nimbra_figures --soak PICKS HOTKEYS [--hold MS] [--helper PATH]
//
// The soak runs PICKS hold-move-release picks and HOTKEYS hot-key open/close cycles on one
// helper, samples its RSS along the way, then asks it to stop through stop.txt so that a
// sanitizer build gets to report at exit.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "proc_figures.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace nimbra::figures {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ChildProcess;
using testing::TempDir;

int gHoldMs = 150;
std::string gHelper;
constexpr int kCentreX = 640;
constexpr int kCentreY = 400;
// Eight segments at R = 190: the first has an arc of six tools straight up.
constexpr const char* kConfig =
    "HOLD|150\nSIZE|190\n"
    "SEG|Edit|#3a7\nTOOL|Copy|copy\nTOOL|Paste|paste\nTOOL|Cut|cut\nTOOL|Undo|undo\n"
    "TOOL|Redo|redo\nTOOL|Find|find\n"
    "SEG|Place|#ff8800\nTOOL|TL|anchor:0,0\nTOOL|C|anchor:0.5,0.5\nTOOL|BR|anchor:1,1\n"
    "SEG|View|#48f\nTOOL|Zoom|zoom\nSEG|Go|#e44\nTOOL|Back|back\nSEG|File|#9c3\nTOOL|Open|open\n"
    "SEG|Tools|#c6f\nTOOL|Run|run\nSEG|Help|#0cc\nTOOL|About|about\nSEG|Misc|#aaa\nTOOL|X|x\n";

std::string configText() {
  std::string cfg = kConfig;
  cfg.replace(cfg.find("HOLD|150"), 8, "HOLD|" + std::to_string(gHoldMs));
  return cfg;
}

double msSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// What the measuring client sees: overlay maps and unmaps, damage to it, and the work
// directory's files changing.
class Observer {
 public:
  Observer(const std::string& display, const std::string& workDir) : dir_(workDir) {
    dpy_ = XOpenDisplay(display.c_str());
    int error = 0;
    XDamageQueryExtension(dpy_, &damageEvent_, &error);
    XSelectInput(dpy_, DefaultRootWindow(dpy_), SubstructureNotifyMask);
    XSync(dpy_, False);
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(inotify_, workDir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY);
  }
  ~Observer() {
    close(inotify_);
    XCloseDisplay(dpy_);
  }

  Display* display() const { return dpy_; }

  // Runs until `done` holds, reading X events and file changes as they come; false after
  // the deadline.
  bool waitFor(const std::function<bool()>& done,
               std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    const auto end = Clock::now() + deadline;
    for (;;) {
      read();
      if (done()) return true;
      if (Clock::now() >= end) return false;
      pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {inotify_, POLLIN, 0}};
      poll(fds, 2, 5);
    }
  }

  std::string file(const std::string& name) const { return testing::readFile(dir_ + "/" + name); }

  bool mapped = false;
  int maps = 0;
  int damages = 0;
  int fileChanges = 0;
  Window overlay = 0;

 private:
  void read() {
    char buf[4096];
    while (::read(inotify_, buf, sizeof buf) > 0) ++fileChanges;
    while (XPending(dpy_)) {
      XEvent e;
      XNextEvent(dpy_, &e);
      if (e.type == MapNotify && e.xmap.override_redirect) {
        if (!overlay) {
          overlay = e.xmap.window;
          damage_ = XDamageCreate(dpy_, overlay, XDamageReportNonEmpty);
        }
        if (e.xmap.window == overlay) {
          mapped = true;
          ++maps;
        }
      } else if (e.type == UnmapNotify && e.xunmap.window == overlay) {
        mapped = false;
      } else if (e.type == damageEvent_ + XDamageNotify) {
        ++damages;
        XDamageSubtract(dpy_, damage_, None, None);
      }
    }
    XFlush(dpy_);
  }

  Display* dpy_ = nullptr;
  std::string dir_;
  int inotify_ = -1;
  int damageEvent_ = 0;
  Damage damage_ = 0;
};

struct Helper {
  Helper(const std::string& display, const TempDir& dir)
      : child({gHelper.empty() ? testing::helperBinary() : gHelper, "-Dir", dir.path()},
              {"DISPLAY=" + display}) {}
  ChildProcess child;
};

class Session {
 public:
  Session() : probe_(server_.display()) {
    testing::writeFile(dir_.file("wheel.cfg"), configText());
  }

  bool ok() const { return server_.ok() && probe_.ok(); }
  const std::string& display() const { return server_.display(); }
  const TempDir& dir() const { return dir_; }
  testing::XProbe& probe() { return probe_; }

 private:
  testing::Xvfb server_;
  TempDir dir_;
  testing::XProbe probe_;
};

bool waitLogged(Observer& obs, const std::string& message) {
  return obs.waitFor([&] { return obs.file("log.txt").find(message) != std::string::npos; });
}

// Threads of `pid` besides its main one, as /proc lists them now.
int extraThreads(pid_t pid) {
  return std::max(0, threadCount(pid) - 1);
}

void sendHotKey(Display* d) {
  const KeyCode super = XKeysymToKeycode(d, XK_Super_L);
  const KeyCode alt = XKeysymToKeycode(d, XK_Alt_L);
  const KeyCode w = XKeysymToKeycode(d, XK_w);
  XTestFakeKeyEvent(d, super, True, CurrentTime);
  XTestFakeKeyEvent(d, alt, True, CurrentTime);
  XTestFakeKeyEvent(d, w, True, CurrentTime);
  XSync(d, False);
}

void releaseHotKey(Display* d) {
  XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_w), False, CurrentTime);
  XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Alt_L), False, CurrentTime);
  XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Super_L), False, CurrentTime);
  XSync(d, False);
}

struct StartUpFigures {
  Series ready;             // exec → "event tap installed"
  Series heartbeat;         // exec → first heartbeat
  Series keyPainted;        // hot key sent at the ready line → overlay painted
  Series execPainted;       // exec → that overlay painted
  int maxExtraThreads = 0;  // threads besides the main one at the ready line
};

// Fresh instances: each is timed to its ready line, gets the hot key the moment that line is
// seen, and is timed to its first heartbeat.
void startUp(Session& s, int runs, StartUpFigures& f) {
  for (int i = 0; i < runs; ++i) {
    TempDir dir;
    testing::writeFile(dir.file("wheel.cfg"), configText());
    Observer obs(s.display(), dir.path());
    const auto t0 = Clock::now();
    Helper h(s.display(), dir);
    if (!waitLogged(obs, "event tap installed")) continue;
    f.ready.values.push_back(msSince(t0));
    const int mapsBefore = obs.maps;
    const int damagesBefore = obs.damages;
    sendHotKey(s.probe().display());
    const auto pressed = Clock::now();
    f.maxExtraThreads = std::max(f.maxExtraThreads, extraThreads(h.child.pid()));
    releaseHotKey(s.probe().display());
    if (obs.waitFor([&] { return obs.maps > mapsBefore && obs.damages > damagesBefore; })) {
      f.keyPainted.values.push_back(msSince(pressed));
      f.execPainted.values.push_back(msSince(t0));
    }
    if (obs.waitFor([&] { return !obs.file("pid.txt").empty(); }))
      f.heartbeat.values.push_back(msSince(t0));
    h.child.signal(SIGTERM);
    h.child.waitExit(std::chrono::seconds(5));
  }
}

// One hold-move-release pick, timing each step; false when a step never came.
bool timedPick(testing::XProbe& probe, Observer& obs, Series* hold, Series* open, Series* track,
               Series* pick) {
  probe.moveTo(kCentreX, kCentreY);
  const int mapsBefore = obs.maps;
  XTestFakeButtonEvent(probe.display(), 3, True, CurrentTime);
  XSync(probe.display(), False);
  const auto reached = Clock::now() + std::chrono::milliseconds(gHoldMs);
  const int damagesBefore = obs.damages;
  bool painted = false;
  bool opened = false;
  if (!obs.waitFor([&] {
        if (!painted && obs.maps > mapsBefore && obs.damages > damagesBefore) {
          painted = true;
          if (hold) hold->values.push_back(msSince(reached));
        }
        if (!opened && obs.file("cmd.txt") == "~open") {
          opened = true;
          if (open) open->values.push_back(msSince(reached));
        }
        return painted && opened;
      }))
    return false;

  // Straight up beyond the ring: segment 0, then along its arc to another tool.
  const int damages = obs.damages;
  XTestFakeMotionEvent(probe.display(), -1, kCentreX, kCentreY - 260, CurrentTime);
  XSync(probe.display(), False);
  auto moved = Clock::now();
  if (!obs.waitFor([&] { return obs.damages > damages; })) return false;
  if (track) track->values.push_back(msSince(moved));

  XTestFakeButtonEvent(probe.display(), 3, False, CurrentTime);
  XSync(probe.display(), False);
  const auto released = Clock::now();
  if (!obs.waitFor([&] { return obs.file("cmd.txt") != "~open"; })) return false;
  if (pick) pick->values.push_back(msSince(released));
  return obs.waitFor([&] { return !obs.mapped; });
}

bool hotKeyPick(testing::XProbe& probe, Observer& obs, Series* latency) {
  const int mapsBefore = obs.maps;
  const int damagesBefore = obs.damages;
  sendHotKey(probe.display());
  const auto pressed = Clock::now();
  releaseHotKey(probe.display());
  if (!obs.waitFor([&] { return obs.maps > mapsBefore && obs.damages > damagesBefore; }))
    return false;
  if (latency) latency->values.push_back(msSince(pressed));
  // Pick the top tool with a left click, as a user would.
  probe.moveTo(kCentreX, kCentreY - 260);
  probe.click(1, kCentreX, kCentreY - 260);
  return obs.waitFor([&] { return !obs.mapped; });
}

void printRow(const char* figure, const Series& s, const char* budget) {
  std::printf("| %s | %.2f ms | %.2f ms | %zu | %s |\n", figure, s.percentile(0.5),
              s.percentile(0.95), s.values.size(), budget);
}

// Starts the helper on the session's work directory and waits until it is ready and its
// idle-time work (the painting caches) is done, so that nothing timed pays for it.
std::unique_ptr<Helper> startReady(Session& s, Observer& obs) {
  auto h = std::make_unique<Helper>(s.display(), s.dir());
  if (!waitLogged(obs, "event tap installed")) {
    std::fprintf(stderr, "the helper did not get ready\n");
    return nullptr;
  }
  obs.waitFor([] { return false; }, std::chrono::milliseconds(500));
  return h;
}

// Fresh instances, each left alone for a moment after its ready line, then opened by holding
// the button: the first opening of each instance, and the next few on the same instance.
void firstAndLater(Session& s, int runs, Series& first, Series& later) {
  for (int i = 0; i < runs; ++i) {
    TempDir dir;
    testing::writeFile(dir.file("wheel.cfg"), configText());
    Observer obs(s.display(), dir.path());
    Helper h(s.display(), dir);
    if (!waitLogged(obs, "event tap installed")) continue;
    obs.waitFor([] { return false; }, std::chrono::milliseconds(300));
    timedPick(s.probe(), obs, &first, nullptr, nullptr, nullptr);
    for (int k = 0; k < 3; ++k) timedPick(s.probe(), obs, &later, nullptr, nullptr, nullptr);
    h.child.signal(SIGTERM);
    h.child.waitExit(std::chrono::seconds(5));
  }
}

int run(int runs, int cycles, int idleSeconds) {
  Session s;
  if (!s.ok()) {
    std::fprintf(stderr, "could not start Xvfb\n");
    return 1;
  }
  StartUpFigures start;
  startUp(s, runs, start);
  Series firstOpen, laterOpen;
  firstAndLater(s, runs, firstOpen, laterOpen);

  Observer obs(s.display(), s.dir().path());
  const std::unique_ptr<Helper> h = startReady(s, obs);
  if (!h) return 1;
  const ProcStats atStart = readStats(h->child.pid());

  Series hold, open, track, pick, hot;
  for (int i = 0; i < runs; ++i) timedPick(s.probe(), obs, &hold, &open, &track, &pick);
  for (int i = 0; i < runs; ++i) hotKeyPick(s.probe(), obs, &hot);

  // CPU per open-move-pick cycle, over mouse picks.
  const ProcStats beforeCycles = readStats(h->child.pid());
  const int cpuCycles = std::max(20, runs);
  for (int i = 0; i < cpuCycles; ++i) timedPick(s.probe(), obs, nullptr, nullptr, nullptr, nullptr);
  const ProcStats afterCycles = readStats(h->child.pid());

  // Memory across many picks (hot-key picks: no hold time to wait for).
  std::vector<long> rssCurve{readStats(h->child.pid()).rssKb};
  for (int i = 1; i <= cycles; ++i) {
    hotKeyPick(s.probe(), obs, nullptr);
    if (i % (std::max(cycles, 4) / 4) == 0) rssCurve.push_back(readStats(h->child.pid()).rssKb);
  }
  obs.waitFor([] { return false; }, std::chrono::milliseconds(1500));
  const ProcStats afterPicks = readStats(h->child.pid());

  const ProcStats idleStart = readStats(h->child.pid());
  const double threadsCpuStart = threadsCpuSeconds(h->child.pid());
  IdleFigures idle = idleFigures(h->child.pid(), idleSeconds);
  if (idle.wakeUps < 0) obs.waitFor([] { return false; }, std::chrono::seconds(idleSeconds));
  const ProcStats idleEnd = readStats(h->child.pid());
  const double switches = double(idleEnd.switches - idleStart.switches) / idleSeconds;
  // Without perf: the scheduler's per-thread CPU time (threads that ended meanwhile are lost).
  if (idle.cpuSeconds < 0) idle.cpuSeconds = threadsCpuSeconds(h->child.pid()) - threadsCpuStart;

  std::printf("| figure | median | 95th percentile | runs | budget |\n|---|---|---|---|---|\n");
  printRow("start-up: exec to ready (\"event tap installed\")", start.ready, "≤ 30 ms");
  printRow("start-up: exec to first heartbeat", start.heartbeat, "about 1 s (first tick)");
  printRow("hot key sent at the ready line → overlay mapped and painted", start.keyPainted,
           "≤ 15 ms");
  printRow("start-up: exec to that overlay painted", start.execPainted, "");
  printRow("first opening of an instance: hold time reached → painted", firstOpen,
           "≤ 3 ms (95th ≤ 8 ms)");
  printRow("later openings (2nd to 4th): hold time reached → painted", laterOpen, "");
  printRow("hold time reached → overlay mapped and painted", hold, "≤ 8 ms");
  printRow("hold time reached → \"~open\" in cmd.txt", open, "");
  printRow("pointer move → overlay pixels changed", track, "≤ 4 ms (95th ≤ 10 ms)");
  printRow("release → cmd.txt holds the command", pick, "≤ 2 ms");
  printRow("hot key pressed → overlay mapped and painted", hot, "≤ 5 ms");
  std::printf("\n| figure | value | budget |\n|---|---|---|\n");
  std::printf(
      "| threads besides the main one at the ready line (most over %zu starts) | %d | 0 |\n",
      start.ready.values.size(), start.maxExtraThreads);
  std::printf("| CPU time per open-move-pick cycle | %.2f ms (%d cycles) | ≤ 5 ms |\n",
              1000.0 * (afterCycles.cpuSeconds - beforeCycles.cpuSeconds) / cpuCycles, cpuCycles);
  std::printf("| RSS after start (idle) | %.1f MB | |\n", atStart.rssKb / 1024.0);
  std::printf("| peak RSS (VmHWM) after %d picks | %.1f MB | |\n", cycles,
              afterPicks.hwmKb / 1024.0);
  std::printf("| idle RSS after %d picks | %.1f MB | ≤ 20 MB |\n", cycles,
              afterPicks.rssKb / 1024.0);
  std::printf("| RSS across the picks (MB) |");
  for (long kb : rssCurve) std::printf(" %.1f", kb / 1024.0);
  std::printf(" | no growth |\n");
  // One tick a second: CPU per second of idling is CPU per tick.
  std::printf("| idle CPU per tick (%d s, all threads) | %.3f ms | ≤ 0.1 ms |\n", idleSeconds,
              1000.0 * idle.cpuSeconds / idleSeconds);
  if (idle.wakeUps >= 0) {
    std::printf(
        "| idle wake-ups per second (%d s, all threads; perf sched_switch into a sleep) "
        "| %.2f | ≤ 1.05 |\n",
        idleSeconds, idle.wakeUps / idleSeconds);
  } else {
    std::printf(
        "| idle wake-ups per second (%d s; context switches, perf not usable) | %.2f | "
        "≤ 1.05 |\n",
        idleSeconds, switches);
  }
  std::printf("| idle context switches per second (with preemption) | %.2f | |\n", switches);

  h->child.signal(SIGTERM);
  h->child.waitExit(std::chrono::seconds(5));
  return 0;
}

// Many picks on one helper, with its RSS sampled along the way; the helper is then stopped
// through stop.txt, as its host would, so a sanitizer build reports at exit.
int soak(int picks, int hotKeys) {
  Session s;
  if (!s.ok()) {
    std::fprintf(stderr, "could not start Xvfb\n");
    return 1;
  }
  Observer obs(s.display(), s.dir().path());
  const std::unique_ptr<Helper> h = startReady(s, obs);
  if (!h) return 1;
  const auto t0 = Clock::now();
  const long startKb = readStats(h->child.pid()).rssKb;
  std::vector<std::pair<int, long>> curve{{0, startKb}};
  int failed = 0;
  const int total = picks + hotKeys;
  const int every = std::max(1, total / 20);
  for (int i = 1; i <= total; ++i) {
    const bool ok = i <= picks ? timedPick(s.probe(), obs, nullptr, nullptr, nullptr, nullptr)
                               : hotKeyPick(s.probe(), obs, nullptr);
    if (!ok) {
      ++failed;
      std::fprintf(stderr, "cycle %d (%s) did not complete\n", i, i <= picks ? "pick" : "hot key");
      // Put the pointer and the wheel back in a known state before going on.
      XTestFakeButtonEvent(s.probe().display(), 3, False, CurrentTime);
      XSync(s.probe().display(), False);
      obs.waitFor([&] { return !obs.mapped; }, std::chrono::seconds(2));
    }
    if (i % every == 0 || i == total) curve.emplace_back(i, readStats(h->child.pid()).rssKb);
  }
  obs.waitFor([] { return false; }, std::chrono::milliseconds(1500));
  const ProcStats end = readStats(h->child.pid());
  std::printf("soak: %d picks (hold %d ms) then %d hot-key cycles in %.0f s, %d failed\n", picks,
              gHoldMs, hotKeys, msSince(t0) / 1000, failed);
  std::printf("RSS (MB) after N cycles:");
  for (const auto& [n, kb] : curve) std::printf(" %d:%.1f", n, kb / 1024.0);
  std::printf(
      "\nRSS start %.1f MB, after the first %d cycles %.1f MB, end %.1f MB idle; peak %.1f MB\n",
      startKb / 1024.0, curve[1].first, curve[1].second / 1024.0, end.rssKb / 1024.0,
      end.hwmKb / 1024.0);
  testing::writeFile(s.dir().file("stop.txt"), "");
  const std::optional<int> status = h->child.waitExit(std::chrono::seconds(20));
  if (!status) {
    std::printf("the helper did not stop through stop.txt\n");
    return 1;
  }
  std::printf("helper exit status %d\n", *status);
  // A sanitizer build reports here.
  const std::string err = h->child.stderrText();
  if (!err.empty()) std::printf("helper's standard error:\n%s", err.c_str());
  return failed == 0 && *status == 0 ? 0 : 1;
}

}  // namespace
}  // namespace nimbra::figures

int main(int argc, char** argv) {
  // A helper ended while its overlay was watched takes the window and its damage record along;
  // the late requests about them fail, which must not end the measuring.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  int runs = 20, cycles = 1000, idle = 60;
  int soakPicks = -1, soakHotKeys = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (opt == "--soak" && i + 2 < argc) {
      soakPicks = value;
      soakHotKeys = std::atoi(argv[i + 2]);
      ++i;
    } else if (opt == "--hold")
      nimbra::figures::gHoldMs = std::max(120, value);
    else if (opt == "--helper")
      nimbra::figures::gHelper = argv[i + 1];
    else if (opt == "--runs")
      runs = value;
    else if (opt == "--cycles")
      cycles = value;
    else if (opt == "--idle-seconds")
      idle = value;
  }
  if (soakPicks >= 0) return nimbra::figures::soak(soakPicks, soakHotKeys);
  return nimbra::figures::run(runs, cycles, idle);
}
