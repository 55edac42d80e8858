#include "platform/fake_platform.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace nimbra::testing {
namespace {

class FakeTap : public EventTap {
 public:
  explicit FakeTap(FakePlatform& p) : p_(p) {}
  ~FakeTap() override { p_.tapCallback = nullptr; }
  void addToMainLoop() override { p_.tapAttached = true; }
  void enable(bool on) override {
    p_.tapEnabled = on;
    ++p_.tapEnableCalls;
  }

 private:
  FakePlatform& p_;
};

class FakeSource : public EventSource {
 public:
  explicit FakeSource(FakePlatform& p) : p_(p) {}
  std::optional<MouseEvent> createMouseEvent(TapEventType type, Point at) override {
    if (!p_.mouseEventsAvailable) return std::nullopt;
    return MouseEvent{type, at, 0};
  }
  // Posted events enter below the tap and come back through it, as on the desktop.
  void post(const MouseEvent& e) override {
    p_.posted.push_back(e);
    p_.inject(e.type, e.location, e.userData);
  }

 private:
  FakePlatform& p_;
};

// The longest delay the real loop can hold, as it clamps.
constexpr double kLongestDelay = std::numeric_limits<unsigned>::max() / 1000.0;

}  // namespace

WorkDirLock FakePlatform::lockWorkDirectory(const std::string& file) {
  lockFile = file;
  return lock;
}

WorkDirLock FakePlatform::awaitWorkDirectoryLock(double seconds) {
  lockWaits.push_back(seconds);
  if (lockFreedAt && *lockFreedAt <= clock + seconds) {
    advance(std::max(0.0, *lockFreedAt - clock));
    lockFreedAt.reset();
    lock = WorkDirLock{WorkDirLock::State::kAcquired, 0};
    return lock;
  }
  advance(seconds);
  return lock;
}

TimerId FakePlatform::schedule(double seconds, std::function<void()> fire, bool repeating) {
  const double d = std::min(seconds, kLongestDelay);
  timers[nextTimer] = Timer{clock + d, d, repeating, std::move(fire)};
  return nextTimer++;
}

std::optional<double> FakePlatform::nextTimerDelay() const {
  std::optional<double> best;
  for (const auto& [id, t] : timers) {
    if (!best || t.due - clock < *best) best = t.due - clock;
  }
  return best;
}

void FakePlatform::runDeferred() {
  // Work that keeps deferring more (a click coming back as a new click) fails the test.
  for (int n = 0; !deferred.empty(); ++n) {
    if (n == 100'000) throw std::runtime_error("deferred work never runs out");
    auto work = std::move(deferred.front());
    deferred.pop_front();
    work();
  }
}

void FakePlatform::advance(double seconds) {
  const double target = clock + seconds;
  runDeferred();
  for (;;) {
    auto next = std::min_element(timers.begin(), timers.end(), [](const auto& a, const auto& b) {
      return a.second.due < b.second.due;
    });
    if (next == timers.end() || next->second.due > target) break;
    clock = std::max(clock, next->second.due);
    std::function<void()> fire = next->second.fire;
    if (next->second.repeating) {
      next->second.due += next->second.interval;
    } else {
      timers.erase(next);
    }
    fire();
    runDeferred();
  }
  clock = target;
}

void FakePlatform::movePointerTo(Point at) {
  pointer = Point{at.x, screenHeight - at.y};
  eventLocation = at;
}

std::unique_ptr<PlatformWindow> FakePlatform::createOverlayWindow(ViewDelegate&) {
  auto w = std::make_unique<FakeWindow>();
  w->paints = windowsPaint;
  window = w.get();
  return w;
}

std::unique_ptr<EventTap> FakePlatform::createEventTap(TapCallbackFn callback) {
  ++tapCreations;
  if (!tapAvailable) return nullptr;
  tapCallback = std::move(callback);
  return std::make_unique<FakeTap>(*this);
}

std::unique_ptr<EventSource> FakePlatform::createEventSource() {
  if (!eventSourceAvailable) return nullptr;
  return std::make_unique<FakeSource>(*this);
}

TapVerdict FakePlatform::inject(TapEventType type, Point at, std::int64_t userData) {
  const MouseEvent e{type, at, userData};
  TapVerdict verdict = TapVerdict::kPass;
  if (tapCallback && tapAttached && tapEnabled) verdict = tapCallback(TapEvent{type, at, userData});
  if (verdict == TapVerdict::kPass) delivered.push_back(e);
  return verdict;
}

HotKeyRegistration FakePlatform::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                                HotKeyId id) {
  ++registerCalls;
  if (keyCode == kKeyCodeW && registerStatus != 0) return {registerStatus, std::nullopt};
  const HotKeyRef ref = nextRef++;
  registrations.push_back(
      Registration{keyCode, modifiers, id, ref, window ? window->frames.size() : 0});
  return {0, ref};
}

void FakePlatform::unregisterHotKey(HotKeyRef ref) {
  ++unregisterCalls;
  std::erase_if(registrations, [ref](const Registration& r) { return r.ref == ref; });
}

bool FakePlatform::pressHotKey(std::uint32_t id) {
  const bool registered = std::any_of(registrations.begin(), registrations.end(),
                                      [id](const Registration& r) { return r.id.id == id; });
  if (!registered || !hotKeyHandler) return false;
  lastHandlerStatus = hotKeyHandler(HotKeyEvent{HotKeyId{0x4E494D42, id}});
  return true;
}

}  // namespace nimbra::testing
