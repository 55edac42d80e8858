#include "platform/x11/x11_scale.h"

#include <charconv>
#include <cmath>
#include <string>

namespace nimbra {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

}  // namespace

double scaleFromResources(std::string_view resources) {
  double scale = 1.0;
  while (!resources.empty()) {
    const std::size_t end = resources.find('\n');
    std::string_view line = resources.substr(0, end);
    resources.remove_prefix(end == std::string_view::npos ? resources.size() : end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || trimmed(line.substr(0, colon)) != "Xft.dpi") continue;
    const std::string value(trimmed(line.substr(colon + 1)));
    double dpi = 0;
    const auto [rest, error] = std::from_chars(value.data(), value.data() + value.size(), dpi);
    // The last setting wins, as in the resource database; a bad one restores the default.
    const bool ok = error == std::errc() && rest == value.data() + value.size() &&
                    std::isfinite(dpi) && dpi >= 48.0 && dpi <= 960.0;
    scale = ok ? dpi / 96.0 : 1.0;
  }
  return scale;
}

}  // namespace nimbra
