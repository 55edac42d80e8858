#include "app/heartbeat.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace nimbra {
namespace {

// Length of the white space or line-end character at the start of `s` (UTF-8), or 0.
std::size_t spaceAt(std::string_view s) {
  const auto c = static_cast<unsigned char>(s[0]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  auto is = [&](std::string_view seq) { return s.substr(0, seq.size()) == seq; };
  if (is("\xC2\x85") || is("\xC2\xA0")) return 2;  // NEL, no-break space
  if (is("\xE1\x9A\x80") || is("\xE2\x80\xA8") || is("\xE2\x80\xA9") || is("\xE2\x80\xAF") ||
      is("\xE2\x81\x9F") || is("\xE3\x80\x80"))
    return 3;
  if (s.size() >= 3 && c == 0xE2 && static_cast<unsigned char>(s[1]) == 0x80) {
    const auto t = static_cast<unsigned char>(s[2]);
    if (t >= 0x80 && t <= 0x8A) return 3;  // U+2000 .. U+200A
  }
  return 0;
}

// Length of the white space or line-end character that ends `s`, or 0.
std::size_t spaceBefore(std::string_view s) {
  for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
    const std::string_view tail = s.substr(s.size() - n);
    if (spaceAt(tail) == n) return n;
  }
  return 0;
}

std::string_view trimSpaces(std::string_view s) {
  while (!s.empty()) {
    const std::size_t n = spaceAt(s);
    if (n == 0) break;
    s.remove_prefix(n);
  }
  while (!s.empty()) {
    const std::size_t n = spaceBefore(s);
    if (n == 0) break;
    s.remove_suffix(n);
  }
  return s;
}

}  // namespace

std::optional<std::int64_t> parseDecimalInt64(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse the magnitude as unsigned so that the most negative value still fits.
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (negative) {
    if (magnitude > kMax + 1) return std::nullopt;
    return magnitude == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                 : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > kMax) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

std::string formatHeartbeat(std::int32_t pid, std::int64_t stampMs) {
  return std::to_string(pid) + "|" + std::to_string(stampMs);
}

std::optional<HeartbeatRecord> parseHeartbeat(std::string_view text) {
  text = trimSpaces(text);
  const std::size_t bar = text.find('|');
  if (bar == std::string_view::npos || text.find('|', bar + 1) != std::string_view::npos)
    return std::nullopt;
  const auto pid = parseDecimalInt64(text.substr(0, bar));
  const auto stamp = parseDecimalInt64(text.substr(bar + 1));
  if (!pid || !stamp) return std::nullopt;
  if (*pid < std::numeric_limits<std::int32_t>::min() ||
      *pid > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return HeartbeatRecord{static_cast<std::int32_t>(*pid), *stamp};
}

std::int64_t toEpochMs(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  // 2^63 as a double; anything at or beyond it (or NaN) has no int64 value.
  constexpr double kLimit = 9223372036854775808.0;
  if (std::isnan(ms)) return 0;
  if (ms >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (ms < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(ms);
}

}  // namespace nimbra
