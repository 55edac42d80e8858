// Every text reader on the same arbitrary bytes (wheel.cfg, a colour field, an anchor command, a
// heartbeat record, a clock reading), then the controller on the fake platform over that wheel.cfg.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/heartbeat.h"
#include "app/process_state.h"
#include "platform/fake_platform.h"
#include "wheel/wheel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace nimbra;
  auto check = [](bool ok) { ok ? void() : std::abort(); };
  auto oneLine = [](std::string_view s) { return s.find_first_of("\r\n") == s.npos; };
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<SkippedLine> skipped;
  const Config cfg = Config::parse(text, &skipped);
  check(cfg == Config::parse(text) && cfg.holdMs >= 120 && cfg.radius >= 80);
  for (const Seg& seg : cfg.segs) {
    check(oneLine(seg.name) && seg.name.find('|') == seg.name.npos && seg.color.alpha == 1);
    for (const Tool& tool : seg.tools) check(oneLine(tool.name) && oneLine(tool.cmd));
  }
  for (const auto& line : skipped) check(line.lineNumber <= size + 1 && oneLine(line.text));
  const Color c = Config::parseColor(text);
  check(Config::parseColor("\t\xC2\xA0" + std::string(text) + " ") == c);  // blanks trimmed
  check(c.red >= 0 && c.red <= 1 && c.green >= 0 && c.green <= 1 && c.blue >= 0 && c.blue <= 1);
  if (const auto cell = Geometry::anchorCell(text)) {
    check(cell->column >= 0 && cell->column <= 2 && cell->row >= 0 && cell->row <= 2);
    check(text.starts_with("anchor:") && text.find(',') == text.rfind(','));
  }
  if (const auto record = parseHeartbeat(text)) {
    const std::string again = formatHeartbeat(record->pid, record->stampMs);
    check(parseHeartbeat(again) == record && again.find_first_of(" \t\r\n") == again.npos);
  }
  if (const auto n = parseDecimalInt64(text)) check(parseDecimalInt64(std::to_string(*n)) == n);
  if (size >= sizeof(double)) {  // NaN and infinities included
    double seconds;
    std::memcpy(&seconds, data, sizeof seconds);
    check(!(seconds >= 0 && seconds < 1e15) || toEpochMs(seconds) >= 0);
  }

  // Tracks, opens, closes and reloads of a shorter copy, drawn from the end of the bytes.
  testing::FakePlatform fake;
  ProcessState& p = process();
  p = ProcessState{};
  p.platform = &fake;
  p.paths.emplace("/nonexistent/nimbra-fuzz");  // opens and fires write nowhere
  Wheel& wheel = *(p.wheel = std::make_unique<Wheel>(std::make_shared<const Config>(cfg)));
  FuzzedDataProvider in(data, size);
  auto offset = [&] {
    if (in.ConsumeBool()) return in.ConsumeFloatingPointInRange(-3.0, 3.0) * wheel.cfg->radius;
    if (in.ConsumeBool()) return in.ConsumeFloatingPoint<double>();
    return in.PickValueInArray({-0.0, std::numeric_limits<double>::infinity(), std::nan("")});
  };
  for (int op = 0; op < 64 && in.remaining_bytes() > 0; ++op) {
    const int segBefore = wheel.view->curSeg;
    const int kind = in.ConsumeIntegralInRange(0, 3);
    if (kind == 0) wheel.trackDelta(offset(), offset());
    if (kind == 1) wheel.show({offset(), offset()});
    if (kind == 2) wheel.hide(in.ConsumeBool());
    if (kind == 3) {  // as the tick does it: the selection stays until the next step
      auto next = std::make_shared<const Config>(
          Config::parse(text.substr(0, in.ConsumeIntegralInRange<std::size_t>(0, size))));
      if (next->segs.empty()) continue;
      wheel.cfg = wheel.view->cfg = next;
      wheel.geo = wheel.view->geo = std::make_shared<const Geometry>(next);
      continue;
    }
    // No selection or one the configuration has; a segment a reload took away may stay latched.
    const int seg = wheel.view->curSeg, tool = wheel.view->curTool;
    check(seg >= 0 && seg < static_cast<int>(wheel.cfg->segs.size())
              ? tool >= -1 && tool < static_cast<int>(wheel.cfg->segs[seg].tools.size())
              : (seg == -1 || seg == segBefore) && tool == -1);
  }
  p = ProcessState{};
  return 0;
}
