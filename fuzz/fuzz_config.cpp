// wheel.cfg reading on arbitrary bytes: whatever comes in, every Config that comes out keeps
// its invariants, and asking for the skipped lines never changes the result.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "config/config.h"

namespace {

bool inUnitRange(double v) {
  return v >= 0.0 && v <= 1.0;
}

bool hasLineBreak(std::string_view s) {
  return s.find_first_of("\r\n") != std::string_view::npos;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbra::Config;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Config plain = Config::parse(text);

  check(plain.holdMs >= Config::kMinHoldMs);
  check(plain.radius >= static_cast<double>(Config::kMinRadius));
  check(std::trunc(plain.radius) == plain.radius);
  for (const nimbra::Seg& seg : plain.segs) {
    check(seg.name.find('|') == std::string::npos && !hasLineBreak(seg.name));
    check(inUnitRange(seg.color.red) && inUnitRange(seg.color.green) &&
          inUnitRange(seg.color.blue) && seg.color.alpha == 1.0);
    for (const nimbra::Tool& tool : seg.tools) {
      check(tool.name.find('|') == std::string::npos && !hasLineBreak(tool.name));
      check(!hasLineBreak(tool.cmd));
    }
  }

  std::vector<nimbra::SkippedLine> skipped;
  const Config reported = Config::parse(text, &skipped);
  check(reported == plain);
  for (const nimbra::SkippedLine& line : skipped) {
    check(line.lineNumber >= 1 && line.lineNumber <= size + 1);
    check(!hasLineBreak(line.text) && !line.text.empty());
  }
  return 0;
}
