#include "platform/wayland/wayland_connection.h"

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fractional-scale-client.h"
#include "layer-shell-client.h"
#include "viewporter-client.h"
#include "xdg-output-client.h"

namespace nimbra {

// The display's events on the GLib loop. Before each poll the queue is emptied and this thread
// announces its read (prepare_read), so no event can slip in between; after the poll the read
// is made or cancelled. Requests are flushed on every turn.
class WaylandConnection::Source {
 public:
  static GSource* create(WaylandConnection& c) {
    static GSourceFuncs funcs{&prepare, &check, &dispatch, nullptr, nullptr, nullptr};
    GSource* s = g_source_new(&funcs, sizeof(State));
    auto* state = reinterpret_cast<State*>(s);
    state->connection = &c;
    state->reading = false;
    state->polled = true;
    state->fd.fd = wl_display_get_fd(c.display_);
    state->fd.events = G_IO_IN | G_IO_ERR | G_IO_HUP;
    g_source_add_poll(s, &state->fd);
    g_source_attach(s, c.context_);
    return s;
  }

 private:
  struct State {
    GSource base;
    WaylandConnection* connection;
    bool reading;
    bool polled;
    GPollFD fd;
  };

  static gboolean prepare(GSource* s, gint* timeout) {
    auto* state = reinterpret_cast<State*>(s);
    WaylandConnection& c = *state->connection;
    *timeout = -1;
    if (!c.alive_) {
      // A hung-up socket polls ready for ever: it is no longer watched.
      if (state->polled) g_source_remove_poll(s, &state->fd);
      state->polled = false;
      return FALSE;
    }
    // A read announced on an earlier turn that was never checked still stands.
    if (!state->reading) {
      if (wl_display_prepare_read(c.display_) != 0) return TRUE;  // events already queued
      state->reading = true;
    }
    c.flush();
    return FALSE;
  }

  static gboolean check(GSource* s) {
    auto* state = reinterpret_cast<State*>(s);
    WaylandConnection& c = *state->connection;
    if (!state->reading) return c.alive_ && state->polled;
    state->reading = false;
    if (state->fd.revents & (G_IO_ERR | G_IO_HUP)) {
      wl_display_cancel_read(c.display_);
      c.lose();
      return FALSE;
    }
    if (state->fd.revents & G_IO_IN) {
      if (wl_display_read_events(c.display_) != 0) {
        c.lose();
        return FALSE;
      }
      return TRUE;
    }
    wl_display_cancel_read(c.display_);
    return FALSE;
  }

  static gboolean dispatch(GSource* s, GSourceFunc, gpointer) {
    WaylandConnection& c = *reinterpret_cast<State*>(s)->connection;
    if (c.alive_ && wl_display_dispatch_pending(c.display_) < 0) c.lose();
    if (c.alive_) c.flush();
    return G_SOURCE_CONTINUE;
  }
};

struct WaylandListeners {
  static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
    auto& c = *static_cast<WaylandConnection*>(data);
    auto bind = [&](const wl_interface* iface, std::uint32_t want) {
      return wl_registry_bind(registry, name, iface, std::min(version, want));
    };
    if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
      c.compositor_ = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
      c.shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
    } else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0 && version >= 3) {
      c.layerShell_ = static_cast<zwlr_layer_shell_v1*>(bind(&zwlr_layer_shell_v1_interface, 4));
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
      c.xdgOutputs_ =
          static_cast<zxdg_output_manager_v1*>(bind(&zxdg_output_manager_v1_interface, 3));
      for (auto& o : c.outputs_) c.watchOutput(*o);
    } else if (std::strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
      c.fractionalScale_ = static_cast<wp_fractional_scale_manager_v1*>(
          bind(&wp_fractional_scale_manager_v1_interface, 1));
    } else if (std::strcmp(interface, wp_viewporter_interface.name) == 0) {
      c.viewporter_ = static_cast<wp_viewporter*>(bind(&wp_viewporter_interface, 1));
    } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
      c.addOutput(name, version);
    } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && !c.seat_) {
      c.seat_ = static_cast<wl_seat*>(bind(&wl_seat_interface, 5));
      wl_seat_add_listener(c.seat_, &seat, &c);
    }
  }

  static void globalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto& c = *static_cast<WaylandConnection*>(data);
    auto gone = [name](const std::unique_ptr<WaylandOutput>& o) { return o->name == name; };
    auto it = std::find_if(c.outputs_.begin(), c.outputs_.end(), gone);
    if (it == c.outputs_.end()) return;
    if ((*it)->xdg) zxdg_output_v1_destroy((*it)->xdg);
    wl_output_destroy((*it)->output);
    c.outputs_.erase(it);
  }

  static WaylandOutput& out(void* data) { return *static_cast<WaylandOutput*>(data); }
  static void outputGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t,
                             std::int32_t, std::int32_t, const char*, const char*, std::int32_t) {
    if (!out(data).xdg) out(data).logical.origin = Point{double(x), double(y)};
  }
  static void outputMode(void* data, wl_output*, std::uint32_t flags, std::int32_t w,
                         std::int32_t h, std::int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    out(data).modeWidth = w;
    out(data).modeHeight = h;
  }
  static void outputDone(void* data, wl_output*) {
    WaylandOutput& o = out(data);
    if (!o.xdg)
      o.logical.size = Size{double(o.modeWidth) / o.scale, double(o.modeHeight) / o.scale};
  }
  static void outputScale(void* data, wl_output*, std::int32_t factor) {
    out(data).scale = std::max(1, factor);
  }
  static void outputName(void*, wl_output*, const char*) {}
  static void outputDescription(void*, wl_output*, const char*) {}

  static void xdgPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    out(data).logical.origin = Point{double(x), double(y)};
  }
  static void xdgSize(void* data, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
    out(data).logical.size = Size{double(w), double(h)};
  }
  static void xdgDone(void*, zxdg_output_v1*) {}
  static void xdgName(void*, zxdg_output_v1*, const char*) {}
  static void xdgDescription(void*, zxdg_output_v1*, const char*) {}

  static void seatCapabilities(void* data, wl_seat*, std::uint32_t caps) {
    static_cast<WaylandConnection*>(data)->setSeatCapabilities(caps);
  }
  static void seatName(void*, wl_seat*, const char*) {}

  static Point local(wl_fixed_t x, wl_fixed_t y) {
    return Point{wl_fixed_to_double(x), wl_fixed_to_double(y)};
  }
  // No cursor image is set: the one the pointer had over the desktop stays.
  static void pointerEnter(void* data, wl_pointer*, std::uint32_t, wl_surface* surface,
                           wl_fixed_t x, wl_fixed_t y) {
    auto& c = *static_cast<WaylandConnection*>(data);
    c.pointerFocus_ = surface;
    if (WaylandInputHandler* h = c.handlerFor(surface)) h->pointerEnter(local(x, y));
  }
  static void pointerLeave(void* data, wl_pointer*, std::uint32_t, wl_surface* surface) {
    auto& c = *static_cast<WaylandConnection*>(data);
    if (c.pointerFocus_ == surface) c.pointerFocus_ = nullptr;
  }
  static void pointerMotion(void* data, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
    auto& c = *static_cast<WaylandConnection*>(data);
    if (WaylandInputHandler* h = c.handlerFor(c.pointerFocus_)) h->pointerMotion(local(x, y));
  }
  static void pointerButton(void* data, wl_pointer*, std::uint32_t, std::uint32_t,
                            std::uint32_t button, std::uint32_t state) {
    auto& c = *static_cast<WaylandConnection*>(data);
    if (WaylandInputHandler* h = c.handlerFor(c.pointerFocus_)) {
      h->pointerButton(button, state == WL_POINTER_BUTTON_STATE_PRESSED);
    }
  }
  static void pointerAxis(void*, wl_pointer*, std::uint32_t, std::uint32_t, wl_fixed_t) {}
  static void pointerFrame(void*, wl_pointer*) {}
  static void pointerAxisSource(void*, wl_pointer*, std::uint32_t) {}
  static void pointerAxisStop(void*, wl_pointer*, std::uint32_t, std::uint32_t) {}
  static void pointerAxisDiscrete(void*, wl_pointer*, std::uint32_t, std::int32_t) {}
  static void pointerAxisValue120(void*, wl_pointer*, std::uint32_t, std::int32_t) {}

  static void keymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd,
                     std::uint32_t size) {
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1) {
      static_cast<WaylandConnection*>(data)->setKeymap(fd, size);
    }
    ::close(fd);
  }
  static void keyEnter(void* data, wl_keyboard*, std::uint32_t, wl_surface* surface, wl_array*) {
    static_cast<WaylandConnection*>(data)->keyboardFocus_ = surface;
  }
  static void keyLeave(void* data, wl_keyboard*, std::uint32_t, wl_surface* surface) {
    auto& c = *static_cast<WaylandConnection*>(data);
    if (c.keyboardFocus_ == surface) c.keyboardFocus_ = nullptr;
  }
  static void key(void* data, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t code,
                  std::uint32_t state) {
    auto& c = *static_cast<WaylandConnection*>(data);
    WaylandInputHandler* h = c.handlerFor(c.keyboardFocus_);
    if (!h || !c.keyState_) return;
    // Codes are the kernel's; the keymap (any layout, or a tool's own) says what they type.
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(c.keyState_, code + 8);
    h->key(sym, state == WL_KEYBOARD_KEY_STATE_PRESSED);
  }
  static void modifiers(void* data, wl_keyboard*, std::uint32_t, std::uint32_t depressed,
                        std::uint32_t latched, std::uint32_t locked, std::uint32_t group) {
    auto& c = *static_cast<WaylandConnection*>(data);
    if (c.keyState_) xkb_state_update_mask(c.keyState_, depressed, latched, locked, 0, 0, group);
  }
  static void repeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

  static constexpr wl_registry_listener registry{&global, &globalRemove};
  static constexpr wl_output_listener output{&outputGeometry, &outputMode, &outputDone,
                                             &outputScale,    &outputName, &outputDescription};
  static constexpr zxdg_output_v1_listener xdgOutput{&xdgPosition, &xdgSize, &xdgDone, &xdgName,
                                                     &xdgDescription};
  static constexpr wl_seat_listener seat{&seatCapabilities, &seatName};
  static constexpr wl_pointer_listener pointer{
      &pointerEnter,        &pointerLeave,       &pointerMotion,     &pointerButton,
      &pointerAxis,         &pointerFrame,       &pointerAxisSource, &pointerAxisStop,
      &pointerAxisDiscrete, &pointerAxisValue120};
  static constexpr wl_keyboard_listener keyboard{&keymap, &keyEnter,  &keyLeave,
                                                 &key,    &modifiers, &repeatInfo};
};

std::unique_ptr<WaylandConnection> WaylandConnection::open(GMainContext* context) {
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return nullptr;
  std::unique_ptr<WaylandConnection> c(new WaylandConnection());
  c->display_ = display;
  c->context_ = context;
  c->registry_ = wl_display_get_registry(display);
  wl_registry_add_listener(c->registry_, &WaylandListeners::registry, c.get());
  // The globals, then what binding them brought: outputs' places, the seat's devices.
  if (wl_display_roundtrip(display) < 0 || wl_display_roundtrip(display) < 0) return nullptr;
  c->source_ = Source::create(*c);
  return c;
}

WaylandConnection::~WaylandConnection() {
  if (source_) {
    g_source_destroy(source_);
    g_source_unref(source_);
  }
  if (!display_) return;
  // Answers still owed are never run.
  for (auto& pending : syncs_) wl_callback_destroy(pending->callback);
  for (auto& o : outputs_) {
    if (o->xdg) zxdg_output_v1_destroy(o->xdg);
    wl_output_destroy(o->output);
  }
  if (pointer_) wl_pointer_destroy(pointer_);
  if (keyboard_) wl_keyboard_destroy(keyboard_);
  if (seat_) wl_seat_destroy(seat_);
  if (layerShell_) zwlr_layer_shell_v1_destroy(layerShell_);
  if (xdgOutputs_) zxdg_output_manager_v1_destroy(xdgOutputs_);
  if (fractionalScale_) wp_fractional_scale_manager_v1_destroy(fractionalScale_);
  if (viewporter_) wp_viewporter_destroy(viewporter_);
  if (shm_) wl_shm_destroy(shm_);
  if (compositor_) wl_compositor_destroy(compositor_);
  wl_registry_destroy(registry_);
  wl_display_disconnect(display_);
  if (keyState_) xkb_state_unref(keyState_);
  if (keymap_) xkb_keymap_unref(keymap_);
  if (xkb_) xkb_context_unref(xkb_);
}

void WaylandConnection::setKeymap(int fd, std::uint32_t size) {
  void* text = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (text == MAP_FAILED) return;
  if (!xkb_) xkb_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap =
      xkb_ ? xkb_keymap_new_from_buffer(xkb_, static_cast<const char*>(text),
                                        strnlen(static_cast<const char*>(text), size),
                                        XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS)
           : nullptr;
  ::munmap(text, size);
  if (!keymap) return;
  if (keyState_) xkb_state_unref(keyState_);
  if (keymap_) xkb_keymap_unref(keymap_);
  keymap_ = keymap;
  keyState_ = xkb_state_new(keymap);
}

void WaylandConnection::lose() {
  alive_ = false;
  pointerFocus_ = nullptr;
  keyboardFocus_ = nullptr;
}

void WaylandConnection::flush() {
  if (!alive_) return;
  // A full socket (EAGAIN) keeps the rest queued for the next turn; anything else is the end.
  if (wl_display_flush(display_) < 0 && errno != EAGAIN) lose();
}

void WaylandConnection::sync(std::function<void()> done) {
  if (!alive_) return;
  static const wl_callback_listener listener{[](void* data, wl_callback*, std::uint32_t) {
    auto* pending = static_cast<PendingSync*>(data);
    WaylandConnection& c = *pending->connection;
    const std::function<void()> done = std::move(pending->done);
    wl_callback_destroy(pending->callback);
    std::erase_if(c.syncs_, [&](const auto& p) { return p.get() == pending; });
    done();
  }};
  auto& pending = syncs_.emplace_back(
      std::make_unique<PendingSync>(PendingSync{this, wl_display_sync(display_), std::move(done)}));
  wl_callback_add_listener(pending->callback, &listener, pending.get());
  flush();
}

void WaylandConnection::addOutput(std::uint32_t name, std::uint32_t version) {
  auto o = std::make_unique<WaylandOutput>();
  o->name = name;
  o->output = static_cast<wl_output*>(
      wl_registry_bind(registry_, name, &wl_output_interface, std::min(version, 2u)));
  wl_output_add_listener(o->output, &WaylandListeners::output, o.get());
  watchOutput(*o);
  outputs_.push_back(std::move(o));
}

void WaylandConnection::watchOutput(WaylandOutput& o) {
  if (!xdgOutputs_ || o.xdg) return;
  o.xdg = zxdg_output_manager_v1_get_xdg_output(xdgOutputs_, o.output);
  zxdg_output_v1_add_listener(o.xdg, &WaylandListeners::xdgOutput, &o);
}

void WaylandConnection::setSeatCapabilities(std::uint32_t caps) {
  const bool pointer = caps & WL_SEAT_CAPABILITY_POINTER;
  const bool keyboard = caps & WL_SEAT_CAPABILITY_KEYBOARD;
  if (pointer && !pointer_) {
    pointer_ = wl_seat_get_pointer(seat_);
    wl_pointer_add_listener(pointer_, &WaylandListeners::pointer, this);
  } else if (!pointer && pointer_) {
    wl_pointer_release(pointer_);
    pointer_ = nullptr;
    pointerFocus_ = nullptr;
  }
  if (keyboard && !keyboard_) {
    keyboard_ = wl_seat_get_keyboard(seat_);
    wl_keyboard_add_listener(keyboard_, &WaylandListeners::keyboard, this);
  } else if (!keyboard && keyboard_) {
    wl_keyboard_release(keyboard_);
    keyboard_ = nullptr;
    keyboardFocus_ = nullptr;
  }
}

const WaylandOutput* WaylandConnection::outputAt(Point p) const {
  for (const auto& o : outputs_) {
    if (o->contains(p)) return o.get();
  }
  return outputs_.empty() ? nullptr : outputs_.front().get();
}

double WaylandConnection::firstScreenHeight() const {
  return outputs_.empty() ? 0 : outputs_.front()->logical.size.height;
}

void WaylandConnection::addInputHandler(wl_surface* surface, WaylandInputHandler* handler) {
  handlers_[surface] = handler;
}

void WaylandConnection::removeInputHandler(wl_surface* surface) {
  handlers_.erase(surface);
  if (pointerFocus_ == surface) pointerFocus_ = nullptr;
  if (keyboardFocus_ == surface) keyboardFocus_ = nullptr;
}

WaylandInputHandler* WaylandConnection::handlerFor(wl_surface* surface) const {
  if (!surface) return nullptr;
  auto it = handlers_.find(surface);
  return it == handlers_.end() ? nullptr : it->second;
}

}  // namespace nimbra
