#include "platform/evdev/evdev_platform.h"

#include "platform/evdev/evdev_access.h"
#include "platform/forwarding_event_source.h"

namespace nimbra {
namespace {

// Shows nothing, but tells the trigger when the wheel opens.
class EvdevWindow : public PlatformWindow {
 public:
  explicit EvdevWindow(EvdevTrigger*& trigger) : trigger_(trigger) {}
  void setFrame(const Rect&) override {}
  void setNeedsDisplay() override {}
  void orderFrontRegardless() override {
    if (trigger_) trigger_->overlayShown();
  }
  void orderOut() override {}
  void setIgnoresMouseEvents(bool) override {}
  bool drawsContent() const override { return false; }

 private:
  EvdevTrigger*& trigger_;
};

}  // namespace

std::optional<Point> EvdevPlatform::currentEventLocation() {
  return trigger_ ? trigger_->location() : Point{};
}

std::unique_ptr<PlatformWindow> EvdevPlatform::createOverlayWindow(ViewDelegate&) {
  return std::make_unique<EvdevWindow>(trigger_);
}

std::unique_ptr<EventTap> EvdevPlatform::createEventTap(TapCallbackFn callback) {
  return std::make_unique<EvdevTrigger>(loop(), std::move(callback), &trigger_);
}

std::unique_ptr<EventSource> EvdevPlatform::createEventSource() {
  if (!trigger_) return nullptr;
  return std::make_unique<ForwardingEventSource>(
      [trigger = trigger_](const MouseEvent& e) { trigger->post(e); });
}

bool EvdevPlatform::isProcessTrusted(bool) {
  return evdevAccessGranted();
}

}  // namespace nimbra
