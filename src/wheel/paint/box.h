// Axis-aligned boxes in pixel space, for culling, clipping and the regions the caches cover.
#pragma once

#include <algorithm>
#include <cmath>

namespace nimbra {

struct Vec2 {
  double x = 0;
  double y = 0;
};

struct Box {
  double x0 = 0;
  double y0 = 0;
  double x1 = 0;
  double y1 = 0;

  // NaN edges make a box empty, so a bad value never reaches an allocation.
  bool empty() const { return !(x1 > x0 && y1 > y0); }
  double width() const { return x1 - x0; }
  double height() const { return y1 - y0; }
  bool operator==(const Box&) const = default;
};

inline Box intersect(const Box& a, const Box& b) {
  return {std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
}

inline bool intersects(const Box& a, const Box& b) {
  return !intersect(a, b).empty();
}

inline bool contains(const Box& outer, const Box& inner) {
  return inner.x0 >= outer.x0 && inner.y0 >= outer.y0 && inner.x1 <= outer.x1 &&
         inner.y1 <= outer.y1;
}

inline Box expand(const Box& b, double by) {
  return {b.x0 - by, b.y0 - by, b.x1 + by, b.y1 + by};
}

// The smallest box with whole-pixel edges that holds `b`.
inline Box roundOut(const Box& b) {
  return {std::floor(b.x0), std::floor(b.y0), std::ceil(b.x1), std::ceil(b.y1)};
}

inline Box unite(const Box& a, const Box& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

inline bool isFinite(const Box& b) {
  return std::isfinite(b.x0) && std::isfinite(b.y0) && std::isfinite(b.x1) && std::isfinite(b.y1);
}

}  // namespace nimbra
