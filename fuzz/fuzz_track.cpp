// The controller on the fake platform over random configurations: offsets, opens, closes and
// reloads in any order. After each track, open or close the selection is none or names what the
// configuration in force has (a segment a reload took away may stay latched, selecting no tool).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <string>

#include "app/process_state.h"
#include "platform/fake_platform.h"
#include "wheel/wheel.h"

namespace {

std::string coordinate(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) return in.PickValueInArray({"0", "0.5", "1", "-0.2", "nan", " 1 ", "1e-9"});
  return std::to_string(in.ConsumeFloatingPoint<double>());
}

std::shared_ptr<const nimbra::Config> randomConfig(FuzzedDataProvider& in) {
  auto cfg = std::make_shared<nimbra::Config>();
  cfg->radius = static_cast<double>(in.ConsumeIntegralInRange<std::int64_t>(
      80, in.ConsumeBool() ? 1000 : std::numeric_limits<std::int64_t>::max()));
  for (int s = in.ConsumeIntegralInRange(0, 40); s > 0; --s) {
    const bool grid = in.ConsumeBool();
    nimbra::Seg& seg = cfg->segs.emplace_back(nimbra::Seg{"s", nimbra::kFallbackColor, {}});
    for (int t = in.ConsumeIntegralInRange(0, 14); t > 0; --t) {
      seg.tools.push_back({"t", grid ? "anchor:" + coordinate(in) + "," + coordinate(in)
                                     : in.ConsumeRandomLengthString(16)});
    }
  }
  return cfg;
}

double offset(FuzzedDataProvider& in, double radius) {
  if (in.ConsumeBool()) return in.ConsumeFloatingPointInRange(-3.0, 3.0) * radius;
  if (in.ConsumeBool()) return in.ConsumeFloatingPoint<double>();
  return in.PickValueInArray(
      {-0.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  nimbra::testing::FakePlatform fake;
  nimbra::ProcessState& p = nimbra::process();
  p = nimbra::ProcessState{};
  p.platform = &fake;
  p.paths.emplace("/nonexistent/nimbra-fuzz");  // opens and fires write nowhere
  p.wheel = std::make_unique<nimbra::Wheel>(randomConfig(in));
  nimbra::Wheel& wheel = *p.wheel;
  for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
    const int segBefore = wheel.view->curSeg;
    const double r = wheel.cfg->radius;
    const int kind = in.ConsumeIntegralInRange(0, 3);
    if (kind == 0) wheel.trackDelta(offset(in, r), offset(in, r));
    if (kind == 1) wheel.show({offset(in, r), offset(in, r)});
    if (kind == 2) wheel.hide(in.ConsumeBool());
    if (kind == 3) {  // a reload as the tick does it: the selection stays until the next step
      auto next = randomConfig(in);
      if (next->segs.empty()) continue;
      wheel.cfg = wheel.view->cfg = next;
      wheel.geo = wheel.view->geo = std::make_shared<const nimbra::Geometry>(next);
      continue;
    }
    const int seg = wheel.view->curSeg, tool = wheel.view->curTool;
    const int segs = static_cast<int>(wheel.cfg->segs.size());
    const bool ok = seg >= 0 && seg < segs
                        ? tool >= -1 && tool < static_cast<int>(wheel.cfg->segs[seg].tools.size())
                        : (seg == -1 || seg == segBefore) && tool == -1;
    if (!ok) std::abort();
  }
  p = nimbra::ProcessState{};
  return 0;
}
