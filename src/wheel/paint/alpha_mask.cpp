#include "wheel/paint/alpha_mask.h"

#include <cstring>

namespace nimbra {
namespace {

cairo_surface_t* alphaSurface(const Box& area) {
  cairo_surface_t* surface = cairo_image_surface_create(
      CAIRO_FORMAT_A8, static_cast<int>(area.width()), static_cast<int>(area.height()));
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) return surface;
  cairo_surface_destroy(surface);
  return nullptr;
}

bool tooLarge(const Box& area, double maxPixels) {
  return area.width() * area.height() > maxPixels || area.width() > 32767 || area.height() > 32767;
}

void paintCoverage(cairo_surface_t* surface, const Box& area, const CoverageFn& paint) {
  cairo_t* cr = cairo_create(surface);
  cairo_translate(cr, -area.x0, -area.y0);
  cairo_set_source_rgba(cr, 0, 0, 0, 1);
  paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
}

}  // namespace

AlphaMask::AlphaMask(cairo_surface_t* surface, double x, double y)
    : surface_(surface), x_(x), y_(y) {}

AlphaMask::~AlphaMask() {
  cairo_surface_destroy(surface_);
}

std::size_t AlphaMask::bytes() const {
  return static_cast<std::size_t>(cairo_image_surface_get_stride(surface_)) *
         static_cast<std::size_t>(cairo_image_surface_get_height(surface_));
}

Box AlphaMask::extent() const {
  return {x_, y_, x_ + cairo_image_surface_get_width(surface_),
          y_ + cairo_image_surface_get_height(surface_)};
}

void AlphaMask::paint(cairo_t* cr, const Color& color) const {
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
  cairo_mask_surface(cr, surface_, x_, y_);
}

std::unique_ptr<AlphaMask> buildCoverageMask(const Box& bounds, const Box& region, double maxPixels,
                                             const CoverageFn& paint) {
  if (bounds.empty() || !isFinite(bounds)) return nullptr;
  const Box area = intersect(roundOut(bounds), region);
  if (area.empty() || tooLarge(area, maxPixels)) return nullptr;
  cairo_surface_t* surface = alphaSurface(area);
  if (!surface) return nullptr;
  paintCoverage(surface, area, paint);
  return std::make_unique<AlphaMask>(surface, area.x0, area.y0);
}

std::unique_ptr<AlphaMask> buildShadowMask(const Box& bounds, const Box& region,
                                           const BoxBlurPlan& plan, double maxPixels,
                                           const CoverageFn& paint) {
  if (bounds.empty() || !isFinite(bounds)) return nullptr;
  const int reach = plan.reach();
  const Box spread = roundOut(expand(bounds, reach));
  const Box kept = intersect(spread, region);
  if (kept.empty()) return nullptr;
  // Pixels within `reach` of the kept part feed it through the blur; nothing beyond does.
  const Box work = intersect(expand(kept, reach), spread);
  if (tooLarge(work, maxPixels)) return nullptr;
  cairo_surface_t* surface = alphaSurface(work);
  if (!surface) return nullptr;
  paintCoverage(surface, work, paint);
  blurAlpha(cairo_image_surface_get_data(surface), static_cast<int>(work.width()),
            static_cast<int>(work.height()), cairo_image_surface_get_stride(surface), plan);
  cairo_surface_mark_dirty(surface);
  if (kept == work) return std::make_unique<AlphaMask>(surface, work.x0, work.y0);

  cairo_surface_t* cut = alphaSurface(kept);
  if (!cut) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  const unsigned char* src = cairo_image_surface_get_data(surface);
  const int srcStride = cairo_image_surface_get_stride(surface);
  unsigned char* dst = cairo_image_surface_get_data(cut);
  const int dstStride = cairo_image_surface_get_stride(cut);
  const auto dx = static_cast<std::size_t>(kept.x0 - work.x0);
  const auto dy = static_cast<std::size_t>(kept.y0 - work.y0);
  const auto width = static_cast<std::size_t>(kept.width());
  for (int y = 0; y < static_cast<int>(kept.height()); ++y) {
    std::memcpy(dst + static_cast<std::size_t>(y) * dstStride, src + (y + dy) * srcStride + dx,
                width);
  }
  cairo_surface_mark_dirty(cut);
  cairo_surface_destroy(surface);
  return std::make_unique<AlphaMask>(cut, kept.x0, kept.y0);
}

}  // namespace nimbra
