// The desktop backend for X11 servers: the GLib loop of the POSIX backends plus a display
// connection, the overlay window, the right-button tap, XTest clicks and key-grab hot keys.
//
// If the server goes away, the connection is marked lost and every X11 operation becomes a
// no-op; the loop, timers and the file protocol carry on as on the headless backend.
#pragma once

#include <memory>
#include <string>

#include "platform/posix_platform.h"
#include "platform/x11/x11_button_grab.h"
#include "platform/x11/x11_click_injector.h"
#include "platform/x11/x11_compositor.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_hot_keys.h"

namespace nimbra {

struct X11Options {
  std::string display;  // empty: the environment's DISPLAY
  bool allowShm = true;
};

class X11Platform : public PosixPlatform {
 public:
  // None when the display cannot be opened.
  static std::unique_ptr<X11Platform> open(const X11Options& options = {});
  ~X11Platform() override;

  void setAccessoryActivationPolicy() override {}
  double firstScreenHeight() override;
  Point pointerLocation() override;
  std::optional<Point> currentEventLocation() override;
  std::unique_ptr<PlatformWindow> createOverlayWindow(ViewDelegate& view) override;
  std::unique_ptr<EventTap> createEventTap(TapCallbackFn callback) override;
  std::unique_ptr<EventSource> createEventSource() override;
  void installHotKeyHandler(HotKeyHandlerFn handler) override;
  HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                    HotKeyId id) override;
  void unregisterHotKey(HotKeyRef ref) override;
  // X11 asks no permission to watch and post input.
  bool isProcessTrusted(bool) override { return true; }

  X11Connection& connection() { return *connection_; }
  X11ClickInjector& clickInjector() { return *injector_; }

 private:
  X11Platform() = default;
  std::optional<Point> queryPointer();  // top-left points

  X11Options options_;
  std::unique_ptr<X11Connection> connection_;
  std::unique_ptr<X11CompositorWatch> compositor_;
  std::unique_ptr<X11ButtonGrab> grab_;
  std::unique_ptr<X11ClickInjector> injector_;
  std::unique_ptr<X11HotKeys> hotKeys_;
  Point lastPointer_;
};

// The X11 backend on the environment's display; none when DISPLAY is unset or cannot be
// opened, and the helper runs headless.
std::unique_ptr<PosixPlatform> createX11Platform();

}  // namespace nimbra
