// The display-less backend with the mouse trigger over kernel devices (nimbra-wheel --evdev):
// the wheel is not shown, but holds, clicks and picks work as on a desktop and land in the work
// directory. Desktop backends that have their own overlay host EvdevTrigger the same way.
#pragma once

#include "platform/evdev/evdev_trigger.h"
#include "platform/headless/headless_platform.h"

namespace nimbra {

class EvdevPlatform : public HeadlessPlatform {
 public:
  std::optional<Point> currentEventLocation() override;
  std::unique_ptr<PlatformWindow> createOverlayWindow(ViewDelegate& view) override;
  std::unique_ptr<EventTap> createEventTap(TapCallbackFn callback) override;
  std::unique_ptr<EventSource> createEventSource() override;
  bool isProcessTrusted(bool prompt) override;

 private:
  EvdevTrigger* trigger_ = nullptr;  // owned by whoever took the tap
};

}  // namespace nimbra
