#include "config/color.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "config/config.h"
#include "config/trim.h"

namespace nimbra {

namespace {

// Code points of well-formed UTF-8: every byte that is not a continuation byte starts one.
std::size_t codePointCount(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// An optional sign, then one or more hexadecimal digits and nothing else.
std::optional<std::int64_t> parseHex(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
  const std::string_view number = text.front() == '+' ? digits : text;  // from_chars takes no "+"
  std::int64_t value = 0;
  const char* end = number.data() + number.size();
  const auto [ptr, ec] = std::from_chars(number.data(), end, value, 16);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace

Color Config::parseColor(std::string_view text) {
  text = trimBlanks(text);
  if (!text.empty() && text.front() == '#') text.remove_prefix(1);

  // Only texts made wholly of ASCII signs and hex digits can be read, so for every text that
  // could succeed the count of code points is also the count of user-perceived characters.
  std::string doubled;
  const std::size_t count = codePointCount(text);
  if (count == 3) {
    for (std::size_t i = 0; i < text.size();) {
      std::size_t len = 1;
      while (i + len < text.size() && (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80) {
        ++len;
      }
      doubled.append(text.substr(i, len)).append(text.substr(i, len));
      i += len;
    }
    text = doubled;
  } else if (count != 6) {
    return kFallbackColor;
  }

  const std::optional<std::int64_t> value = parseHex(text);
  if (!value) return kFallbackColor;
  // The bytes come from the two's-complement form, so "-00001" is white.
  const auto bits = static_cast<std::uint64_t>(*value);
  return Color{static_cast<double>((bits >> 16) & 0xFF) / 255.0,
               static_cast<double>((bits >> 8) & 0xFF) / 255.0,
               static_cast<double>(bits & 0xFF) / 255.0, 1.0};
}

}  // namespace nimbra
