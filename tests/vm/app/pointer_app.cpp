// The application of the guest's checks: a clear layer surface on the bottom layer over the whole
// output that prints each place the pointer enters or moves to ("at X,Y") and each button it gets
// ("button CODE 1|0 at X,Y"), in surface points, and "ready" once it is on the screen.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "layer-shell-client.h"

namespace {

wl_compositor* compositor = nullptr;
wl_shm* shm = nullptr;
zwlr_layer_shell_v1* shell = nullptr;
wl_surface* surface = nullptr;
double px = 0, py = 0;

void at(double x, double y) {
  px = x, py = y;
  std::printf("at %.0f,%.0f\n", px, py);
}

const wl_pointer_listener pointerListener{
    .enter = [](void*, wl_pointer*, uint32_t, wl_surface*, wl_fixed_t x,
                wl_fixed_t y) { at(wl_fixed_to_double(x), wl_fixed_to_double(y)); },
    .leave = [](void*, wl_pointer*, uint32_t, wl_surface*) {},
    .motion = [](void*, wl_pointer*, uint32_t, wl_fixed_t x,
                 wl_fixed_t y) { at(wl_fixed_to_double(x), wl_fixed_to_double(y)); },
    .button =
        [](void*, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
          std::printf("button %u %u at %.0f,%.0f\n", button, state, px, py);
        },
    .axis = [](void*, wl_pointer*, uint32_t, uint32_t, wl_fixed_t) {},
    // Later versions' events, never sent to a version 1 seat.
    .frame = nullptr,
    .axis_source = nullptr,
    .axis_stop = nullptr,
    .axis_discrete = nullptr,
    .axis_value120 = nullptr,
};

const wl_seat_listener seatListener{
    .capabilities =
        [](void*, wl_seat* seat, uint32_t caps) {
          if (caps & WL_SEAT_CAPABILITY_POINTER)
            wl_pointer_add_listener(wl_seat_get_pointer(seat), &pointerListener, nullptr);
        },
    .name = nullptr,
};

const wl_registry_listener registryListener{
    [](void*, wl_registry* r, uint32_t name, const char* iface, uint32_t) {
      if (!std::strcmp(iface, wl_compositor_interface.name)) {
        compositor =
            static_cast<wl_compositor*>(wl_registry_bind(r, name, &wl_compositor_interface, 4));
      } else if (!std::strcmp(iface, wl_shm_interface.name)) {
        shm = static_cast<wl_shm*>(wl_registry_bind(r, name, &wl_shm_interface, 1));
      } else if (!std::strcmp(iface, wl_seat_interface.name)) {
        // Version 1: the pointer sends no frame or axis-source events this listener lacks.
        auto* seat = static_cast<wl_seat*>(wl_registry_bind(r, name, &wl_seat_interface, 1));
        wl_seat_add_listener(seat, &seatListener, nullptr);
      } else if (!std::strcmp(iface, zwlr_layer_shell_v1_interface.name)) {
        shell = static_cast<zwlr_layer_shell_v1*>(
            wl_registry_bind(r, name, &zwlr_layer_shell_v1_interface, 3));
      }
    },
    [](void*, wl_registry*, uint32_t) {},
};

const zwlr_layer_surface_v1_listener layerListener{
    [](void*, zwlr_layer_surface_v1* layer, uint32_t serial, uint32_t w, uint32_t h) {
      zwlr_layer_surface_v1_ack_configure(layer, serial);
      const int size = int(w * h * 4);
      const int fd = memfd_create("pointer-app", MFD_CLOEXEC);
      if (fd < 0 || ftruncate(fd, size) < 0) return;
      wl_shm_pool* pool = wl_shm_create_pool(shm, fd, size);
      wl_buffer* buffer =
          wl_shm_pool_create_buffer(pool, 0, int(w), int(h), int(w * 4), WL_SHM_FORMAT_ARGB8888);
      wl_shm_pool_destroy(pool);
      close(fd);
      wl_surface_attach(surface, buffer, 0, 0);
      wl_surface_commit(surface);
      std::printf("ready\n");
    },
    [](void*, zwlr_layer_surface_v1*) {},
};

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return 1;
  wl_registry_add_listener(wl_display_get_registry(display), &registryListener, nullptr);
  wl_display_roundtrip(display);
  if (!compositor || !shm || !shell) return 1;
  surface = wl_compositor_create_surface(compositor);
  auto* layer = zwlr_layer_shell_v1_get_layer_surface(
      shell, surface, nullptr, ZWLR_LAYER_SHELL_V1_LAYER_BOTTOM, "pointer-app");
  zwlr_layer_surface_v1_add_listener(layer, &layerListener, nullptr);
  zwlr_layer_surface_v1_set_anchor(
      layer, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                 ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT);
  zwlr_layer_surface_v1_set_exclusive_zone(layer, -1);
  wl_surface_commit(surface);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
