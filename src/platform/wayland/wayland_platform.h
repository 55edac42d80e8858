// The desktop backend for Wayland compositors that offer the layer shell (sway, Hyprland,
// niri, KDE Plasma, labwc...): the GLib loop of the POSIX backends plus a compositor
// connection and the overlay as a layer surface.
//
// No client may grab keys or watch the pointer on Wayland: the summoning hot key comes from the
// GlobalShortcuts portal where the desktop offers it, and from `nimbra-wheel --open` (bound to
// a key in the compositor's settings); the pointer's place is learnt when the wheel is summoned.
// The mouse trigger is the kernel-device one, its presses placed by the pointer probe; the input
// permission is granted where the helper may open the mice and /dev/uinput.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/posix_platform.h"
#include "platform/wayland/global_shortcuts.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_pointer_probe.h"
#include "platform/wayland/wayland_press_locator.h"

namespace nimbra {

class WaylandWindow;

class WaylandPlatform : public PosixPlatform {
 public:
  // None when no compositor answers on WAYLAND_DISPLAY, or (with `why` saying so) when it
  // offers no layer shell.
  static std::unique_ptr<WaylandPlatform> open(std::string* why = nullptr);
  ~WaylandPlatform() override;

  void setAccessoryActivationPolicy() override {}
  double firstScreenHeight() override { return connection_->firstScreenHeight(); }
  Point pointerLocation() override;
  std::optional<Point> currentEventLocation() override;
  std::unique_ptr<PlatformWindow> createOverlayWindow(ViewDelegate& view) override;
  std::unique_ptr<EventTap> createEventTap(TapCallbackFn callback) override;
  std::unique_ptr<EventSource> createEventSource() override;
  void installHotKeyHandler(HotKeyHandlerFn handler) override { handler_ = std::move(handler); }
  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                    HotKeyId id) override;
  void unregisterHotKey(HotKeyRef ref) override;
  void installHotKeyOutcomeHandler(HotKeyOutcomeFn handler) override {
    outcome_ = std::move(handler);
  }
  bool isProcessTrusted(bool) override;

 protected:
  void summon(std::function<void()> open) override;

 private:
  WaylandPlatform() = default;

  // Each member goes before those declared ahead of it, which it uses.
  std::unique_ptr<WaylandConnection> connection_;
  std::unique_ptr<WaylandPointerProbe> probe_;
  std::unique_ptr<WaylandPressLocator> locator_;
  EvdevTrigger* trigger_ = nullptr;  // owned by whoever took the tap
  WaylandWindow* window_ = nullptr;  // the overlay, while it lives
  std::unique_ptr<GlobalShortcuts> shortcuts_;
  HotKeyHandlerFn handler_;
  HotKeyOutcomeFn outcome_;
  std::optional<HotKeyId> summonId_;
  std::optional<HotKeyId> escape_;
  Point pointer_;  // layout points, top left origin: the last place learnt
  bool pointerKnown_ = false;
};

// The Wayland backend on the environment's WAYLAND_DISPLAY; none when it is unset, no
// compositor answers, or (with `why` saying so) the compositor offers no layer shell.
std::unique_ptr<PosixPlatform> createWaylandPlatform(std::string* why);

}  // namespace nimbra
