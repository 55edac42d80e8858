// The backend without a display: no screen, no window, no event tap, no hot keys; the file
// protocol still runs on the main loop.
#pragma once

#include "platform/posix_platform.h"

namespace nimbra {

class HeadlessPlatform : public PosixPlatform {
 public:
  // Hot-key registration status when there is no keyboard to grab from.
  static constexpr std::int32_t kNoHotKeys = -1;

  void setAccessoryActivationPolicy() override {}
  double firstScreenHeight() override { return 0; }
  Point pointerLocation() override { return {}; }
  std::optional<Point> currentEventLocation() override { return Point{}; }
  std::unique_ptr<PlatformWindow> createOverlayWindow(ViewDelegate& view) override;
  std::unique_ptr<EventTap> createEventTap(TapCallbackFn) override { return nullptr; }
  std::unique_ptr<EventSource> createEventSource() override { return nullptr; }
  void installHotKeyHandler(HotKeyHandlerFn) override {}
  HotKeyRegistration registerHotKey(std::uint32_t, std::uint32_t, HotKeyId) override {
    return {kNoHotKeys, std::nullopt};
  }
  void unregisterHotKey(HotKeyRef) override {}
  // Nothing to grant without a desktop.
  bool isProcessTrusted(bool) override { return true; }
};

}  // namespace nimbra
