// Offscreen paints of the wheel, probed at worked-out points with literal colours.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "config/config.h"
#include "wheel/geometry.h"
#include "wheel/paint/canvas.h"
#include "wheel/paint/ring_scene.h"
#include "wheel/paint/wheel_painter.h"
#include "wheel/paint/wheel_passes.h"

namespace nimbra {
namespace {

struct Rgba {
  double r = 0, g = 0, b = 0, a = 0;
  double lum() const { return (r + g + b) / 3 * a; }
};

// Every channel within `tol`; a negative alpha in `want` is not compared.
::testing::AssertionResult near(const Rgba& p, const Rgba& want, double tol = 0.02) {
  const bool ok = std::fabs(p.r - want.r) <= tol && std::fabs(p.g - want.g) <= tol &&
                  std::fabs(p.b - want.b) <= tol && (want.a < 0 || std::fabs(p.a - want.a) <= tol);
  return (ok ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << "pixel " << p.r << ", " << p.g << ", " << p.b << " alpha " << p.a;
}

// A square ARGB surface read back un-premultiplied.
struct Picture {
  explicit Picture(int side) : n(side), s(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, n, n)) {}
  ~Picture() {
    cairo_destroy(cr);
    cairo_surface_destroy(s);
  }
  const std::uint32_t* data() const {
    cairo_surface_flush(s);
    return reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(s));
  }
  std::vector<std::uint32_t> pixels() const { return {data(), data() + n * n}; }
  std::uint32_t raw(int x, int y) const { return data()[y * n + x]; }
  Rgba at(double x, double y) const {
    const std::uint32_t p = raw(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
    const double a = (p >> 24) / 255.0;
    if (a == 0) return {};
    return {((p >> 16) & 255) / 255.0 / a, ((p >> 8) & 255) / 255.0 / a, (p & 255) / 255.0 / a, a};
  }
  // The pixel at `r` points and `deg` degrees from the centre of a 416-point view.
  Rgba probe(double r, double deg) const {
    return at(208 + r * std::cos(deg * kPi / 180), 208 + r * std::sin(deg * kPi / 180));
  }
  int n;
  cairo_surface_t* s;
  cairo_t* cr = cairo_create(s);
};

// R = 100: up an anchor grid (TL, TR, C), right three tools, down one anchor tool, left none.
const char* kWheel =
    "SIZE|100\nSEG|Up|#3a7\nTOOL|TL|anchor:0,0\nTOOL|TR|anchor:1,0\nTOOL|C|anchor:0.5,0.5\n"
    "SEG|Right|#f80\nTOOL|Alpha|a\nTOOL|Mid|m\nTOOL|Omega|o\nSEG|Down|#e33\nTOOL|Pin|anchor:0,0\n"
    "SEG|Left|#29d\n";

class WheelPaint : public ::testing::Test {
 protected:
  static std::shared_ptr<const Config> configOf(const std::string& text) {
    return std::make_shared<const Config>(Config::parse(text));
  }
  static PaintInputs inputsFor(std::shared_ptr<const Config> cfg, int seg, int tool,
                               double scale = 1) {
    const double side = 4 * cfg->radius + 16;
    return {cfg, std::make_shared<const Geometry>(cfg), seg, tool, {side, side}, scale};
  }
  static void paintOnce(Picture& pic, const PaintInputs& in, WheelPainter& painter,
                        double width = 0) {
    Canvas canvas{pic.cr, in.scale};
    painter.paint(canvas, in,
                  Rect{{0, 0}, {width > 0 ? width : in.bounds.width, in.bounds.height}});
  }
  static std::unique_ptr<Picture> render(const PaintInputs& in) {
    auto pic = std::make_unique<Picture>(static_cast<int>(std::ceil(in.bounds.width * in.scale)));
    WheelPainter painter;
    paintOnce(*pic, in, painter);
    return pic;
  }
  // A fresh painter prepared, as the helper does ahead of the first opening.
  static void paintPrepared(Picture& pic, const PaintInputs& in) {
    WheelPainter painter;
    painter.prepare(in);
    paintOnce(pic, in, painter);
  }
};

// The dark fill of unselected cells, and the hub's.
const Rgba kCell{0.16, 0.18, 0.22, 0.95}, kHub{0.06, 0.07, 0.09, 0.96};

TEST_F(WheelPaint, PaintsOnlyTheDirtyRectangleTheHubAndShadowsAndNothingWithoutSegments) {
  Picture pic(416);
  cairo_set_source_rgb(pic.cr, 0, 1, 0);
  cairo_paint(pic.cr);
  WheelPainter painter;
  paintOnce(pic, inputsFor(configOf("SIZE|100\n"), -1, -1), painter);
  EXPECT_EQ(pic.raw(208, 208), 0xFF00FF00u);
  paintOnce(pic, inputsFor(configOf(kWheel), -1, -1), painter, 208);
  EXPECT_EQ(pic.raw(300, 208), 0xFF00FF00u);
  EXPECT_NE(pic.raw(150, 208), 0xFF00FF00u);
  EXPECT_EQ(pic.raw(10, 10), 0u);
  // Beyond R, the blur's reach of 31 and anti-aliasing, everything is transparent.
  paintOnce(pic, inputsFor(configOf(kWheel), -1, -1), painter);
  for (int a = 0; a < 360; a += 3) ASSERT_EQ(pic.probe(134, a).a, 0) << a;
  EXPECT_EQ(pic.raw(410, 5), 0u);
  EXPECT_GT(pic.at(208, 208 - 102).a, 0.1);
  EXPECT_TRUE(near(pic.at(208.5, 228), kHub, 0.015));
  const double outline = pic.probe(31.3, 45).lum();  // the hub's light edge
  EXPECT_GT(outline, std::max(pic.probe(28, 45).lum(), pic.probe(35, 45).lum()) + 0.03);
  // Segment 3 is painted after segment 2: its shadow darkens 2's side of their border at 135.
  auto later = render(
      inputsFor(configOf("SIZE|100\nSEG|A|#111\nSEG|B|#222\nSEG|C|#333\nSEG|D|#444\n"), -1, -1));
  for (double r : {50.0, 80.0}) {
    EXPECT_LT(later->probe(r, 130).lum(), later->probe(r, 140).lum() - 0.01) << r;
  }
}

TEST_F(WheelPaint, AnchorGridMatchesTheWorkedValuesForR100) {
  auto pic = render(inputsFor(configOf(kWheel), 0, 1));  // "TR", cell 2, selected
  const double last = 224.13, top = 12.47, box = 26.4;
  // The first box's edges: columns 165.47 to 191.87, rows from 12.47.
  const std::tuple<double, double, double> edges[] = {
      {164, 20, 0}, {166, 20, 0.95}, {190, 20, 0.95}, {193, 20, 0}, {175, 11, 0}, {175, 37, 0.95}};
  for (auto [x, y, a] : edges) {
    EXPECT_NEAR(pic->at(x, y).a, a, 0.01) << x << "," << y;
  }
  // The top right box is the selected tool's: the segment colour, opaque, from 224.13 to 250.53.
  for (double d : {3.0, box / 2, box - 3}) {
    EXPECT_TRUE(near(pic->at(last + d, top + d), {0.2, 0.6667, 0.4667, 1.0}, 0.005)) << d;
  }
  EXPECT_TRUE(pic->at(223, 25).a < 0.9 && pic->at(251, 25).a < 0.9);
}

TEST_F(WheelPaint, AGridSegmentWithNoToolUnderThePointerLightsNoCell) {
  auto pic = render(inputsFor(configOf(kWheel), 0, -1));
  for (double y : {25.67, 55.0, 84.33}) {
    for (double x : {178.67, 208.0, 237.33})
      EXPECT_TRUE(near(pic->at(x, y), kCell)) << x << "," << y;
  }
}

TEST_F(WheelPaint, ToolArcCellsLieBetweenRadii116And155AndTheSelectedOneHasTheSegmentColour) {
  auto pic = render(inputsFor(configOf(kWheel), 1, 2));
  // Segment 1's cells on [-54, -18), [-18, 18) and [18, 54), the last selected, each with 1.6
  // degrees free at both ends; inside radius 116 only the ring's shadow.
  for (double a : {-45.0, -10.0, 10.0}) {
    EXPECT_TRUE(near(pic->probe(154, a), kCell)) << a;
    EXPECT_TRUE(pic->probe(114, a).a < 0.5 && pic->probe(157, a).a == 0) << a;
  }
  EXPECT_TRUE(near(pic->probe(120, 36), {1.0, 0.5333, 0.0, 1.0}, 0.005));
  for (double a : {-54.0, -18.0, 18.0, 54.0}) EXPECT_EQ(pic->probe(140, a).a, 0) << a;
  for (double a : {-51.5, -20.5, 20.5, 51.5}) EXPECT_GT(pic->probe(140, a).a, 0.9) << a;
}

TEST_F(WheelPaint, CachedRepaintsAreIdenticalToAColdPaintAndToTheDirectPasses) {
  auto cfg = configOf(kWheel);
  WheelPainter warm;
  warm.prepare(inputsFor(cfg, -1, -1));
  Picture pic(416);
  const std::pair<int, int> states[] = {{-1, -1}, {1, -1},  {1, 0},  {1, 2}, {0, 1},
                                        {0, 2},   {-1, -1}, {3, -1}, {1, 1}, {2, 0}};
  for (auto [seg, tool] : states) {
    paintOnce(pic, inputsFor(cfg, seg, tool), warm);
    ASSERT_EQ(pic.pixels(), render(inputsFor(cfg, seg, tool))->pixels()) << seg << ":" << tool;
    Picture direct(416);
    LabelMaker labels;
    RingScene scene(cfg, {416, 416}, 1, Box{0, 0, 416, 416}, labels);
    paintRingAndHub(direct.cr, scene, seg);
    paintTools(direct.cr, scene, seg, tool);
    ASSERT_EQ(pic.pixels(), direct.pixels()) << seg << ":" << tool;
  }
  // A new configuration, then a new scale, never shows what was kept for the old one.
  auto second = configOf(std::string(kWheel) + "SEG|Fifth|#123\n");
  paintOnce(pic, inputsFor(second, 1, 0), warm);
  EXPECT_EQ(pic.pixels(), render(inputsFor(second, 1, 0))->pixels());
  Picture doubled(832);
  paintOnce(doubled, inputsFor(second, 1, 0, 2.0), warm);
  EXPECT_EQ(doubled.pixels(), render(inputsFor(second, 1, 0, 2.0))->pixels());
  EXPECT_TRUE(near(doubled.at(417, 456), kHub, 0.015));
}

// Radius 10^9 through a 400x400 surface centred `dy` below the wheel's centre: only masks for what
// the surface sees fit in memory. {selected, dy, x, y, colour}; alpha < 0: "more than -alpha".
TEST_F(WheelPaint, HugeRadiiPaintWhatTheSurfaceSeesAndNeverCrash) {
  const std::tuple<int, double, int, int, Rgba> cases[] = {
      {0, 0, 0, 0, kHub},
      {0, 0, 399, 399, kHub},  // the hub fills the surface
      // 50 inside the ring's lower edge: the fill, selected or dark, over its own shadow
      {1, 1e9, 200, 150, {0, 0.9579, 0, 0.9605}},
      {0, 1e9, 200, 150, {0.1265, 0.1460, 0.1849, 0.9761}},
      {1, 1e9, 200, 398, {0, 0, 0, 0}},      // beyond the shadow's reach
      {1, 1e9, 200, 210, {0, 0, 0, -0.05}},  // the shadow just outside
  };
  auto cfg = configOf("SIZE|1000000000\nSEG|A|#f00\nSEG|B|#0f0\n");
  for (auto [seg, dy, x, y, colour] : cases) {
    auto in = inputsFor(cfg, seg, -1);
    Picture pic(400);
    cairo_translate(pic.cr, -(in.bounds.width / 2) + 200, -(in.bounds.height / 2 + dy) + 200);
    paintPrepared(pic, in);
    const Rgba p = pic.at(x, y);
    EXPECT_TRUE(colour.a < 0 ? p.a > -colour.a : near(p, colour, 0.01))
        << seg << " " << dy << " " << x << "," << y << " alpha " << p.a;
  }
  // Larger still, or a view without a size: nothing crashes, nothing lands beside the wheel.
  for (const char* size : {"1000000000000", "9223372036854775807"}) {
    Picture pic(300);
    paintPrepared(
        pic, inputsFor(configOf(std::string("SIZE|") + size + "\nSEG|A|#f00\nTOOL|t|c\n"), 0, 0));
    EXPECT_EQ(pic.raw(150, 150), 0u) << size;
  }
  for (double bad : {double{NAN}, double{INFINITY}, -1.0}) {
    Picture pic(100);
    auto in = inputsFor(configOf("SEG|A|#f00\n"), 0, -1);
    paintPrepared(pic, PaintInputs{in.cfg, in.geo, 0, -1, {bad, bad}, 1});
    paintPrepared(pic, PaintInputs{in.cfg, in.geo, 0, -1, {100, 100}, bad});
  }
}

}  // namespace
}  // namespace nimbra
