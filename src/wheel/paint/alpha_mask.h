// Alpha-only pictures of the wheel's elements, placed in pixel space and cut to the part of
// the view that can be seen: sharp ones hold an element's coverage, blurred ones its shadow.
// Painting a colour through one costs a single composite, however complex the element.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <functional>
#include <memory>

#include "config/color.h"
#include "wheel/paint/box.h"
#include "wheel/paint/box_blur.h"

namespace nimbra {

class AlphaMask {
 public:
  AlphaMask(cairo_surface_t* surface, double x, double y);
  ~AlphaMask();
  AlphaMask(const AlphaMask&) = delete;
  AlphaMask& operator=(const AlphaMask&) = delete;

  std::size_t bytes() const;
  // The pixels the mask covers, in pixel space.
  Box extent() const;
  // Paints `color` through the mask, in the current compositing operation.
  void paint(cairo_t* cr, const Color& color) const;

 private:
  cairo_surface_t* surface_;  // A8
  double x_;                  // top-left corner, in pixel space
  double y_;
};

// Paints the element's coverage in the current source onto `cr`, in pixel space.
using CoverageFn = std::function<void(cairo_t* cr)>;

// The element lying within `bounds`, kept where it falls inside `region` (whole pixels).
// None when nothing of it falls there or it would pass `maxPixels`.
std::unique_ptr<AlphaMask> buildCoverageMask(const Box& bounds, const Box& region, double maxPixels,
                                             const CoverageFn& paint);

// The element's shadow: its coverage blurred as `plan` says, kept where it falls in `region`.
std::unique_ptr<AlphaMask> buildShadowMask(const Box& bounds, const Box& region,
                                           const BoxBlurPlan& plan, double maxPixels,
                                           const CoverageFn& paint);

}  // namespace nimbra
