// The controller over random configurations: random offsets, opens, closes, reloads and tap
// events in any order. After every track, open or close the selection is none or an index
// into the configuration in force (a segment that a reload took away may stay latched, but
// then selects no tool).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "app/process_state.h"
#include "input/event_tap.h"
#include "platform/fake_platform.h"
#include "wheel/wheel.h"

namespace {

using nimbra::Config;

void check(bool ok) {
  if (!ok) std::abort();
}

// Coordinates an anchor command may carry: the nine canonical ones and the awkward rest.
const char* const kCoordinates[] = {"0",    "0.5", "1",      "0.25",  "0.75",  "-0.2",
                                    "1.25", "nan", "inf",    "1e308", " 1 ",   "-0",
                                    "",     "0x1", "1e-400", "+0.5",  "2.5e-1"};

std::string coordinate(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.PickValueInArray(kCoordinates);
  return std::to_string(in.ConsumeFloatingPoint<double>());
}

std::string command(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0:
      return "anchor:" + coordinate(in) + "," + coordinate(in);
    case 1:
      return in.ConsumeRandomLengthString(16);
    default:
      return "cmd";
  }
}

std::shared_ptr<const Config> randomConfig(FuzzedDataProvider& in) {
  auto cfg = std::make_shared<Config>();
  cfg->holdMs = in.ConsumeIntegralInRange<std::int64_t>(Config::kMinHoldMs, 100000);
  cfg->radius =
      static_cast<double>(in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int64_t>(80, 1000)
                                           : in.ConsumeIntegralInRange<std::int64_t>(
                                                 80, std::numeric_limits<std::int64_t>::max()));
  const int segs = in.ConsumeIntegralInRange(0, 40);
  for (int s = 0; s < segs; ++s) {
    nimbra::Seg seg{"s", nimbra::kFallbackColor, {}};
    const int tools = in.ConsumeIntegralInRange(0, 14);
    const bool grid = in.ConsumeBool();
    for (int t = 0; t < tools; ++t) {
      seg.tools.push_back(nimbra::Tool{
          "t", grid ? "anchor:" + coordinate(in) + "," + coordinate(in) : command(in)});
    }
    cfg->segs.push_back(std::move(seg));
  }
  return cfg;
}

double offset(FuzzedDataProvider& in, double radius) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return in.ConsumeFloatingPoint<double>();
    case 1:
      return in.ConsumeFloatingPointInRange(-3.0, 3.0) * radius;
    case 2:
      return static_cast<double>(in.ConsumeIntegralInRange(-2000, 2000));
    default:
      return in.PickValueInArray({0.0, -0.0, std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN()});
  }
}

void checkSelection(const nimbra::Wheel& wheel, int segBefore, int op) {
  const Config& cfg = *wheel.cfg;
  const int seg = wheel.view->curSeg;
  const int tool = wheel.view->curTool;
  const bool segValid = seg >= 0 && static_cast<std::size_t>(seg) < cfg.segs.size();
  const bool ok =
      segValid
          ? tool == -1 || (tool >= 0 && static_cast<std::size_t>(tool) < cfg.segs[seg].tools.size())
          : (seg == -1 || seg == segBefore) && tool == -1;
  if (!ok) {
    std::fprintf(stderr, "after op %d: curSeg %d (was %d), curTool %d, %zu segments\n", op, seg,
                 segBefore, tool, cfg.segs.size());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  nimbra::testing::FakePlatform fake;
  nimbra::ProcessState& p = nimbra::process();
  p = nimbra::ProcessState{};
  p.platform = &fake;
  // A folder that does not exist: opens and fires write nothing anywhere.
  p.paths.emplace("/nonexistent/nimbra-fuzz");
  p.wheel = std::make_unique<nimbra::Wheel>(randomConfig(in));
  nimbra::Wheel& wheel = *p.wheel;

  // A reload keeps the selection, which may then name what the new configuration lacks; the
  // next track, open or close settles it again.
  bool stale = false;
  for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
    const int segBefore = wheel.view->curSeg;
    const double r = wheel.cfg->radius;
    const int kind = in.ConsumeIntegralInRange(0, 6);
    switch (kind) {
      case 0:
        wheel.trackDelta(offset(in, r), offset(in, r));
        break;
      case 1:
        wheel.show({offset(in, r), offset(in, r)});
        break;
      case 2:
        wheel.hide(in.ConsumeBool());
        break;
      case 3: {
        // A reload as the tick does it: both references swap, the selection stays.
        auto next = randomConfig(in);
        if (next->segs.empty()) break;
        wheel.cfg = next;
        wheel.geo = std::make_shared<const nimbra::Geometry>(next);
        wheel.view->cfg = wheel.cfg;
        wheel.view->geo = wheel.geo;
        break;
      }
      case 4: {
        const auto type = in.PickValueInArray(
            {nimbra::TapEventType::kRightMouseDown, nimbra::TapEventType::kRightMouseUp,
             nimbra::TapEventType::kMouseMoved, nimbra::TapEventType::kRightMouseDragged});
        const nimbra::Point at{offset(in, r), offset(in, r)};
        fake.movePointerTo(at);
        nimbra::tapCallback(nimbra::TapEvent{type, at, 0});
        break;
      }
      case 5:
        fake.advance(in.ConsumeFloatingPointInRange(0.0, 200.0));
        break;
      default: {
        const int n = wheel.geo->segAt(in.ConsumeFloatingPointInRange(-1e6, 1e6));
        const int count = static_cast<int>(wheel.cfg->segs.size());
        check(count == 0 ? n == -1 : (n >= 0 && n < count));
        break;
      }
    }
    if (kind == 3) {
      stale = true;
    } else if (kind <= 2) {
      checkSelection(wheel, segBefore, kind);
      stale = false;
    } else if (!stale) {
      checkSelection(wheel, segBefore, kind);
    }
  }
  p = nimbra::ProcessState{};
  return 0;
}
