#include "platform/wayland/wayland_platform.h"

#include <cmath>
#include <cstdlib>

#include "platform/evdev/evdev_access.h"
#include "platform/forwarding_event_source.h"
#include "platform/wayland/wayland_window.h"

namespace nimbra {
namespace {

constexpr HotKeyRef kEscapeRef = 1;
constexpr HotKeyRef kSummonRef = 2;

// Forgets the overlay when it goes, so no call reaches a window that is gone, and tells the
// trigger when the wheel shows.
class TrackedWindow : public WaylandWindow {
 public:
  TrackedWindow(WaylandConnection& c, ViewDelegate& v, WaylandWindow*& slot, EvdevTrigger*& trigger)
      : WaylandWindow(c, v), slot_(slot), trigger_(trigger) {
    slot_ = this;
  }
  ~TrackedWindow() override {
    if (slot_ == this) slot_ = nullptr;
  }
  void orderFrontRegardless() override {
    WaylandWindow::orderFrontRegardless();
    if (trigger_) trigger_->overlayShown();
  }

 private:
  WaylandWindow*& slot_;
  EvdevTrigger*& trigger_;
};

}  // namespace

std::unique_ptr<WaylandPlatform> WaylandPlatform::open(std::string* why) {
  std::unique_ptr<WaylandPlatform> p(new WaylandPlatform());
  p->connection_ = WaylandConnection::open(p->loop().context());
  if (!p->connection_) return nullptr;
  if (!p->connection_->layerShell() || !p->connection_->compositor() || !p->connection_->shm()) {
    if (why) *why = "the compositor offers no zwlr_layer_shell_v1 (version 3 or later)";
    return nullptr;
  }
  p->probe_ = std::make_unique<WaylandPointerProbe>(*p->connection_);
  return p;
}

WaylandPlatform::~WaylandPlatform() = default;

Point WaylandPlatform::pointerLocation() {
  return Point{pointer_.x, firstScreenHeight() - pointer_.y};
}

std::optional<Point> WaylandPlatform::currentEventLocation() {
  return trigger_ ? trigger_->location() : pointer_;
}

std::unique_ptr<EventTap> WaylandPlatform::createEventTap(TapCallbackFn callback) {
  locator_ =
      std::make_unique<WaylandPressLocator>(*connection_, *probe_, std::move(callback), trigger_,
                                            [this] { return window_ && window_->shown(); });
  return std::make_unique<EvdevTrigger>(
      loop(), [locator = locator_.get()](const TapEvent& e) { return locator->onTap(e); },
      &trigger_);
}

std::unique_ptr<EventSource> WaylandPlatform::createEventSource() {
  if (!trigger_) return nullptr;
  return std::make_unique<ForwardingEventSource>(
      [trigger = trigger_](const MouseEvent& e) { trigger->post(e); });
}

bool WaylandPlatform::isProcessTrusted(bool) {
  return evdevAccessGranted();
}

std::unique_ptr<PlatformWindow> WaylandPlatform::createOverlayWindow(ViewDelegate& view) {
  auto window = std::make_unique<TrackedWindow>(*connection_, view, window_, trigger_);
  window->onEscape = [this] {
    if (handler_ && escape_) handler_(HotKeyEvent{escape_});
  };
  window->onPointerAt = [this](Point at) {
    if (locator_) locator_->pointerAt(at);
  };
  return window;
}

HotKeyRegistration WaylandPlatform::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                                   HotKeyId id) {
  if (keyCode == kKeyCodeEscape && modifiers == 0) {
    // Keys reach a client only with the keyboard focus: the overlay takes it while Escape is
    // wanted, and the compositor gives it back to the window that had it.
    escape_ = id;
    if (window_) window_->takeKeyboard(true);
    return {0, kEscapeRef};
  }
  if (shortcuts_) return {GlobalShortcuts::kFailed, std::nullopt};  // one summoning key
  summonId_ = id;
  shortcuts_ = std::make_unique<GlobalShortcuts>(
      [this](std::int32_t status) {
        if (outcome_) outcome_(status);
      },
      [this] {
        summon([this] {
          if (handler_ && summonId_) handler_(HotKeyEvent{summonId_});
        });
      });
  return {0, kSummonRef, true};
}

void WaylandPlatform::unregisterHotKey(HotKeyRef ref) {
  if (ref != kEscapeRef) return;
  escape_.reset();
  if (window_) window_->takeKeyboard(false);
}

void WaylandPlatform::summon(std::function<void()> open) {
  // A wheel on the screen is closed by the summons: no need to know where the pointer is.
  if (window_ && window_->shown()) return open();
  const bool probing = probe_->start([this, open](Point at) {
    pointer_ = at;
    pointerKnown_ = true;
    if (trigger_) trigger_->anchor(at);
    open();
  });
  if (probing) return;
  // A seat without a pointer: the wheel opens where it last was, at first the first output's
  // centre, and is worked with the keyboard's Escape alone.
  if (!pointerKnown_ && !connection_->outputs().empty()) {
    const Rect& first = connection_->outputs().front()->logical;
    pointer_ = Point{first.origin.x + std::floor(first.size.width / 2),
                     first.origin.y + std::floor(first.size.height / 2)};
  }
  open();
}

std::unique_ptr<PosixPlatform> createWaylandPlatform(std::string* why) {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  if (!display || !*display) return nullptr;
  return WaylandPlatform::open(why);
}

}  // namespace nimbra
