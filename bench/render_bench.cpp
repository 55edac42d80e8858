// What painting the wheel costs at the default radius: 8 segments of 6 tools on a 776x776
// offscreen ARGB surface, beside the floor of writing one such frame at all.
#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "wheel/geometry.h"
#include "wheel/paint/box_blur.h"
#include "wheel/paint/canvas.h"
#include "wheel/paint/wheel_painter.h"

namespace nimbra {
namespace {

constexpr int kSide = 776;  // 4 * 190 + 16

std::shared_ptr<const Config> benchConfig() {
  const char* names[] = {"Edit", "View", "Files", "Layout", "Draw", "Text", "Share", "Help"};
  const char* colors[] = {"#3a7", "#f80", "#e33", "#a5f", "#29d", "#fc3", "#4c8", "#888"};
  std::string text = "SIZE|190\n";
  for (int s = 0; s < 8; ++s) {
    text += std::string("SEG|") + names[s] + "|" + colors[s] + "\n";
    for (int t = 0; t < 6; ++t) text += "TOOL|Tool " + std::to_string(t + 1) + "|run\n";
  }
  return std::make_shared<const Config>(Config::parse(text));
}

struct Bench {
  std::shared_ptr<const Config> cfg = benchConfig();
  std::shared_ptr<const Geometry> geo = std::make_shared<const Geometry>(cfg);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
  cairo_t* cr = cairo_create(surface);
  Canvas canvas{cr, 1.0};

  ~Bench() {
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
  }

  PaintInputs inputs(int curSeg, int curTool) const {
    PaintInputs in;
    in.cfg = cfg;
    in.geo = geo;
    in.curSeg = curSeg;
    in.curTool = curTool;
    in.bounds = {double{kSide}, double{kSide}};
    return in;
  }

  void paint(WheelPainter& painter, int curSeg, int curTool) {
    painter.paint(canvas, inputs(curSeg, curTool), Rect{{0, 0}, {double{kSide}, double{kSide}}});
    cairo_surface_flush(surface);
  }
};

// Shadows of every ring element in both label weights, label layouts and the opening picture.
void BM_RenderCacheBuild(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    WheelPainter painter;
    painter.prepare(b.inputs(-1, -1));
  }
}
BENCHMARK(BM_RenderCacheBuild)->Unit(benchmark::kMillisecond);

// The wheel opens with nothing selected, after an earlier opening that ended on a selection.
void BM_RenderFirstPaintAfterOpen(benchmark::State& state) {
  Bench b;
  WheelPainter painter;
  painter.prepare(b.inputs(-1, -1));
  for (auto _ : state) {
    state.PauseTiming();
    b.paint(painter, 3, 2);
    state.ResumeTiming();
    b.paint(painter, -1, -1);
  }
}
BENCHMARK(BM_RenderFirstPaintAfterOpen)->Unit(benchmark::kMillisecond);

// The pointer crosses into the next segment: a new highlight and a new tool arc.
void BM_RenderRepaintAfterSegmentChange(benchmark::State& state) {
  Bench b;
  WheelPainter painter;
  painter.prepare(b.inputs(-1, -1));
  int seg = 0;
  for (auto _ : state) {
    seg = (seg + 1) % 8;
    b.paint(painter, seg, -1);
  }
}
BENCHMARK(BM_RenderRepaintAfterSegmentChange)->Unit(benchmark::kMillisecond);

// The pointer moves along the tool arc of one segment.
void BM_RenderRepaintAfterToolChange(benchmark::State& state) {
  Bench b;
  WheelPainter painter;
  painter.prepare(b.inputs(-1, -1));
  b.paint(painter, 2, 0);
  int tool = 0;
  for (auto _ : state) {
    tool = (tool + 1) % 6;
    b.paint(painter, 2, tool);
  }
}
BENCHMARK(BM_RenderRepaintAfterToolChange)->Unit(benchmark::kMillisecond);

// A painter that has built nothing yet: everything on the first paint.
void BM_RenderColdPaint(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    WheelPainter painter;
    b.paint(painter, 2, 1);
  }
}
BENCHMARK(BM_RenderColdPaint)->Unit(benchmark::kMillisecond);

// The floor: copying one finished 776x776 frame onto the surface.
void BM_FrameCopyFloor(benchmark::State& state) {
  Bench b;
  cairo_surface_t* frame = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kSide, kSide);
  cairo_t* fill = cairo_create(frame);
  cairo_set_source_rgba(fill, 0.1, 0.2, 0.3, 0.5);  // a blank frame would be copied as a clear
  cairo_paint(fill);
  cairo_destroy(fill);
  for (auto _ : state) {
    cairo_set_operator(b.cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(b.cr, frame, 0, 0);
    cairo_paint(b.cr);
    cairo_surface_flush(b.surface);
  }
  cairo_surface_destroy(frame);
}
BENCHMARK(BM_FrameCopyFloor)->Unit(benchmark::kMillisecond);

// The floor without Cairo: one memset of the frame's bytes.
void BM_FrameMemsetFloor(benchmark::State& state) {
  std::vector<unsigned char> frame(std::size_t{kSide} * kSide * 4);
  unsigned char value = 0;
  for (auto _ : state) {
    std::memset(frame.data(), ++value, frame.size());
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FrameMemsetFloor)->Unit(benchmark::kMillisecond);

// Why shadows are cached: one blur of a whole frame's alpha at sigma 11.
void BM_ShadowBlurFullFrame(benchmark::State& state) {
  std::vector<std::uint8_t> alpha(std::size_t{kSide} * kSide, 0);
  for (int y = 200; y < 576; ++y) std::memset(&alpha[std::size_t{kSide} * y + 200], 255, 376);
  const BoxBlurPlan plan = planGaussian(11);
  for (auto _ : state) {
    blurAlpha(alpha.data(), kSide, kSide, kSide, plan);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ShadowBlurFullFrame)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nimbra
