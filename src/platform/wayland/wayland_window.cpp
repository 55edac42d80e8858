#include "platform/wayland/wayland_window.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <cmath>

#include "fractional-scale-client.h"
#include "layer-shell-client.h"
#include "viewporter-client.h"
#include "wheel/paint/canvas.h"

namespace nimbra {

WaylandWindow::WaylandWindow(WaylandConnection& connection, ViewDelegate& view)
    : connection_(connection), view_(view) {}

WaylandWindow::~WaylandWindow() {
  destroySurface();
  buffers_.clear();
  connection_.flush();
}

const WaylandOutput* WaylandWindow::output() const {
  for (const auto& o : connection_.outputs()) {
    if (o->name == outputName_) return o.get();
  }
  return nullptr;
}

void WaylandWindow::setFrame(const Rect& frame) {
  // Frames come in bottom-left points; the layout counts from the top left.
  const double top = connection_.firstScreenHeight() - frame.origin.y - frame.size.height;
  const Point centre{frame.origin.x + frame.size.width / 2, top + frame.size.height / 2};
  const WaylandOutput* out = connection_.outputAt(centre);
  if (!out) return;
  const Rect& o = out->logical;
  // Only the part on the output: a huge wheel never makes a buffer larger than the screen.
  const double left =
      std::clamp(std::floor(frame.origin.x), o.origin.x, o.origin.x + o.size.width - 1);
  const double upper = std::clamp(std::floor(top), o.origin.y, o.origin.y + o.size.height - 1);
  const double right =
      std::clamp(std::ceil(frame.origin.x + frame.size.width), left + 1, o.origin.x + o.size.width);
  const double bottom =
      std::clamp(std::ceil(top + frame.size.height), upper + 1, o.origin.y + o.size.height);
  const Rect placed{{left, upper}, {right - left, bottom - upper}};
  const bool moved = out->name != outputName_ || out->scale != outputScale_;
  if (placed == placed_ && !moved) return;
  if (moved && surface_) destroySurface();
  placed_ = placed;
  offset_ = Point{left - frame.origin.x, upper - top};
  outputName_ = out->name;
  outputScale_ = out->scale;
  // The compositor's preferred scale is kept from one opening to the next on the same output,
  // so that the first frame is painted at it.
  if (moved) scale120_ = 0;
  scale_ = scale120_ ? scale120_ / 120.0 : outputScale_;
  dirty_ = true;
  staged_ = nullptr;
  if (layer_) {
    zwlr_layer_surface_v1_set_size(layer_, static_cast<std::uint32_t>(placed.size.width),
                                   static_cast<std::uint32_t>(placed.size.height));
    zwlr_layer_surface_v1_set_margin(layer_, static_cast<int>(upper - o.origin.y), 0, 0,
                                     static_cast<int>(left - o.origin.x));
  } else if (!wantShown_) {
    // Painted ahead of showing: the first opening then only sends it.
    staged_ = paint(false);
  }
}

void WaylandWindow::setNeedsDisplay() {
  dirty_ = true;
  staged_ = nullptr;
  if (wantShown_) scheduleDisplay();
}

void WaylandWindow::orderFrontRegardless() {
  if (!connection_.alive()) return;
  wantShown_ = true;
  if (closing_) {
    closing_ = false;
    dirty_ = true;
  }
  if (!surface_) {
    createSurface();
    return;
  }
  if (dirty_) display();
}

void WaylandWindow::orderOut() {
  if (!wantShown_) return;
  wantShown_ = false;
  if (buttonsDown_ > 0 && configured_) {
    // The press that closed the wheel: its release is ours too.
    closing_ = true;
    display();
    return;
  }
  destroySurface();
  connection_.flush();
}

void WaylandWindow::setIgnoresMouseEvents(bool ignores) {
  ignoresMouse_ = ignores;
}

void WaylandWindow::takeKeyboard(bool take) {
  keyboard_ = take;
  if (!layer_) return;
  zwlr_layer_surface_v1_set_keyboard_interactivity(
      layer_, take ? ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_EXCLUSIVE
                   : ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
  wl_surface_commit(surface_);
  connection_.flush();
}

void WaylandWindow::createSurface() {
  const WaylandOutput* out = output();
  if (!out || !connection_.layerShell()) return;
  surface_ = wl_compositor_create_surface(connection_.compositor());
  connection_.addInputHandler(surface_, this);
  if (connection_.fractionalScale()) {
    fractional_ = wp_fractional_scale_manager_v1_get_fractional_scale(connection_.fractionalScale(),
                                                                      surface_);
    static const wp_fractional_scale_v1_listener scaleListener{&WaylandWindow::onPreferredScale};
    wp_fractional_scale_v1_add_listener(fractional_, &scaleListener, this);
    viewport_ = wp_viewporter_get_viewport(connection_.viewporter(), surface_);
  }
  layer_ = zwlr_layer_shell_v1_get_layer_surface(connection_.layerShell(), surface_, out->output,
                                                 ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY, "nimbra-wheel");
  static const zwlr_layer_surface_v1_listener listener{&WaylandWindow::onConfigure,
                                                       &WaylandWindow::onClosed};
  zwlr_layer_surface_v1_add_listener(layer_, &listener, this);
  zwlr_layer_surface_v1_set_anchor(
      layer_, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT);
  zwlr_layer_surface_v1_set_size(layer_, static_cast<std::uint32_t>(placed_.size.width),
                                 static_cast<std::uint32_t>(placed_.size.height));
  zwlr_layer_surface_v1_set_margin(layer_,
                                   static_cast<int>(placed_.origin.y - out->logical.origin.y), 0, 0,
                                   static_cast<int>(placed_.origin.x - out->logical.origin.x));
  // Placed against the output's edges, whatever panels reserve.
  zwlr_layer_surface_v1_set_exclusive_zone(layer_, -1);
  if (keyboard_) takeKeyboard(true);
  configured_ = false;
  wl_surface_commit(surface_);
  connection_.flush();
}

void WaylandWindow::destroySurface() {
  closing_ = false;
  buttonsDown_ = 0;
  configured_ = false;
  attached_ = false;
  if (!surface_) return;
  connection_.removeInputHandler(surface_);
  if (fractional_) wp_fractional_scale_v1_destroy(fractional_);
  if (viewport_) wp_viewport_destroy(viewport_);
  if (layer_) zwlr_layer_surface_v1_destroy(layer_);
  wl_surface_destroy(surface_);
  fractional_ = nullptr;
  viewport_ = nullptr;
  layer_ = nullptr;
  surface_ = nullptr;
}

void WaylandWindow::onConfigure(void* self, zwlr_layer_surface_v1* layer, std::uint32_t serial,
                                std::uint32_t, std::uint32_t) {
  auto* w = static_cast<WaylandWindow*>(self);
  zwlr_layer_surface_v1_ack_configure(layer, serial);
  w->configured_ = true;
  // The configures that follow the first (the keyboard taken, say) change nothing painted: the
  // acknowledgement goes with a bare commit instead of a repaint into yet another buffer.
  if (w->attached_ && !w->dirty_) {
    wl_surface_commit(w->surface_);
    w->connection_.flush();
    return;
  }
  w->display();
}

void WaylandWindow::onClosed(void* self, zwlr_layer_surface_v1*) {
  // The compositor took the surface away (its output went): the next showing makes another.
  static_cast<WaylandWindow*>(self)->destroySurface();
}

void WaylandWindow::onPreferredScale(void* self, wp_fractional_scale_v1*, std::uint32_t scale120) {
  auto* w = static_cast<WaylandWindow*>(self);
  if (scale120 == 0 || scale120 == w->scale120_) return;
  w->scale120_ = scale120;
  w->scale_ = scale120 / 120.0;
  w->setNeedsDisplay();
}

int WaylandWindow::pixels(double points) const {
  return scale120_ ? static_cast<int>(std::lround(points * scale120_ / 120.0))
                   : static_cast<int>(points) * outputScale_;
}

void WaylandWindow::scheduleDisplay() {
  if (connection_.alive()) paint_.schedule();
}

WaylandBuffer* WaylandWindow::paint(bool blank) {
  const int width = pixels(placed_.size.width);
  const int height = pixels(placed_.size.height);
  // Buffers of another size are let go once the compositor has given them back.
  std::erase_if(buffers_, [&](const std::unique_ptr<WaylandBuffer>& b) {
    return !b->busy() && (b->width() != width || b->height() != height);
  });
  WaylandBuffer* free = nullptr;
  for (auto& b : buffers_) {
    if (!b->busy() && b->width() == width && b.get() != staged_) free = b.get();
  }
  if (!free) {
    std::unique_ptr<WaylandBuffer> made = WaylandBuffer::create(connection_.shm(), width, height);
    if (!made) return nullptr;
    free = made.get();
    buffers_.push_back(std::move(made));
  }
  cairo_t* cr = cairo_create(free->surface());
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  if (!blank) {
    Canvas canvas{cr, scale_};
    cairo_translate(cr, -offset_.x * scale_, -offset_.y * scale_);
    view_.draw(canvas, Rect{offset_, placed_.size});
    dirty_ = false;
  }
  cairo_destroy(cr);
  cairo_surface_flush(free->surface());
  return free;
}

void WaylandWindow::display() {
  if (!layer_ || !configured_ || !connection_.alive()) return;
  WaylandBuffer* b = nullptr;
  if (closing_) {
    b = paint(true);
  } else if (staged_ && !dirty_ && !staged_->busy()) {
    b = staged_;
  } else {
    b = paint(false);
  }
  staged_ = nullptr;
  if (!b) return;
  wl_surface_attach(surface_, b->buffer(), 0, 0);
  if (viewport_) {
    // The viewport gives the surface its logical size whatever the buffer's.
    wl_surface_set_buffer_scale(surface_, 1);
    wp_viewport_set_destination(viewport_, static_cast<int>(placed_.size.width),
                                static_cast<int>(placed_.size.height));
  } else {
    wl_surface_set_buffer_scale(surface_, outputScale_);
  }
  wl_surface_damage_buffer(surface_, 0, 0, b->width(), b->height());
  wl_surface_commit(surface_);
  b->setBusy();
  attached_ = true;
  connection_.flush();
}

void WaylandWindow::pointerEnter(Point at) {
  pointerMotion(at);
}

void WaylandWindow::pointerMotion(Point at) {
  lastLocal_ = at;
  if (ignoresMouse_ && wantShown_ && onPointerAt) {
    onPointerAt(Point{placed_.origin.x + at.x, placed_.origin.y + at.y});
  }
  if (ignoresMouse_ || !wantShown_) return;
  if (buttonsDown_ > 0) {
    view_.mouseDragged(inView(at));
  } else {
    view_.mouseMoved(inView(at));
  }
}

void WaylandWindow::pointerButton(std::uint32_t button, bool pressed) {
  if (!pressed) {
    buttonsDown_ = std::max(0, buttonsDown_ - 1);
    if (buttonsDown_ == 0 && closing_) {
      destroySurface();
      connection_.flush();
    }
    return;
  }
  ++buttonsDown_;
  if (ignoresMouse_ || !wantShown_) return;
  // The last motion gave the position; buttons carry none.
  switch (button) {
    case BTN_LEFT:
      view_.mouseDown(inView(lastLocal_));
      return;
    case BTN_RIGHT:
      view_.rightMouseDown(inView(lastLocal_));
      return;
    default:
      view_.otherMouseDown(inView(lastLocal_));
      return;
  }
}

void WaylandWindow::key(std::uint32_t keysym, bool pressed) {
  if (pressed && keysym == XKB_KEY_Escape && keyboard_ && onEscape) onEscape();
}

}  // namespace nimbra
