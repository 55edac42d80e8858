#include "wheel/paint/polygon.h"

#include <cmath>

#include "wheel/geometry.h"

namespace nimbra {
namespace {

constexpr double kQuarterTurn = kPi / 2;
constexpr int kMaxDepth = 60;
constexpr int kMaxStepsPerPiece = 64;
// Contours are never flattened into more points than this, whatever the radius.
constexpr std::size_t kMaxPoints = 1 << 20;

double radians(double degrees) {
  return degrees * kPi / 180;
}

Vec2 onCircle(Vec2 c, double r, double t) {
  return {c.x + r * std::cos(t), c.y + r * std::sin(t)};
}

// The largest angle one chord may span while staying within the tolerance of the arc.
double chordStep(double r) {
  if (!(r > kFlatteningTolerance)) return kQuarterTurn;
  return 2 * std::acos(1 - kFlatteningTolerance / r);
}

// Holds the arc between t0 and t1 (at most a quarter turn apart) and its chord.
Box arcBox(Vec2 c, double r, double t0, double t1) {
  Vec2 p = onCircle(c, r, t0);
  Vec2 q = onCircle(c, r, t1);
  Box b{std::min(p.x, q.x), std::min(p.y, q.y), std::max(p.x, q.x), std::max(p.y, q.y)};
  double lo = std::min(t0, t1);
  double hi = std::max(t0, t1);
  for (double k = std::ceil(lo / kQuarterTurn); k * kQuarterTurn <= hi; k += 1) {
    Vec2 e = onCircle(c, r, k * kQuarterTurn);
    b = {std::min(b.x0, e.x), std::min(b.y0, e.y), std::max(b.x1, e.x), std::max(b.y1, e.y)};
  }
  return b;
}

struct ArcFlattener {
  std::vector<Vec2>& out;
  Vec2 c;
  double r;
  const Box& visible;
  double step;

  // Appends the points after t0 up to t1. Pieces that cannot be seen become single chords.
  void run(double t0, double t1, int depth) {
    double span = std::fabs(t1 - t0);
    if (out.size() >= kMaxPoints) {
      out.push_back(onCircle(c, r, t1));
      return;
    }
    if (span > kQuarterTurn && depth < kMaxDepth) {
      double mid = t0 + (t1 - t0) / 2;
      run(t0, mid, depth + 1);
      run(mid, t1, depth + 1);
      return;
    }
    Box box = arcBox(c, r, t0, t1);
    bool seen = box.x0 <= visible.x1 && box.x1 >= visible.x0 && box.y0 <= visible.y1 &&
                box.y1 >= visible.y0;
    if (!seen) {
      out.push_back(onCircle(c, r, t1));
      return;
    }
    double steps = std::ceil(span / step);
    if (steps > kMaxStepsPerPiece && depth < kMaxDepth) {
      double mid = t0 + (t1 - t0) / 2;
      run(t0, mid, depth + 1);
      run(mid, t1, depth + 1);
      return;
    }
    int n = std::max(1, static_cast<int>(std::min(steps, double{kMaxStepsPerPiece})));
    // Vertices half a sagitta outside the circle put the chords astride the arc, so the
    // filled shape neither shrinks nor grows on average.
    const double sagitta = r * (1 - std::cos(span / n / 2));
    const double outward = sagitta <= kFlatteningTolerance ? r + sagitta / 2 : r;
    for (int i = 1; i < n; ++i) out.push_back(onCircle(c, outward, t0 + (t1 - t0) * i / n));
    out.push_back(onCircle(c, outward, t1));
  }
};

// Appends the arc from t0 to t1 (radians, either direction), its first point included.
void appendArc(std::vector<Vec2>& out, Vec2 c, double r, double t0, double t1, const Box& visible) {
  out.push_back(onCircle(c, r, t0));
  if (t0 == t1) return;
  ArcFlattener{out, c, r, visible, chordStep(r)}.run(t0, t1, 0);
  out.back() = onCircle(c, r, t1);  // the ends stay exact, where straight edges join
}

// One half-plane of Sutherland-Hodgman: keeps where `inside` holds and walks the clip line
// elsewhere, which leaves the winding number of every kept point unchanged.
template <typename Inside, typename Cross>
std::vector<Vec2> clipHalf(const std::vector<Vec2>& in, Inside inside, Cross cross) {
  std::vector<Vec2> out;
  if (in.empty()) return out;
  out.reserve(in.size() + 4);
  Vec2 prev = in.back();
  bool prevIn = inside(prev);
  for (const Vec2& cur : in) {
    bool curIn = inside(cur);
    if (curIn != prevIn) out.push_back(cross(prev, cur));
    if (curIn) out.push_back(cur);
    prev = cur;
    prevIn = curIn;
  }
  return out;
}

std::vector<Vec2> clipToBox(std::vector<Vec2> pts, const Box& b) {
  auto atX = [](double x) {
    return [x](Vec2 p, Vec2 q) { return Vec2{x, p.y + (q.y - p.y) * ((x - p.x) / (q.x - p.x))}; };
  };
  auto atY = [](double y) {
    return [y](Vec2 p, Vec2 q) { return Vec2{p.x + (q.x - p.x) * ((y - p.y) / (q.y - p.y)), y}; };
  };
  pts = clipHalf(
      pts, [&](Vec2 p) { return p.x >= b.x0; }, atX(b.x0));
  pts = clipHalf(
      pts, [&](Vec2 p) { return p.x <= b.x1; }, atX(b.x1));
  pts = clipHalf(
      pts, [&](Vec2 p) { return p.y >= b.y0; }, atY(b.y0));
  pts = clipHalf(
      pts, [&](Vec2 p) { return p.y <= b.y1; }, atY(b.y1));
  return pts;
}

// Measured from the first point, so that far-away coordinates do not cancel out.
double signedArea(const std::vector<Vec2>& pts) {
  double sum = 0;
  const Vec2 o = pts.front();
  for (std::size_t i = 0, n = pts.size(); i < n; ++i) {
    Vec2 p{pts[i].x - o.x, pts[i].y - o.y};
    Vec2 q{pts[(i + 1) % n].x - o.x, pts[(i + 1) % n].y - o.y};
    sum += p.x * q.y - q.x * p.y;
  }
  return sum / 2;
}

Box boundsOf(const std::vector<Vec2>& pts) {
  Box b{INFINITY, INFINITY, -INFINITY, -INFINITY};
  for (const Vec2& p : pts) {
    b.x0 = std::min(b.x0, p.x);
    b.y0 = std::min(b.y0, p.y);
    b.x1 = std::max(b.x1, p.x);
    b.y1 = std::max(b.y1, p.y);
  }
  return b;
}

// Clips the contour and keeps it only when something of it remains to be filled.
void addContour(Polygon& polygon, std::vector<Vec2> pts, const Box& visible) {
  for (const Vec2& p : pts) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
  }
  if (!contains(visible, boundsOf(pts))) pts = clipToBox(std::move(pts), visible);
  if (pts.size() < 3 || std::fabs(signedArea(pts)) < 1e-4) return;
  polygon.starts.push_back(polygon.points.size());
  polygon.points.insert(polygon.points.end(), pts.begin(), pts.end());
}

bool finite(std::initializer_list<double> values) {
  for (double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

}  // namespace

Box Polygon::bounds() const {
  return empty() ? Box{} : boundsOf(points);
}

Polygon annularSector(Vec2 centre, double outer, double inner, double a0, double a1,
                      const Box& visible) {
  Polygon polygon;
  if (!finite({centre.x, centre.y, outer, inner, a0, a1}) || !(outer > 0) || inner < 0) {
    return polygon;
  }
  Box reach{centre.x - outer, centre.y - outer, centre.x + outer, centre.y + outer};
  if (!intersects(reach, visible)) return polygon;
  std::vector<Vec2> pts;
  appendArc(pts, centre, outer, radians(a0), radians(a1), visible);
  appendArc(pts, centre, inner, radians(a1), radians(a0), visible);
  addContour(polygon, std::move(pts), visible);
  return polygon;
}

Polygon disc(Vec2 centre, double radius, const Box& visible) {
  Polygon polygon;
  if (!finite({centre.x, centre.y, radius}) || !(radius > 0)) return polygon;
  Box reach{centre.x - radius, centre.y - radius, centre.x + radius, centre.y + radius};
  if (!intersects(reach, visible)) return polygon;
  std::vector<Vec2> pts;
  appendArc(pts, centre, radius, 0, 2 * kPi, visible);
  pts.pop_back();  // the end meets the start
  addContour(polygon, std::move(pts), visible);
  return polygon;
}

Polygon band(Vec2 p0, Vec2 p1, double width, const Box& visible) {
  Polygon polygon;
  if (!finite({p0.x, p0.y, p1.x, p1.y, width}) || !(width > 0)) return polygon;
  double dx = p1.x - p0.x;
  double dy = p1.y - p0.y;
  double length = std::hypot(dx, dy);
  if (!(length > 0) || !std::isfinite(length)) return polygon;
  double nx = -dy / length * width / 2;
  double ny = dx / length * width / 2;
  addContour(polygon,
             {{p0.x + nx, p0.y + ny},
              {p1.x + nx, p1.y + ny},
              {p1.x - nx, p1.y - ny},
              {p0.x - nx, p0.y - ny}},
             visible);
  return polygon;
}

Polygon roundedRect(const Box& rect, double radius, const Box& visible) {
  Polygon polygon;
  if (!isFinite(rect) || rect.empty() || !intersects(rect, visible)) return polygon;
  double r = std::clamp(radius, 0.0, std::min(rect.width(), rect.height()) / 2);
  std::vector<Vec2> pts;
  const double q = kQuarterTurn;
  appendArc(pts, {rect.x1 - r, rect.y0 + r}, r, -q, 0, visible);
  appendArc(pts, {rect.x1 - r, rect.y1 - r}, r, 0, q, visible);
  appendArc(pts, {rect.x0 + r, rect.y1 - r}, r, q, 2 * q, visible);
  appendArc(pts, {rect.x0 + r, rect.y0 + r}, r, 2 * q, 3 * q, visible);
  addContour(polygon, std::move(pts), visible);
  return polygon;
}

void tracePolygon(cairo_t* cr, const Polygon& polygon) {
  cairo_new_path(cr);
  for (std::size_t k = 0; k < polygon.starts.size(); ++k) {
    std::size_t begin = polygon.starts[k];
    std::size_t end = k + 1 < polygon.starts.size() ? polygon.starts[k + 1] : polygon.points.size();
    cairo_move_to(cr, polygon.points[begin].x, polygon.points[begin].y);
    for (std::size_t i = begin + 1; i < end; ++i) {
      cairo_line_to(cr, polygon.points[i].x, polygon.points[i].y);
    }
    cairo_close_path(cr);
  }
}

}  // namespace nimbra
