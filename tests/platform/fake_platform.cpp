#include "platform/fake_platform.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace nimbra::testing {
namespace {

struct FakeTap : EventTap {
  explicit FakeTap(FakePlatform& p) : p_(p) {}
  ~FakeTap() override { p_.tapCallback = nullptr; }
  void addToMainLoop() override { p_.tapAttached = true; }
  void enable(bool on) override { p_.tapEnabled = on; }
  FakePlatform& p_;
};

struct FakeSource : EventSource {
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
  FakePlatform& p_;
};

}  // namespace

WorkDirLock FakePlatform::awaitWorkDirectoryLock(double seconds) {
  lockWaits.push_back(seconds);
  if (lockFreedAt && *lockFreedAt <= clock + seconds) {
    advance(std::max(0.0, *lockFreedAt - clock));
    lockFreedAt.reset();
    return lock = WorkDirLock{WorkDirLock::State::kAcquired, 0};
  }
  advance(seconds);
  return lock;
}

TimerId FakePlatform::schedule(double seconds, std::function<void()> fire, bool repeating) {
  // The longest delay the real loop can hold, as it clamps.
  const double d = std::min(seconds, std::numeric_limits<unsigned>::max() / 1000.0);
  timers[nextTimer] = Timer{clock + d, d, repeating, std::move(fire)};
  return nextTimer++;
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

std::unique_ptr<PlatformWindow> FakePlatform::createOverlayWindow(ViewDelegate&) {
  auto w = std::make_unique<FakeWindow>();
  w->paints = windowsPaint;
  window = w.get();
  return w;
}

std::unique_ptr<EventTap> FakePlatform::createEventTap(TapCallbackFn callback) {
  ++tapCreations;
  tapCallback = std::move(callback);
  return std::make_unique<FakeTap>(*this);
}

std::unique_ptr<EventSource> FakePlatform::createEventSource() {
  return eventSourceAvailable ? std::make_unique<FakeSource>(*this) : nullptr;
}

TapVerdict FakePlatform::inject(TapEventType type, Point at, std::int64_t userData) {
  TapVerdict verdict = TapVerdict::kPass;
  if (tapCallback && tapAttached && tapEnabled) verdict = tapCallback(TapEvent{type, at, userData});
  if (verdict == TapVerdict::kPass) delivered.push_back(MouseEvent{type, at, userData});
  return verdict;
}

HotKeyRegistration FakePlatform::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                                HotKeyId id) {
  if (keyCode == kKeyCodeW && registerStatus != 0) return {registerStatus, std::nullopt};
  registrations.push_back(Registration{keyCode, modifiers, id, nextRef});
  return {0, nextRef++};
}

void FakePlatform::unregisterHotKey(HotKeyRef ref) {
  std::erase_if(registrations, [ref](const Registration& r) { return r.ref == ref; });
}

bool FakePlatform::pressHotKey(std::uint32_t id) {
  const auto found = std::find_if(registrations.begin(), registrations.end(),
                                  [id](const Registration& r) { return r.id.id == id; });
  if (!hotKeyHandler || found == registrations.end()) return false;
  lastHandlerStatus = hotKeyHandler(HotKeyEvent{found->id});
  return true;
}

}  // namespace nimbra::testing
