// Offscreen paints of the wheel, probed at points computed from its geometry.
#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "config/config.h"
#include "wheel/geometry.h"
#include "wheel/paint/box_blur.h"
#include "wheel/paint/canvas.h"
#include "wheel/paint/polygon.h"
#include "wheel/paint/ring_scene.h"
#include "wheel/paint/wheel_painter.h"
#include "wheel/paint/wheel_passes.h"

namespace nimbra {
namespace {

struct Rgba {
  double r = 0, g = 0, b = 0, a = 0;
};

// An ARGB image surface to paint on, read back un-premultiplied.
class Picture {
 public:
  Picture(int width, int height, std::uint32_t fill = 0) : width_(width), height_(height) {
    surface_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) row(y)[x] = fill;
    }
    cairo_surface_mark_dirty(surface_);
    cr_ = cairo_create(surface_);
  }
  ~Picture() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
  }

  cairo_t* cr() const { return cr_; }
  int width() const { return width_; }
  int height() const { return height_; }

  std::uint32_t raw(int x, int y) const {
    cairo_surface_flush(surface_);
    return row(y)[x];
  }
  Rgba at(int x, int y) const {
    std::uint32_t p = raw(x, y);
    double a = (p >> 24) / 255.0;
    if (a == 0) return {};
    return {((p >> 16) & 255) / 255.0 / a, ((p >> 8) & 255) / 255.0 / a, (p & 255) / 255.0 / a, a};
  }
  // The pixel whose square holds the point.
  Rgba atPoint(double x, double y) const {
    return at(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)));
  }
  std::vector<std::uint32_t> pixels() const {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < height_; ++y) out.insert(out.end(), row(y), row(y) + width_);
    return out;
  }

 private:
  std::uint32_t* row(int y) const {
    return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(surface_) +
                                            y * cairo_image_surface_get_stride(surface_));
  }
  int width_;
  int height_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

std::shared_ptr<const Config> configOf(const std::string& text) {
  return std::make_shared<const Config>(Config::parse(text));
}

// Four segments at R = 100: up (an anchor grid), right (three tools), down (one anchor tool),
// left (no tools).
const char* kFourSegments =
    "SIZE|100\n"
    "SEG|Up|#3a7\nTOOL|TL|anchor:0,0\nTOOL|BR|anchor:1,1\nTOOL|C|anchor:0.5,0.5\n"
    "SEG|Right|#f80\nTOOL|Alpha|a\nTOOL|Mid|m\nTOOL|Omega|o\n"
    "SEG|Down|#e33\nTOOL|Pin|anchor:0,0\n"
    "SEG|Left|#29d\n";

PaintInputs inputsFor(std::shared_ptr<const Config> cfg, int curSeg, int curTool,
                      double scale = 1) {
  PaintInputs in;
  in.cfg = cfg;
  in.geo = std::make_shared<const Geometry>(cfg);
  in.curSeg = curSeg;
  in.curTool = curTool;
  const double side = 4 * cfg->radius + 16;
  in.bounds = {side, side};
  in.scale = scale;
  return in;
}

void paintOnce(Picture& pic, const PaintInputs& in, WheelPainter& painter) {
  Canvas canvas{pic.cr(), in.scale};
  painter.paint(canvas, in, Rect{{0, 0}, in.bounds});
}

std::unique_ptr<Picture> render(const PaintInputs& in) {
  const int side = static_cast<int>(std::ceil(in.bounds.width * in.scale));
  auto pic = std::make_unique<Picture>(side, side);
  WheelPainter painter;
  paintOnce(*pic, in, painter);
  return pic;
}

Vec2 polar(double cx, double cy, double r, double degrees) {
  double t = degrees * kPi / 180;
  return {cx + r * std::cos(t), cy + r * std::sin(t)};
}

Rgba probe(const Picture& pic, double r, double degrees, double c = 208) {
  Vec2 p = polar(c, c, r, degrees);
  return pic.atPoint(p.x, p.y);
}

// A fill of colour `c` at alpha `f` over its own shadow, far enough inside the shape that
// the blurred mask is whole: black at 0.55 * f, then the fill.
Rgba overOwnShadow(double r, double g, double b, double f) {
  double a = f + (1 - f) * 0.55 * f;
  return {r * f / a, g * f / a, b * f / a, a};
}

double luminance(const Rgba& p) {
  return (p.r + p.g + p.b) / 3 * p.a;
}

::testing::AssertionResult colourNear(const Rgba& p, double r, double g, double b, double tol) {
  if (std::fabs(p.r - r) <= tol && std::fabs(p.g - g) <= tol && std::fabs(p.b - b) <= tol) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "pixel (" << p.r << ", " << p.g << ", " << p.b << ", alpha " << p.a << ") is not (" << r
         << ", " << g << ", " << b << ") within " << tol;
}

#define EXPECT_COLOUR(pixel, red, green, blue, tolerance) \
  EXPECT_TRUE(colourNear((pixel), (red), (green), (blue), (tolerance)))

TEST(WheelPaint, PaintsNothingAtAllWithoutSegments) {
  auto cfg = configOf("SIZE|100\nHOLD|300\n");
  Picture pic(416, 416, 0x12345678);
  WheelPainter painter;
  painter.prepare(inputsFor(cfg, -1, -1));
  paintOnce(pic, inputsFor(cfg, -1, -1), painter);
  for (std::uint32_t p : pic.pixels()) ASSERT_EQ(p, 0x12345678u);
}

TEST(WheelPaint, ClearsWhatWasThereBeforeAndLeavesPixelsBeyondTheShadowTransparent) {
  auto cfg = configOf(kFourSegments);
  Picture pic(416, 416, 0xFF00FF00);
  WheelPainter painter;
  paintOnce(pic, inputsFor(cfg, -1, -1), painter);
  const double reach = planGaussian(11).reach() + 1.5;  // plus anti-aliasing
  for (int y = 0; y < 416; ++y) {
    for (int x = 0; x < 416; ++x) {
      if (std::hypot(x + 0.5 - 208, y + 0.5 - 208) > 100 + reach) {
        ASSERT_EQ(pic.raw(x, y), 0u) << x << "," << y;
      }
    }
  }
  EXPECT_GT(pic.at(208, 208 - 102).a, 0.1);  // the shadow just outside the ring
}

TEST(WheelPaint, OneSegmentIsAFullAnnulusWithItsSeparatorDownAndItsNameUp) {
  auto cfg = configOf("SIZE|100\nSEG|Only|#f00\n");
  auto pic = render(inputsFor(cfg, -1, -1));
  for (double a = 0; a < 360; a += 15) {
    if (std::fabs(a - 270) < 20 || std::fabs(a - 90) < 3) continue;  // the name, the separator
    for (double r : {40.0, 90.0}) {
      Rgba p = probe(*pic, r, a);
      EXPECT_COLOUR(p, 0.13, 0.15, 0.19, 0.015) << "angle " << a << " radius " << r;
      EXPECT_GE(p.a, 0.95 - 0.01);
    }
  }
  // The separator: a one-point line straight down, on the column of the centre.
  EXPECT_GT(luminance(pic->at(207, 208 + 60)), luminance(pic->at(203, 208 + 60)) + 0.02);
  // The name straight up, on the label radius 65.65.
  double best = 0;
  for (int dx = -3; dx <= 3; ++dx) {
    for (int dy = -4; dy <= 4; ++dy) {
      best = std::max(best, luminance(pic->atPoint(208 + dx, 208 - 65.65 + dy)));
    }
  }
  EXPECT_GT(best, 0.5);
}

TEST(WheelPaint, SelectedSegmentHasItsColourAtAlpha092AndOthersTheDarkFill) {
  // R = 190 and no names, so that points exist more than a shadow's reach from every edge.
  auto cfg = configOf("SEG||#f80\nSEG||#f80\nSEG||#f80\nSEG||#f80\n");
  auto pic = render(inputsFor(cfg, 1, -1));
  const double c = 388;
  Rgba selected = overOwnShadow(1.0, 0x88 / 255.0, 0.0, 0.92);
  Rgba p = probe(*pic, 125, 0, c);
  EXPECT_COLOUR(p, selected.r, selected.g, selected.b, 0.006);
  EXPECT_NEAR(p.a, selected.a, 0.006);
  Rgba other = overOwnShadow(0.13, 0.15, 0.19, 0.95);
  for (double a : {-90.0, 90.0, 180.0}) {
    Rgba q = probe(*pic, 125, a, c);
    EXPECT_COLOUR(q, other.r, other.g, other.b, 0.006) << "angle " << a;
    EXPECT_NEAR(q.a, other.a, 0.006);
  }
  // Closer to the ring's edge, the segment's colour still shows with the alpha below 1.
  for (double a : {-30.0, 30.0}) {
    Rgba q = probe(*pic, 80, a, c);
    EXPECT_COLOUR(q, 1.0, 0x88 / 255.0, 0.0, 0.12) << "angle " << a;
    EXPECT_GE(q.a, 0.92 - 0.005);
    EXPECT_LT(q.a, 1.0);
  }
}

TEST(WheelPaint, HubCoversTheHoleAndHasALightOutline) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, -1, -1));
  Rgba hub = pic->atPoint(208.5, 208 + 20);
  EXPECT_COLOUR(hub, 0.06, 0.07, 0.09, 0.015);
  EXPECT_GE(hub.a, 0.96 - 0.01);
  // Along a radius at 45 degrees, the brightest pixel sits on the hub's edge at 31.3.
  double brightest = 0;
  double where = 0;
  for (double r = 26; r <= 37; r += 0.25) {
    double l = luminance(probe(*pic, r, 45));
    if (l > brightest) {
      brightest = l;
      where = r;
    }
  }
  EXPECT_NEAR(where, 31.3, 1.0);
  EXPECT_GT(brightest, luminance(probe(*pic, 28, 45)) + 0.03);
  EXPECT_GT(brightest, luminance(probe(*pic, 35, 45)) + 0.03);
}

TEST(WheelPaint, AnchorGridMatchesTheWorkedValuesForR100) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, 0, 1));  // "BR", cell 8, selected
  const double first = 165.47;
  const double last = 224.13;
  const double box = 26.4;
  // The first box (no shadow reaches it): the dark cell colour, with its edges where stated.
  Rgba inside = pic->atPoint(first + 5, first - 153 + 5);
  EXPECT_COLOUR(inside, 0.16, 0.18, 0.22, 0.01);
  EXPECT_NEAR(inside.a, 0.95, 0.01);
  EXPECT_EQ(pic->at(164, 20).a, 0);             // left of the first box
  EXPECT_NEAR(pic->at(166, 20).a, 0.95, 0.01);  // its left column
  EXPECT_NEAR(pic->at(190, 20).a, 0.95, 0.01);  // its right column (191.87)
  EXPECT_EQ(pic->at(193, 20).a, 0);             // the gap before the next box
  EXPECT_EQ(pic->at(175, 11).a, 0);             // above it (12.47)
  EXPECT_NEAR(pic->at(175, static_cast<int>(12.47 + box) - 1).a, 0.95, 0.01);
  // The grid's centre cell at (208, 55), unselected.
  EXPECT_COLOUR(pic->atPoint(208, 55), 0.16, 0.18, 0.22, 0.02);
  // The last box is the selected tool's: the segment colour, fully opaque, edges as stated.
  const double lastTop = 71.13;
  for (Vec2 p : {Vec2{last + 3, lastTop + 3}, Vec2{last + box / 2, lastTop + box / 2},
                 Vec2{last + box - 3, lastTop + box - 3}}) {
    Rgba c = pic->atPoint(p.x, p.y);
    EXPECT_COLOUR(c, 0x33 / 255.0, 0xAA / 255.0, 0x77 / 255.0, 0.005);
    EXPECT_EQ(c.a, 1.0);
  }
  EXPECT_LT(pic->at(223, 84).a, 0.9);  // left of 224.13
  EXPECT_LT(pic->at(251, 84).a, 0.9);  // right of 250.53
  // No text anywhere in the grid: every box is one flat colour inside its rounded corners.
  const double pitch = 88.0 / 3;
  for (int r = 0; r < 3; ++r) {
    for (int q = 0; q < 3; ++q) {
      double x0 = first + q * pitch;
      double y0 = first - 153 + r * pitch;
      Rgba ref = pic->atPoint(x0 + box / 2, y0 + box / 2);
      for (double y = y0 + 4; y < y0 + box - 4; y += 1) {
        for (double x = x0 + 4; x < x0 + box - 4; x += 1) {
          Rgba p = pic->atPoint(x, y);
          ASSERT_NEAR(luminance(p), luminance(ref), 0.03) << "box " << r * 3 + q;
        }
      }
    }
  }
}

TEST(WheelPaint, ToolArcCellsLieBetweenRadii116And155WithLabelsAt135_5) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, 1, -1));
  // Segment 1 (centre 0 degrees) has three tools: cells on [-54, -18), [-18, 18), [18, 54).
  for (double a : {-45.0, -10.0, 10.0, 45.0}) {
    EXPECT_COLOUR(probe(*pic, 117, a), 0.16, 0.18, 0.22, 0.02) << a;
    EXPECT_COLOUR(probe(*pic, 154, a), 0.16, 0.18, 0.22, 0.02) << a;
    EXPECT_NEAR(probe(*pic, 154, a).a, 0.95, 0.01);
    EXPECT_LT(probe(*pic, 114, a).a, 0.5) << a;  // only the ring's shadow
    EXPECT_EQ(probe(*pic, 157, a).a, 0) << a;
  }
  // 1.6 degrees free at each end of every 36-degree step.
  for (double a : {-54.0, -18.0, 18.0, 54.0}) EXPECT_EQ(probe(*pic, 140, a).a, 0) << a;
  for (double a : {-51.5, -20.5, 20.5, 51.5}) EXPECT_GT(probe(*pic, 140, a).a, 0.9) << a;
  // The middle tool's label, "Mid", is centred on (208 + 135.5, 208).
  double sx = 0, sy = 0, n = 0;
  for (int y = 190; y < 226; ++y) {
    for (int x = 320; x < 368; ++x) {
      if (luminance(pic->at(x, y)) > 0.4) sx += x + 0.5, sy += y + 0.5, n += 1;
    }
  }
  ASSERT_GT(n, 10);
  EXPECT_NEAR(sx / n, 208 + 135.5, 2.0);
  EXPECT_NEAR(sy / n, 208, 3.0);
}

TEST(WheelPaint, SelectedToolCellIsTheSegmentColourWithAWhiteLabel) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, 1, 2));
  Rgba cell = probe(*pic, 120, 36);
  EXPECT_COLOUR(cell, 1.0, 0x88 / 255.0, 0.0, 0.005);
  EXPECT_EQ(cell.a, 1.0);
  EXPECT_COLOUR(probe(*pic, 120, 0), 0.16, 0.18, 0.22, 0.02);  // the others stay dark
  double whitest = 0;
  for (double dr = -5; dr <= 5; dr += 1) {
    for (double da = -8; da <= 8; da += 0.5)
      whitest = std::max(whitest, probe(*pic, 135.5 + dr, 36 + da).b);
  }
  EXPECT_GT(whitest, 0.9);  // the orange cell has no blue: this is the label
}

TEST(WheelPaint, SingleAnchorToolIsShownOnTheArcWithItsName) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, 2, -1));
  // Segment 2 is centred straight down (90 degrees); its one tool spans [72, 108).
  EXPECT_COLOUR(probe(*pic, 120, 80), 0.16, 0.18, 0.22, 0.02);
  EXPECT_COLOUR(probe(*pic, 150, 100), 0.16, 0.18, 0.22, 0.02);
  double brightest = 0;
  for (int dx = -15; dx <= 15; ++dx) {
    for (int dy = -6; dy <= 6; ++dy) {
      brightest = std::max(brightest, luminance(pic->atPoint(208 + dx, 208 + 135.5 + dy)));
    }
  }
  EXPECT_GT(brightest, 0.5);
  // Nothing where a grid would stand (centre 153 below the wheel's centre, off the arc).
  EXPECT_EQ(pic->atPoint(208 - 40, 208 + 153 + 40).a, 0);
}

TEST(WheelPaint, SelectionBeyondTheConfigurationDrawsNoTools) {
  auto cfg = configOf(kFourSegments);
  auto none = render(inputsFor(cfg, -1, -1));
  auto beyond = render(inputsFor(cfg, 7, 0));
  EXPECT_EQ(none->pixels(), beyond->pixels());
  for (double a = 0; a < 360; a += 5) EXPECT_EQ(probe(*beyond, 140, a).a, 0) << a;
}

TEST(WheelPaint, ToolIndexMatchingNoToolHighlightsNothing) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, 1, 9));
  for (double a : {-36.0, 0.0, 36.0}) {
    EXPECT_COLOUR(probe(*pic, 120, a), 0.16, 0.18, 0.22, 0.02) << a;
  }
}

TEST(WheelPaint, AGridSegmentWithNoToolUnderThePointerLightsNoCell) {
  auto pic = render(inputsFor(configOf(kFourSegments), 0, -1));
  for (double y : {25.67, 55.0, 84.33}) {
    for (double x : {178.67, 208.0, 237.33}) {
      EXPECT_COLOUR(pic->atPoint(x, y), 0.16, 0.18, 0.22, 0.02) << x << "," << y;
    }
  }
}

TEST(WheelPaint, ShadowOfALaterSegmentDarkensTheBorderOfTheEarlierOne) {
  auto cfg = configOf("SIZE|100\nSEG|A|#111\nSEG|B|#222\nSEG|C|#333\nSEG|D|#444\n");
  auto pic = render(inputsFor(cfg, -1, -1));
  // Segment 3 (left) begins at 135 degrees, where segment 2 ends. Segment 3 is painted last,
  // so its shadow lies on segment 2's side of that border, and not the other way round.
  for (double r : {50.0, 80.0}) {
    double earlier = luminance(probe(*pic, r, 135 - 5));
    double later = luminance(probe(*pic, r, 135 + 5));
    EXPECT_LT(earlier, later - 0.01) << r;
  }
}

TEST(WheelPaint, CachedRepaintsAreIdenticalToAColdPaintAndToTheDirectPasses) {
  auto cfg = configOf(kFourSegments);
  WheelPainter warm;
  warm.prepare(inputsFor(cfg, -1, -1));
  Picture pic(416, 416);
  const std::vector<std::pair<int, int>> states = {{-1, -1}, {1, -1},  {1, 0},  {1, 2}, {0, 1},
                                                   {0, 2},   {-1, -1}, {3, -1}, {1, 1}, {2, 0}};
  for (auto [seg, tool] : states) {
    paintOnce(pic, inputsFor(cfg, seg, tool), warm);
    auto cold = render(inputsFor(cfg, seg, tool));
    ASSERT_EQ(pic.pixels(), cold->pixels()) << seg << ":" << tool;

    // The passes straight onto a cleared surface, without any kept picture.
    Picture direct(416, 416);
    LabelMaker labels;
    RingScene scene(cfg, {416, 416}, 1, Box{0, 0, 416, 416}, labels);
    paintRingAndHub(direct.cr(), scene, seg);
    paintTools(direct.cr(), scene, seg, tool);
    ASSERT_EQ(pic.pixels(), direct.pixels()) << seg << ":" << tool;
  }
}

TEST(WheelPaint, ANewConfigurationOrScaleNeverShowsWhatWasKeptForTheOldOne) {
  auto first = configOf(kFourSegments);
  auto second = configOf(std::string(kFourSegments) + "SEG|Fifth|#123\n");
  WheelPainter painter;
  painter.prepare(inputsFor(first, -1, -1));
  Picture pic(416, 416);
  paintOnce(pic, inputsFor(first, 1, 0), painter);
  paintOnce(pic, inputsFor(second, 1, 0), painter);
  EXPECT_EQ(pic.pixels(), render(inputsFor(second, 1, 0))->pixels());

  Picture doubled(832, 832);
  paintOnce(doubled, inputsFor(second, 1, 0, 2.0), painter);
  EXPECT_EQ(doubled.pixels(), render(inputsFor(second, 1, 0, 2.0))->pixels());
}

// Past 2048 pixels a side the wheel is painted straight onto the surface, without kept
// pictures or coverage masks; it must look the same and repaint the same.
TEST(WheelPaint, LargeViewsPaintStraightOntoTheSurface) {
  auto cfg = configOf("SIZE|530\nSEG||#f80\nSEG||#f80\nTOOL|T|t\nSEG||#f80\nSEG||#f80\n");
  auto cold = render(inputsFor(cfg, 1, -1));
  const double c = 4 * 530 / 2 + 8;
  Rgba selected = overOwnShadow(1.0, 0x88 / 255.0, 0.0, 0.92);
  Rgba p = probe(*cold, 350, 20, c);
  EXPECT_COLOUR(p, selected.r, selected.g, selected.b, 0.006);
  EXPECT_NEAR(p.a, selected.a, 0.006);
  EXPECT_COLOUR(probe(*cold, 530 * 1.3, 0, c), 0.16, 0.18, 0.22, 0.02);  // the one tool
  EXPECT_EQ(probe(*cold, 530 * 1.3, 180, c).a, 0);

  WheelPainter painter;
  painter.prepare(inputsFor(cfg, -1, -1));
  Picture pic(cold->width(), cold->height());
  paintOnce(pic, inputsFor(cfg, 3, 0), painter);
  paintOnce(pic, inputsFor(cfg, 1, -1), painter);
  EXPECT_EQ(pic.pixels(), cold->pixels());
}

TEST(WheelPaint, ScaleTwoPaintsTheSameWheelAtTwiceThePixels) {
  auto cfg = configOf(kFourSegments);
  auto pic = render(inputsFor(cfg, 0, 1, 2.0));
  ASSERT_EQ(pic->width(), 832);
  EXPECT_EQ(pic->at(2 * 164, 40).a, 0);
  EXPECT_NEAR(pic->at(2 * 166, 40).a, 0.95, 0.01);
  Rgba selected = pic->atPoint(2 * (224.13 + 13.2), 2 * (224.13 + 13.2) - 306);
  EXPECT_COLOUR(selected, 0x33 / 255.0, 0xAA / 255.0, 0x77 / 255.0, 0.005);
  EXPECT_COLOUR(pic->atPoint(2 * 208.5, 2 * 228), 0.06, 0.07, 0.09, 0.015);
}

TEST(WheelPaint, PaintsOnlyTheDirtyRectangle) {
  auto cfg = configOf(kFourSegments);
  Picture pic(416, 416, 0xFF00FF00);
  WheelPainter painter;
  Canvas canvas{pic.cr(), 1};
  painter.paint(canvas, inputsFor(cfg, -1, -1), Rect{{0, 0}, {208, 416}});
  EXPECT_EQ(pic.raw(300, 208), 0xFF00FF00u);
  EXPECT_NE(pic.raw(150, 208), 0xFF00FF00u);
  EXPECT_EQ(pic.raw(10, 10), 0u);
}

// A wheel of radius 10^9 seen through a 400x400 surface centred on the wheel's centre.
TEST(WheelPaint, HugeRadiusPaintsTheHubThatFillsTheSurface) {
  auto cfg = configOf("SIZE|1000000000\nSEG|A|#f00\nSEG|B|#0f0\n");
  auto in = inputsFor(cfg, 0, -1);
  Picture pic(400, 400);
  cairo_translate(pic.cr(), -(in.bounds.width / 2) + 200, -(in.bounds.height / 2) + 200);
  WheelPainter painter;
  painter.prepare(in);
  paintOnce(pic, in, painter);
  for (Vec2 p : {Vec2{0, 0}, Vec2{200, 200}, Vec2{399, 399}, Vec2{10, 390}}) {
    Rgba c = pic.atPoint(p.x, p.y);
    EXPECT_COLOUR(c, 0.06, 0.07, 0.09, 0.01);
    EXPECT_NEAR(c.a, 0.96, 0.01);
  }
}

TEST(WheelPaint, HugeRadiusShowsTheRingWhereTheSurfaceLooksAtIt) {
  auto cfg = configOf("SIZE|1000000000\nSEG|A|#f00\nSEG|B|#0f0\n");
  auto in = inputsFor(cfg, 1, -1);  // B, the lower half, selected
  Picture pic(400, 400);
  const double cx = in.bounds.width / 2;
  // The surface's centre sits on the ring's outer edge, straight below the wheel's centre.
  cairo_translate(pic.cr(), -cx + 200, -(cx + 1e9) + 200);
  WheelPainter painter;
  paintOnce(pic, in, painter);
  Rgba fill = overOwnShadow(0, 1, 0, 0.92);  // 50 pixels inside the ring
  EXPECT_COLOUR(pic.at(200, 150), fill.r, fill.g, fill.b, 0.006);
  EXPECT_NEAR(pic.at(200, 150).a, fill.a, 0.006);
  EXPECT_EQ(pic.at(200, 398).a, 0);     // beyond R plus the shadow's reach
  EXPECT_GT(pic.at(200, 210).a, 0.05);  // the shadow just outside
}

TEST(WheelPaint, AbsurdInputsNeitherCrashNorPaintOutsideTheView) {
  for (const char* size : {"1000000000", "1000000000000", "9223372036854775807"}) {
    auto cfg = configOf(std::string("SIZE|") + size + "\nSEG|A|#f00\nTOOL|t|c\n");
    Picture pic(300, 300);
    WheelPainter painter;
    auto in = inputsFor(cfg, 0, 0);
    painter.prepare(in);
    paintOnce(pic, in, painter);
    EXPECT_EQ(pic.raw(150, 150), 0u) << size;  // the view's corner, far from the wheel
  }
  auto cfg = configOf("SEG|A|#f00\n");
  for (double bad : std::vector<double>{NAN, INFINITY, -1.0}) {
    Picture pic(100, 100, 0x11223344);
    WheelPainter painter;
    auto in = inputsFor(cfg, 0, -1);
    in.bounds = {bad, bad};
    in.scale = 1;
    painter.prepare(in);
    paintOnce(pic, in, painter);
    Canvas canvas{pic.cr(), bad};
    painter.paint(canvas, inputsFor(cfg, 0, -1), Rect{{0, 0}, {100, 100}});
  }
}

TEST(RingScene, KeepsItsMasksWithinTheRegionItCovers) {
  auto cfg = configOf("SIZE|1000000000\nSEG|A|#f00\nSEG|B|#0f0\nSEG|C|#00f\n");
  const double side = 4e9 + 16;
  const Box region{2e9 + 8 - 200, 3e9 + 8 - 200, 2e9 + 8 + 200, 3e9 + 8 + 200};
  LabelMaker labels;
  RingScene scene(cfg, {side, side}, 1, region, labels);
  scene.makeMasks();
  const double reach = planGaussian(11).reach();
  EXPECT_GT(scene.maskBytes(), 0u);
  EXPECT_LE(scene.maskBytes(), 30 * (400 + 2 * reach + 8) * (400 + 2 * reach + 8));
}

TEST(BoxBlur, ThreeBoxesApproximateSigma11) {
  BoxBlurPlan plan = planGaussian(11);
  double variance = 0;
  for (const BoxPass& p : plan.passes) {
    EXPECT_EQ(p.behind, p.ahead);
    const double size = p.behind + p.ahead + 1;
    variance += (size * size - 1) / 12;
  }
  EXPECT_NEAR(std::sqrt(variance), 11, 0.25);
  EXPECT_EQ(plan.reach(), 31);
  EXPECT_EQ(planGaussian(0.2).reach(), 0);
  // An impulse spreads to a bell of the same total and the stated standard deviation.
  const int n = 101;
  std::vector<std::uint8_t> row(n * n, 0);
  for (int y = 0; y < n; ++y) row[y * n + 50] = 255;  // a vertical line: blur along x
  blurAlpha(row.data(), n, n, n, plan);
  double total = 0, spread = 0;
  for (int x = 0; x < n; ++x) {
    total += row[50 * n + x];
    spread += row[50 * n + x] * (x - 50.0) * (x - 50.0);
  }
  EXPECT_NEAR(total, 255, 12);
  EXPECT_NEAR(std::sqrt(spread / total), 11, 0.5);
  EXPECT_EQ(row[50 * n + 50 - 32], 0);
  EXPECT_EQ(row[50 * n + 50 + 32], 0);
}

TEST(BoxBlur, KeepsTheInsideOfALargeShapeOpaqueAndHalvesItsEdge) {
  const int n = 160;
  std::vector<std::uint8_t> a(n * n, 0);
  for (int y = 0; y < n; ++y) {
    for (int x = 0; x < 80; ++x) a[y * n + x] = 255;
  }
  blurAlpha(a.data(), n, n, n, planGaussian(11));
  EXPECT_EQ(a[80 * n + 45], 255);  // 35 pixels from both edges
  EXPECT_NEAR(a[80 * n + 80] + a[80 * n + 79], 255, 6);
  EXPECT_EQ(a[80 * n + 115], 0);
}

TEST(Polygon, FlattenedShapesHaveTheirTrueArea) {
  auto area = [](const Polygon& p) {
    double sum = 0;
    for (std::size_t k = 0; k < p.starts.size(); ++k) {
      std::size_t b = p.starts[k], e = k + 1 < p.starts.size() ? p.starts[k + 1] : p.points.size();
      for (std::size_t i = b; i < e; ++i) {
        const Vec2& u = p.points[i];
        const Vec2& v = p.points[i + 1 < e ? i + 1 : b];
        sum += u.x * v.y - v.x * u.y;
      }
    }
    return std::fabs(sum) / 2;
  };
  const Box all{-1000, -1000, 1000, 1000};
  EXPECT_NEAR(area(disc({0, 0}, 100, all)), kPi * 1e4, 0.0005 * kPi * 1e4);
  EXPECT_NEAR(area(annularSector({0, 0}, 100, 30, -135, -45, all)), kPi * (1e4 - 900) / 4, 10);
  EXPECT_NEAR(area(annularSector({0, 0}, 100, 30, -270, 90, all)), kPi * (1e4 - 900), 30);
  EXPECT_NEAR(area(roundedRect({0, 0, 20, 20}, 3, all)), 400 - (4 - kPi) * 9, 0.4);
  // Clipped to what can be seen, even at a radius of 10^12.
  const Box view{0, 0, 50, 50};
  Polygon huge = disc({25, 25}, 1e12, view);
  EXPECT_NEAR(area(huge), 2500, 1e-6);
  EXPECT_LT(huge.points.size(), 1000u);
  EXPECT_TRUE(annularSector({25, 25}, 1e12, 3e11, 0, 360, view).empty());
}

}  // namespace
}  // namespace nimbra
