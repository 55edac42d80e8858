// A platform for the tests: a virtual clock drives the timers and the deferred work, every call
// is recorded, and tests inject tap events, hot-key presses and pointer positions.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace nimbra::testing {

// Thrown by exitProcess, so a test sees the status and the code after exit never runs.
struct FakeExit {
  int status;
};

class FakeWindow : public PlatformWindow {
 public:
  void setFrame(const Rect& f) override { frames.push_back(f); }
  void setNeedsDisplay() override { ++displayRequests; }
  void orderFrontRegardless() override { onScreen = true; }
  void orderOut() override { onScreen = false; }
  void setIgnoresMouseEvents(bool ignores) override { ignoresMouse = ignores; }
  bool drawsContent() const override { return paints; }

  std::vector<Rect> frames;
  int displayRequests = 0;
  bool onScreen = false, ignoresMouse = true;
  bool paints = false;  // nothing to see: no painting caches are built
};

class FakePlatform : public Platform {
 public:
  std::int32_t processId() override { return pid; }
  double now() override { return clock; }
  void terminate(std::int32_t p) override { terminated.push_back(p); }
  bool processExists(std::int32_t p) override { return live.count(p) > 0; }
  double processAge(std::int32_t p) override {
    return startedAt.count(p) ? clock - startedAt[p] : 1e9;
  }
  void writeStandardError(const std::string&) override {}
  [[noreturn]] void exitProcess(int status) override { throw FakeExit{status}; }

  WorkDirLock lockWorkDirectory(const std::string& file) override {
    lockFile = file;
    return lock;
  }
  // Lets the virtual clock run (timers fire) until the holder lets go or `seconds` pass.
  WorkDirLock awaitWorkDirectoryLock(double seconds) override;
  void takeWorkDirectoryLockWhenFree() override { lockTakenWhenFree = true; }
  WorkDirLock checkWorkDirectoryLock() override { return lockAtTick; }

  void setAccessoryActivationPolicy() override {}
  void run() override {}
  TimerId scheduleRepeating(double seconds, std::function<void()> fire) override {
    return schedule(seconds, std::move(fire), true);
  }
  TimerId scheduleOnce(double seconds, std::function<void()> fire) override {
    return schedule(seconds, std::move(fire), false);
  }
  void invalidateTimer(TimerId timer) override { timers.erase(timer); }
  void deferToMain(std::function<void()> work) override { deferred.push_back(std::move(work)); }

  double firstScreenHeight() override { return screenHeight; }
  Point pointerLocation() override { return pointer; }
  std::optional<Point> currentEventLocation() override { return eventLocation; }

  std::unique_ptr<PlatformWindow> createOverlayWindow(ViewDelegate& view) override;
  std::unique_ptr<EventTap> createEventTap(TapCallbackFn callback) override;
  std::unique_ptr<EventSource> createEventSource() override;

  void installHotKeyHandler(HotKeyHandlerFn handler) override {
    hotKeyHandler = std::move(handler);
  }
  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                    HotKeyId id) override;
  void unregisterHotKey(HotKeyRef ref) override;

  bool isProcessTrusted(bool) override {
    ++trustChecks;
    return trusted;
  }

  // Moves the virtual clock on, firing due timers in order and running deferred work after
  // each callback, as a main loop would.
  void advance(double seconds);
  void runDeferred();
  // Delivers an event to the installed tap as the system would; kPass when there is none.
  TapVerdict inject(TapEventType type, Point globalTopLeft, std::int64_t userData = 0);
  // Presses a registered hot key; false when no registration holds that id.
  bool pressHotKey(std::uint32_t id);
  // Where the pointer is, in global top-left coordinates (sets both pointer readings).
  void movePointerTo(Point at) {
    pointer = Point{at.x, screenHeight - at.y};
    eventLocation = at;
  }

  std::int32_t pid = 4242;
  double clock = 1'700'000'000.25;
  double screenHeight = 1000;
  Point pointer;                                 // bottom-left origin
  std::optional<Point> eventLocation = Point{};  // top-left; none: events cannot be made
  std::vector<std::int32_t> terminated;
  std::set<std::int32_t> live;               // processes that exist, besides this one
  std::map<std::int32_t, double> startedAt;  // virtual times processes started (others: long ago)

  // The work-directory lock as the first try finds it, and when its holder lets go.
  WorkDirLock lock{WorkDirLock::State::kAcquired, 0};
  std::optional<double> lockFreedAt;  // virtual time
  std::string lockFile;
  std::vector<double> lockWaits;  // each wait asked for, in seconds
  bool lockTakenWhenFree = false;
  WorkDirLock lockAtTick{WorkDirLock::State::kAcquired, 0};  // what each tick's check finds

  FakeWindow* window = nullptr;
  bool windowsPaint = false;  // the windows made from now on paint (see FakeWindow::paints)

  TapCallbackFn tapCallback;
  int tapCreations = 0;
  bool tapAttached = false, tapEnabled = false;
  bool eventSourceAvailable = true, mouseEventsAvailable = true;
  std::vector<MouseEvent> posted;     // everything posted, in order
  std::vector<MouseEvent> delivered;  // what reached applications (passed by the tap)

  HotKeyHandlerFn hotKeyHandler;
  std::int32_t registerStatus = 0;  // status for Cmd+Alt+W registrations
  struct Registration {
    std::uint32_t keyCode;
    std::uint32_t modifiers;
    HotKeyId id;
    HotKeyRef ref;
  };
  std::vector<Registration> registrations;  // live ones
  std::int32_t lastHandlerStatus = -1;

  bool trusted = true;
  int trustChecks = 0;

  std::deque<std::function<void()>> deferred;

 private:
  struct Timer {
    double due, interval;
    bool repeating;
    std::function<void()> fire;
  };
  TimerId schedule(double seconds, std::function<void()> fire, bool repeating);
  std::map<TimerId, Timer> timers;
  TimerId nextTimer = 1;
  HotKeyRef nextRef = 100;
};

}  // namespace nimbra::testing
