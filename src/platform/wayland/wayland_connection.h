// The backend's one connection to the Wayland compositor: the globals the overlay needs, the
// outputs with their places in the desktop's layout, the seat's pointer and keyboard handed to
// the surface they are over, and the display's events read on the GLib loop.
//
// If the compositor goes away, the connection is marked lost and every part stops talking to
// it; the loop, timers and the file protocol carry on.
#pragma once

#include <glib.h>
#include <wayland-client.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

struct zwlr_layer_shell_v1;
struct wp_fractional_scale_manager_v1;
struct wp_viewporter;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace nimbra {

// One output and where it lies in the layout of all outputs, in logical points.
struct WaylandOutput {
  std::uint32_t name = 0;  // the registry's name for it
  wl_output* output = nullptr;
  zxdg_output_v1* xdg = nullptr;
  Rect logical;
  int modeWidth = 0;  // pixels, for compositors without xdg-output
  int modeHeight = 0;
  int scale = 1;
  bool contains(Point p) const {
    return p.x >= logical.origin.x && p.y >= logical.origin.y &&
           p.x < logical.origin.x + logical.size.width &&
           p.y < logical.origin.y + logical.size.height;
  }
};

// A surface's share of the seat's input. Points are surface-local, in logical points.
class WaylandInputHandler {
 public:
  virtual ~WaylandInputHandler() = default;
  virtual void pointerEnter(Point at) = 0;
  virtual void pointerMotion(Point at) = 0;
  virtual void pointerButton(std::uint32_t button, bool pressed) = 0;
  // Keys as the keyboard's own layout names them (XKB keysyms: XKB_KEY_Escape...), while the
  // surface has the keyboard.
  virtual void key(std::uint32_t keysym, bool pressed) { (void)keysym, (void)pressed; }
};

class WaylandConnection {
 public:
  // Connects to the environment's WAYLAND_DISPLAY and learns its globals with two round trips;
  // none when no compositor answers.
  static std::unique_ptr<WaylandConnection> open(GMainContext* context);
  ~WaylandConnection();
  WaylandConnection(const WaylandConnection&) = delete;
  WaylandConnection& operator=(const WaylandConnection&) = delete;

  GMainContext* context() const { return context_; }
  bool alive() const { return alive_; }
  wl_compositor* compositor() const { return compositor_; }
  wl_shm* shm() const { return shm_; }
  zwlr_layer_shell_v1* layerShell() const { return layerShell_; }
  // Both, or neither: a fractional scale is of no use without a viewport to show it.
  wp_fractional_scale_manager_v1* fractionalScale() const {
    return viewporter_ ? fractionalScale_ : nullptr;
  }
  wp_viewporter* viewporter() const { return viewporter_; }
  bool hasPointer() const { return pointer_ != nullptr; }

  const std::vector<std::unique_ptr<WaylandOutput>>& outputs() const { return outputs_; }
  // The output holding `p` (layout points), else the first; null when there is none.
  const WaylandOutput* outputAt(Point p) const;
  // The first output's logical height: the reference for bottom-left coordinates.
  double firstScreenHeight() const;

  // `handler` gets the input that reaches `surface`, until removed.
  void addInputHandler(wl_surface* surface, WaylandInputHandler* handler);
  void removeInputHandler(wl_surface* surface);

  // Sends what was queued; what cannot go now goes when the socket takes it.
  void flush();
  // `done` runs once the compositor has handled every request sent before this; never if the
  // connection is lost first.
  void sync(std::function<void()> done);

 private:
  friend struct WaylandListeners;
  class Source;
  struct PendingSync {
    WaylandConnection* connection;
    wl_callback* callback;
    std::function<void()> done;
  };
  WaylandConnection() = default;
  void lose();
  void addOutput(std::uint32_t name, std::uint32_t version);
  void watchOutput(WaylandOutput& output);
  void setSeatCapabilities(std::uint32_t caps);
  WaylandInputHandler* handlerFor(wl_surface* surface) const;
  void setKeymap(int fd, std::uint32_t size);

  wl_display* display_ = nullptr;
  GMainContext* context_ = nullptr;
  bool alive_ = true;
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  wl_seat* seat_ = nullptr;
  wl_pointer* pointer_ = nullptr;
  wl_keyboard* keyboard_ = nullptr;
  zwlr_layer_shell_v1* layerShell_ = nullptr;
  zxdg_output_manager_v1* xdgOutputs_ = nullptr;
  wp_fractional_scale_manager_v1* fractionalScale_ = nullptr;
  wp_viewporter* viewporter_ = nullptr;
  std::vector<std::unique_ptr<WaylandOutput>> outputs_;
  std::vector<std::unique_ptr<PendingSync>> syncs_;
  std::map<wl_surface*, WaylandInputHandler*> handlers_;
  wl_surface* pointerFocus_ = nullptr;
  wl_surface* keyboardFocus_ = nullptr;
  GSource* source_ = nullptr;
  xkb_context* xkb_ = nullptr;
  xkb_keymap* keymap_ = nullptr;  // the keyboard's, as last sent
  xkb_state* keyState_ = nullptr;
};

}  // namespace nimbra
