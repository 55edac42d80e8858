// The pointer-motion path: every move of the session reaches tapCallback, so its cost while the
// wheel is closed, and while it is open, is what the helper costs the desktop.
#include <benchmark/benchmark.h>

#include <cmath>

#include "app/process_state.h"
#include "app/startup.h"
#include "input/event_tap.h"
#include "platform/fake_platform.h"
#include "support/temp_dir.h"
#include "wheel/wheel.h"

namespace nimbra {
namespace {

constexpr const char* kEightSegments =
    "HOLD|300\nSIZE|190\n"
    "SEG|A|#f00\nTOOL|1|a1\nTOOL|2|a2\nTOOL|3|a3\nTOOL|4|a4\nTOOL|5|a5\nTOOL|6|a6\n"
    "SEG|B|#0f0\nTOOL|tl|anchor:0,0\nTOOL|c|anchor:0.5,0.5\nTOOL|br|anchor:1,1\n"
    "SEG|C|#00f\nTOOL|x|x\nSEG|D|#ff0\nSEG|E|#0ff\nSEG|F|#f0f\nSEG|G|#fff\nSEG|H|#888\n";

// A helper started in-process on the fake platform, for as long as one benchmark runs.
struct Running {
  Running() {
    process() = ProcessState{};
    testing::writeFile(dir.file("wheel.cfg"), kEightSegments);
    startHelper({"nimbra-wheel", "-Dir", dir.path()}, fake);
  }
  ~Running() { process() = ProcessState{}; }
  void open() {
    tapCallback({TapEventType::kRightMouseDown, {500, 500}, 0});
    fake.advance(0.3);
  }
  testing::TempDir dir;
  testing::FakePlatform fake;
};

void BM_TapMoveWheelClosed(benchmark::State& state) {
  Running helper;
  TapEvent move{TapEventType::kMouseMoved, {300, 300}, 0};
  for (auto _ : state) {
    move.location.x += 1;
    benchmark::DoNotOptimize(tapCallback(move));
  }
}
BENCHMARK(BM_TapMoveWheelClosed);

void BM_TapMoveWheelOpenSelectionUnchanged(benchmark::State& state) {
  Running helper;
  helper.open();
  // Small moves inside one segment of the ring: the selection never changes.
  TapEvent move{TapEventType::kMouseMoved, {500, 400}, 0};
  int i = 0;
  for (auto _ : state) {
    move.location.x = 500 + (i++ & 7);
    benchmark::DoNotOptimize(tapCallback(move));
  }
}
BENCHMARK(BM_TapMoveWheelOpenSelectionUnchanged);

void BM_TapMoveWheelOpenSelectionChanges(benchmark::State& state) {
  Running helper;
  helper.open();
  // Alternating between two segments: every move changes the selection and asks for a redraw.
  TapEvent move{TapEventType::kMouseMoved, {500, 400}, 0};
  int i = 0;
  for (auto _ : state) {
    move.location = (i++ & 1) ? Point{500, 400} : Point{600, 500};
    benchmark::DoNotOptimize(tapCallback(move));
  }
}
BENCHMARK(BM_TapMoveWheelOpenSelectionChanges);

// trackDelta in each zone, at R = 190.
void BM_TrackDelta(benchmark::State& state, double dx, double dy, int latchedSeg) {
  Running helper;
  helper.open();
  Wheel& wheel = *process().wheel;
  for (auto _ : state) {
    wheel.view->curSeg = latchedSeg;
    wheel.trackDelta(dx, dy);
    benchmark::DoNotOptimize(wheel.view->curTool);
  }
}
BENCHMARK_CAPTURE(BM_TrackDelta, dead, 10.0, 10.0, -1);
BENCHMARK_CAPTURE(BM_TrackDelta, ring, 0.0, -120.0, -1);
BENCHMARK_CAPTURE(BM_TrackDelta, arc, 0.0, -260.0, 0);
BENCHMARK_CAPTURE(BM_TrackDelta, grid, 290.0 * std::cos(-45 * 3.14159265 / 180),
                  290.0 * std::sin(-45 * 3.14159265 / 180), 1);

}  // namespace
}  // namespace nimbra
