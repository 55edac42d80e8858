#include "wheel/geometry.h"

#include <locale.h>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

#include "config/trim.h"

namespace nimbra {

namespace {

constexpr std::string_view kAnchorPrefix = "anchor:";

// A coordinate of an anchor command: the whole of `text` must be a number in the C locale.
std::optional<double> parseCoordinate(std::string_view text) {
  text = trimBlanks(text);
  // from_chars reads a "-" itself but not a "+"; a sign after the "+" is not a number.
  if (text.size() > 1 && text.front() == '+' && text[1] != '+' && text[1] != '-') {
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ptr != end) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves the value alone both for overflow and for underflow; strtod tells them
    // apart (a tiny coordinate is a valid 0).
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    if (!cLocale) return std::nullopt;
    return strtod_l(std::string(text).c_str(), nullptr, cLocale);
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

// 2·v rounded half away from zero, when that is 0, 1 or 2.
std::optional<int> cellIndex(double v) {
  const double index = std::round(2 * v);
  if (!(index >= 0 && index <= 2)) return std::nullopt;  // also NaN
  return static_cast<int>(index);
}

}  // namespace

double segmentMidAngle(int seg, std::size_t segmentCount) {
  const double w = 360.0 / static_cast<double>(std::max<std::size_t>(segmentCount, 1));
  return (seg + 0.5) * w + (-90 - w / 2);
}

double Geometry::arcStart(int seg) const {
  const std::size_t n = cfg->segs.size();
  const double w = 360.0 / static_cast<double>(std::max<std::size_t>(n, 1));
  // Callers pass a checked index; an unchecked one gets the bare centre rather than a crash.
  const std::size_t m =
      seg >= 0 && static_cast<std::size_t>(seg) < n ? cfg->segs[seg].tools.size() : 0;
  return (seg + 0.5) * w + (-90 - w / 2) + static_cast<double>(m) * (-36) * 0.5;
}

int Geometry::segAt(double angle) const {
  const std::size_t n = cfg->segs.size();
  const double w = 360.0 / static_cast<double>(std::max<std::size_t>(n, 1));
  const double t = std::fmod(std::fmod(angle - (-w / 2 - 90), 360) + 360, 360);
  const double quotient = std::floor(t / w);
  // A quotient that reaches n through rounding belongs to the last segment; NaN goes to 0.
  std::size_t k = 0;
  if (quotient >= static_cast<double>(n)) {
    k = n;
  } else if (quotient > 0) {
    k = static_cast<std::size_t>(quotient);
  }
  if (k < n) return static_cast<int>(k);
  return static_cast<int>(n) - 1;
}

std::optional<AnchorGrid> Geometry::segAnchor(int seg) const {
  if (seg < 0 || static_cast<std::size_t>(seg) >= cfg->segs.size()) return std::nullopt;
  const std::vector<Tool>& tools = cfg->segs[seg].tools;
  if (tools.size() < 2) return std::nullopt;
  AnchorGrid grid;
  grid.fill(-1);
  for (std::size_t k = 0; k < tools.size(); ++k) {
    const std::optional<AnchorCell> cell = anchorCell(tools[k].cmd);
    if (!cell) return std::nullopt;
    grid[cell->row * 3 + cell->column] = static_cast<int>(k);
  }
  return grid;
}

std::optional<AnchorCell> Geometry::anchorCell(std::string_view cmd) {
  if (!cmd.starts_with(kAnchorPrefix)) return std::nullopt;
  cmd.remove_prefix(kAnchorPrefix.size());
  const std::size_t comma = cmd.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const std::string_view second = cmd.substr(comma + 1);
  if (second.find(',') != std::string_view::npos) return std::nullopt;
  const std::optional<double> x = parseCoordinate(cmd.substr(0, comma));
  const std::optional<double> y = parseCoordinate(second);
  if (!x || !y) return std::nullopt;
  const std::optional<int> column = cellIndex(*x);
  const std::optional<int> row = cellIndex(*y);
  if (!column || !row) return std::nullopt;
  return AnchorCell{*column, *row};
}

}  // namespace nimbra
