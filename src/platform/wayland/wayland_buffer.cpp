#include "platform/wayland/wayland_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

namespace nimbra {

std::unique_ptr<WaylandBuffer> WaylandBuffer::create(wl_shm* shm, int width, int height) {
  if (!shm || width <= 0 || height <= 0) return nullptr;
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
  const std::size_t bytes = static_cast<std::size_t>(stride) * height;
  const int fd = ::memfd_create("nimbra-wheel-frame", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    ::close(fd);
    return nullptr;
  }
  void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<WaylandBuffer> b(new WaylandBuffer());
  b->width_ = width;
  b->height_ = height;
  b->data_ = data;
  b->bytes_ = bytes;
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(bytes));
  // Cairo's ARGB32 is wl_shm's ARGB8888: premultiplied, native-endian words.
  b->buffer_ = wl_shm_pool_create_buffer(pool, 0, width, height, stride, WL_SHM_FORMAT_ARGB8888);
  wl_shm_pool_destroy(pool);
  ::close(fd);
  static const wl_buffer_listener listener{&WaylandBuffer::onRelease};
  wl_buffer_add_listener(b->buffer_, &listener, b.get());
  b->surface_ = cairo_image_surface_create_for_data(static_cast<unsigned char*>(data),
                                                    CAIRO_FORMAT_ARGB32, width, height, stride);
  return b;
}

WaylandBuffer::~WaylandBuffer() {
  if (surface_) cairo_surface_destroy(surface_);
  if (buffer_) wl_buffer_destroy(buffer_);
  if (data_) ::munmap(data_, bytes_);
}

void WaylandBuffer::onRelease(void* self, wl_buffer*) {
  static_cast<WaylandBuffer*>(self)->busy_ = false;
}

}  // namespace nimbra
