#include "platform/wayland/wayland_pointer_probe.h"

#include <algorithm>

#include "layer-shell-client.h"

namespace nimbra {

struct WaylandPointerProbe::Cover : WaylandInputHandler {
  WaylandPointerProbe* probe = nullptr;
  Point origin;  // the output's place in the layout
  wl_surface* surface = nullptr;
  zwlr_layer_surface_v1* layer = nullptr;

  ~Cover() override {
    probe->connection_.removeInputHandler(surface);
    zwlr_layer_surface_v1_destroy(layer);
    wl_surface_destroy(surface);
  }
  void pointerEnter(Point at) override { probe->finish({origin.x + at.x, origin.y + at.y}); }
  void pointerMotion(Point at) override { pointerEnter(at); }
  void pointerButton(std::uint32_t, bool) override {}

  static void configure(void* data, zwlr_layer_surface_v1* layer, std::uint32_t serial,
                        std::uint32_t width, std::uint32_t height) {
    auto* c = static_cast<Cover*>(data);
    zwlr_layer_surface_v1_ack_configure(layer, serial);
    // One clear buffer of the output's logical size, never painted: its pages stay untouched.
    auto& kept = c->probe->clear_;
    auto it = std::find_if(kept.begin(), kept.end(), [&](const auto& b) {
      return !b->busy() && b->width() == int(width) && b->height() == int(height);
    });
    WaylandBuffer* b = nullptr;
    if (it != kept.end()) {
      b = it->get();
    } else if (auto made = WaylandBuffer::create(c->probe->connection_.shm(), width, height)) {
      b = made.get();
      kept.push_back(std::move(made));
    }
    if (!b) return;
    wl_surface_attach(c->surface, b->buffer(), 0, 0);
    wl_surface_commit(c->surface);
    b->setBusy();
    c->probe->connection_.flush();
  }
  static void closed(void*, zwlr_layer_surface_v1*) {}
};

WaylandPointerProbe::WaylandPointerProbe(WaylandConnection& connection) : connection_(connection) {}

WaylandPointerProbe::~WaylandPointerProbe() {
  if (patience_) g_source_remove(patience_);
  surfaces_.clear();
  clear_.clear();
}

bool WaylandPointerProbe::start(std::function<void(Point)> found,
                                std::function<void()> unanswered) {
  if (active()) return true;
  if (!connection_.alive() || !connection_.hasPointer() || !connection_.layerShell()) return false;
  found_ = std::move(found);
  unanswered_ = std::move(unanswered);
  static const zwlr_layer_surface_v1_listener listener{&Cover::configure, &Cover::closed};
  for (const auto& out : connection_.outputs()) {
    auto c = std::make_unique<Cover>();
    c->probe = this;
    c->origin = out->logical.origin;
    c->surface = wl_compositor_create_surface(connection_.compositor());
    connection_.addInputHandler(c->surface, c.get());
    c->layer = zwlr_layer_shell_v1_get_layer_surface(connection_.layerShell(), c->surface,
                                                     out->output, ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY,
                                                     "nimbra-wheel-pointer");
    zwlr_layer_surface_v1_add_listener(c->layer, &listener, c.get());
    // Size 0 along anchored edges: the compositor gives the whole output.
    zwlr_layer_surface_v1_set_anchor(
        c->layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                      ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
    zwlr_layer_surface_v1_set_exclusive_zone(c->layer, -1);
    wl_surface_commit(c->surface);
    surfaces_.push_back(std::move(c));
  }
  connection_.flush();
  if (active()) {
    GSource* timer = g_timeout_source_new(kPatienceMs);
    g_source_set_callback(
        timer,
        [](gpointer self) -> gboolean {
          auto* probe = static_cast<WaylandPointerProbe*>(self);
          probe->patience_ = 0;
          std::function<void()> unanswered = std::move(probe->unanswered_);
          probe->cancel();
          if (unanswered) unanswered();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    patience_ = g_source_attach(timer, connection_.context());
    g_source_unref(timer);
  }
  return active();
}

void WaylandPointerProbe::cancel() {
  if (patience_) g_source_remove(patience_);
  patience_ = 0;
  surfaces_.clear();
  found_ = nullptr;
  unanswered_ = nullptr;
  connection_.flush();
}

void WaylandPointerProbe::finish(Point at) {
  std::function<void(Point)> found = std::move(found_);
  unanswered_ = nullptr;
  if (patience_) g_source_remove(patience_);
  patience_ = 0;
  // The cover reporting this goes too: nothing of it is touched after this call.
  surfaces_.clear();
  connection_.flush();
  if (found) found(at);
}

}  // namespace nimbra
