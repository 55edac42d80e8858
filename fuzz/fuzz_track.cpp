// The controller on the fake platform over random configurations: tracks, opens, closes and
// reloads in any order leave no selection or one that the configuration in force has.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "app/process_state.h"
#include "platform/fake_platform.h"
#include "wheel/wheel.h"

using namespace nimbra;

static std::shared_ptr<const Config> randomConfig(FuzzedDataProvider& in) {
  auto coordinate = [&]() -> std::string {
    if (in.ConsumeBool())
      return in.PickValueInArray({"0", "0.5", "1", "-0.2", "nan", " 1 ", "1e-9"});
    return std::to_string(in.ConsumeFloatingPoint<double>());
  };
  auto cfg = std::make_shared<Config>();
  cfg->radius = static_cast<double>(in.ConsumeIntegralInRange<std::int64_t>(
      80, in.ConsumeBool() ? 1000 : std::numeric_limits<std::int64_t>::max()));
  for (int s = in.ConsumeIntegralInRange(0, 40); s > 0; --s) {
    const bool grid = in.ConsumeBool();
    Seg& seg = cfg->segs.emplace_back(Seg{"s", kFallbackColor, {}});
    for (int t = in.ConsumeIntegralInRange(0, 14); t > 0; --t) {
      seg.tools.push_back({"t", grid ? "anchor:" + coordinate() + "," + coordinate()
                                     : in.ConsumeRandomLengthString(16)});
    }
  }
  return cfg;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  auto offset = [&](double radius) {
    if (in.ConsumeBool()) return in.ConsumeFloatingPointInRange(-3.0, 3.0) * radius;
    if (in.ConsumeBool()) return in.ConsumeFloatingPoint<double>();
    return in.PickValueInArray(
        {-0.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()});
  };
  testing::FakePlatform fake;
  ProcessState& p = process();
  p = ProcessState{};
  p.platform = &fake;
  p.paths.emplace("/nonexistent/nimbra-fuzz");  // opens and fires write nowhere
  Wheel& wheel = *(p.wheel = std::make_unique<Wheel>(randomConfig(in)));
  for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
    const int segBefore = wheel.view->curSeg;
    const double r = wheel.cfg->radius;
    const int kind = in.ConsumeIntegralInRange(0, 3);
    if (kind == 0) wheel.trackDelta(offset(r), offset(r));
    if (kind == 1) wheel.show({offset(r), offset(r)});
    if (kind == 2) wheel.hide(in.ConsumeBool());
    if (kind == 3) {  // a reload as the tick does it: the selection stays until the next step
      auto next = randomConfig(in);
      if (next->segs.empty()) continue;
      wheel.cfg = wheel.view->cfg = next;
      wheel.geo = wheel.view->geo = std::make_shared<const Geometry>(next);
      continue;
    }
    // A segment a reload took away may stay latched, selecting no tool.
    const int seg = wheel.view->curSeg, tool = wheel.view->curTool;
    const bool ok = seg >= 0 && seg < static_cast<int>(wheel.cfg->segs.size())
                        ? tool >= -1 && tool < static_cast<int>(wheel.cfg->segs[seg].tools.size())
                        : (seg == -1 || seg == segBefore) && tool == -1;
    if (!ok) std::abort();
  }
  p = ProcessState{};
  return 0;
}
