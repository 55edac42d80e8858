#include "wheel/paint/large_surface.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace nimbra {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct Mapping {
  void* address;
  std::size_t bytes;
};

const cairo_user_data_key_t kMappingKey{};

void unmap(void* data) {
  auto* m = static_cast<Mapping*>(data);
  ::munmap(m->address, m->bytes);
  delete m;
}

// `bytes` of zeroed memory, with its pages taken; from 2 MB on, starting on a 2 MB boundary and
// marked for huge pages.
Mapping* mapPicture(std::size_t bytes) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  bytes = (bytes + page - 1) / page * page;
  const std::size_t align = bytes >= kHugePage ? kHugePage : page;
  const std::size_t reserve = bytes + align - page;
  void* raw = ::mmap(nullptr, reserve, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + align - 1) & ~(align - 1);
  // The parts before the boundary and after the picture go back.
  if (aligned > start) ::munmap(raw, aligned - start);
  const std::uintptr_t end = start + reserve;
  if (end > aligned + bytes)
    ::munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
  auto* address = reinterpret_cast<void*>(aligned);
  if (align == kHugePage) ::madvise(address, bytes, MADV_HUGEPAGE);  // a hint; refused, it serves
  takePages(address, bytes);
  return new Mapping{address, bytes};
}

}  // namespace

bool takePages(void* address, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
  return ::madvise(address, bytes, MADV_POPULATE_WRITE) == 0;
#else
  return false;
#endif
}

cairo_surface_t* createLargeImageSurface(cairo_format_t format, int width, int height) {
  const int stride = cairo_format_stride_for_width(format, width);
  if (width <= 0 || height <= 0 || stride <= 0)
    return cairo_image_surface_create(format, width, height);
  const std::size_t bytes = static_cast<std::size_t>(stride) * static_cast<std::size_t>(height);
  Mapping* m = mapPicture(bytes);
  if (!m) return cairo_image_surface_create(format, width, height);
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      static_cast<unsigned char*>(m->address), format, width, height, stride);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(surface, &kMappingKey, m, &unmap) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    unmap(m);
    return cairo_image_surface_create(format, width, height);
  }
  return surface;
}

}  // namespace nimbra
