// One frame of pixels shared with the compositor: premultiplied ARGB in a memory file, as a
// wl_buffer for the compositor and a Cairo image for the painter.
#pragma once

#include <cairo.h>
#include <wayland-client.h>

#include <memory>

namespace nimbra {

class WaylandBuffer {
 public:
  // None when the memory cannot be had.
  static std::unique_ptr<WaylandBuffer> create(wl_shm* shm, int width, int height);
  ~WaylandBuffer();
  WaylandBuffer(const WaylandBuffer&) = delete;
  WaylandBuffer& operator=(const WaylandBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  wl_buffer* buffer() const { return buffer_; }
  cairo_surface_t* surface() const { return surface_; }
  // Attached and not yet given back by the compositor: not to be painted on.
  bool busy() const { return busy_; }
  void setBusy() { busy_ = true; }

 private:
  WaylandBuffer() = default;
  static void onRelease(void* self, wl_buffer*);

  int width_ = 0;
  int height_ = 0;
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
  wl_buffer* buffer_ = nullptr;
  cairo_surface_t* surface_ = nullptr;
  bool busy_ = false;
};

}  // namespace nimbra
