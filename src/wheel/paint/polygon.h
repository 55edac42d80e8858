// The wheel's shapes as polygons in pixel space, flattened finely only where they can be seen
// and clipped to a visible box, so that any radius reaches the rasteriser as small numbers.
#pragma once

#include <cairo.h>

#include <cstddef>
#include <vector>

#include "wheel/paint/box.h"

namespace nimbra {

// Closed contours filled with the non-zero winding rule.
struct Polygon {
  std::vector<Vec2> points;
  std::vector<std::size_t> starts;  // index of each contour's first point

  bool empty() const { return points.empty(); }
  Box bounds() const;
};

// Flattening tolerance, in pixels: the rasteriser's own default.
inline constexpr double kFlatteningTolerance = 0.1;

// The region between two arcs about `centre`, from `a0` to `a1` degrees (clockwise on screen)
// at radius `outer` and back at radius `inner`; with a 360-degree span, a full ring.
Polygon annularSector(Vec2 centre, double outer, double inner, double a0, double a1,
                      const Box& visible);
Polygon disc(Vec2 centre, double radius, const Box& visible);
// What stroking the segment from `p0` to `p1` with butt caps covers.
Polygon band(Vec2 p0, Vec2 p1, double width, const Box& visible);
Polygon roundedRect(const Box& rect, double radius, const Box& visible);

// Replaces the current path of `cr` with the polygon's contours.
void tracePolygon(cairo_t* cr, const Polygon& polygon);

}  // namespace nimbra
