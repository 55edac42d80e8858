#include "app/log_text.h"

#include <cmath>
#include <cstdio>

#include "config/config.h"

namespace nimbra {

std::string wholeNumber(double value) {
  const double t = std::trunc(value);
  if (t == 0) return "0";  // also -0
  if (!std::isfinite(t)) return t > 0 ? "inf" : (t < 0 ? "-inf" : "nan");
  // "%.0f" prints an integral double's exact value, also beyond the int64 range.
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.0f", t);
  return buf;
}

std::string configSummary(const Config& cfg) {
  return std::to_string(cfg.segs.size()) + " sections, R=" + wholeNumber(cfg.radius) +
         ", hold=" + std::to_string(cfg.holdMs) + "ms";
}

}  // namespace nimbra
