// The overlay on Wayland: a layer surface on the overlay layer of the output under the wheel's
// centre, transparent around the ring, never given the keyboard unless asked (Escape in
// hot-key mode). It has the pointer while shown: the view gets the mouse while it takes it (the
// hot key's wheel), and the held button's wheel is told where the pointer is drawn.
//
// A layer surface cannot leave its output, so the window is the part of the view's square on
// that output; pointer positions are given back in the whole view's coordinates. A click that
// closes the wheel keeps an empty surface until the button comes up, so its release never
// reaches what lies beneath.
//
// Painted at the output's integer scale, or, where the compositor offers fractional scales, at
// the scale it prefers for the surface: a buffer of logical size × scale shown at the logical
// size through a viewport.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/coalesced_idle.h"
#include "platform/platform.h"
#include "platform/wayland/wayland_buffer.h"
#include "platform/wayland/wayland_connection.h"

struct zwlr_layer_surface_v1;
struct wp_fractional_scale_v1;
struct wp_viewport;

namespace nimbra {

class WaylandWindow : public PlatformWindow, private WaylandInputHandler {
 public:
  WaylandWindow(WaylandConnection& connection, ViewDelegate& view);
  ~WaylandWindow() override;
  WaylandWindow(const WaylandWindow&) = delete;
  WaylandWindow& operator=(const WaylandWindow&) = delete;

  void setFrame(const Rect& frame) override;
  void setNeedsDisplay() override;
  void orderFrontRegardless() override;
  void orderOut() override;
  void setIgnoresMouseEvents(bool ignores) override;
  double backingScale() const override { return scale_; }

  // Shown, or asked to be and waiting for the compositor.
  bool shown() const { return wantShown_; }
  // Takes the keyboard for the surface (Escape) or gives it back.
  void takeKeyboard(bool take);
  // Escape pressed while the surface has the keyboard.
  std::function<void()> onEscape;
  // Where the pointer is on the surface while it ignores the mouse, in layout points: the
  // pointer as drawn, acceleration and all.
  std::function<void(Point)> onPointerAt;

 private:
  void pointerEnter(Point at) override;
  void pointerMotion(Point at) override;
  void pointerButton(std::uint32_t button, bool pressed) override;
  void key(std::uint32_t keysym, bool pressed) override;

  const WaylandOutput* output() const;
  void createSurface();
  void destroySurface();
  void scheduleDisplay();
  static void onConfigure(void* self, zwlr_layer_surface_v1*, std::uint32_t serial,
                          std::uint32_t width, std::uint32_t height);
  static void onClosed(void* self, zwlr_layer_surface_v1*);
  static void onPreferredScale(void* self, wp_fractional_scale_v1*, std::uint32_t scale120);
  // Device pixels for a length in points.
  int pixels(double points) const;
  // Paints the view (or nothing, while closing) into a free buffer.
  WaylandBuffer* paint(bool blank);
  // Sends the current picture when the surface is ready for it.
  void display();
  Point inView(Point local) const { return Point{local.x + offset_.x, local.y + offset_.y}; }

  WaylandConnection& connection_;
  ViewDelegate& view_;
  // The part of the view's square that the surface covers, in layout points, and where that
  // part starts within the view.
  Rect placed_{{0, 0}, {1, 1}};
  Point offset_;
  std::uint32_t outputName_ = 0;  // the output the surface is (to be) on; 0 for none
  int outputScale_ = 1;           // the output's integer scale
  // The compositor's preferred scale in 120ths, where it offers fractional scales; else 0.
  std::uint32_t scale120_ = 0;
  double scale_ = 1;  // device pixels per point, as painted
  wl_surface* surface_ = nullptr;
  zwlr_layer_surface_v1* layer_ = nullptr;
  wp_fractional_scale_v1* fractional_ = nullptr;
  wp_viewport* viewport_ = nullptr;
  bool configured_ = false;
  bool attached_ = false;  // a picture was committed to this surface
  bool wantShown_ = false;
  bool dirty_ = true;
  bool ignoresMouse_ = true;
  bool keyboard_ = false;
  bool closing_ = false;  // hidden, the surface kept for the release of a held button
  int buttonsDown_ = 0;
  Point lastLocal_;                  // the pointer's last place on the surface
  WaylandBuffer* staged_ = nullptr;  // painted ahead, not yet sent
  std::vector<std::unique_ptr<WaylandBuffer>> buffers_;
  CoalescedIdle paint_{connection_.context(), [this] { display(); }};
};

}  // namespace nimbra
