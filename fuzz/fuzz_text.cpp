// Every text reader on the same arbitrary bytes: wheel.cfg, a colour field, an anchor command, a
// heartbeat record and a clock reading. Each keeps the invariants the rest of the helper relies on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/heartbeat.h"
#include "config/config.h"
#include "wheel/geometry.h"

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
  return 0;
}
