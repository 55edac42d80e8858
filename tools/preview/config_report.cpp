#include "config_report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace nimbra {
namespace {

// The radius cut to an integer; beyond the 64-bit range the whole value is written out.
std::string radiusText(double radius) {
  char buf[400];
  if (std::isfinite(radius) && std::fabs(radius) < 9223372036854775808.0) {
    std::snprintf(buf, sizeof buf, "%lld",
                  static_cast<long long>(static_cast<std::int64_t>(radius)));
  } else {
    std::snprintf(buf, sizeof buf, "%.0f", radius);
  }
  return buf;
}

}  // namespace

std::string configSummary(const Config& cfg) {
  return "config: " + std::to_string(cfg.segs.size()) + " sections, R=" + radiusText(cfg.radius) +
         ", hold=" + std::to_string(cfg.holdMs) + "ms";
}

std::vector<std::string> skippedLineReport(const std::vector<SkippedLine>& skipped) {
  std::vector<std::string> lines;
  lines.reserve(skipped.size());
  for (const SkippedLine& s : skipped) {
    lines.push_back("line " + std::to_string(s.lineNumber) + ": " + s.text + " \u2014 " +
                    describe(s.reason));
  }
  return lines;
}

}  // namespace nimbra
