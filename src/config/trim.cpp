#include "config/trim.h"

namespace nimbra {

namespace {

// Length of the blank code point that `text` starts with, or 0.
std::size_t leadingBlank(std::string_view text) {
  if (text.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(text[0]);
  if (b0 == 0x09 || b0 == 0x20) return 1;
  if (text.size() < 2) return 0;
  const auto b1 = static_cast<unsigned char>(text[1]);
  if (b0 == 0xC2) return b1 == 0xA0 ? 2 : 0;  // U+00A0
  if (text.size() < 3) return 0;
  const auto b2 = static_cast<unsigned char>(text[2]);
  if (b0 == 0xE1) return b1 == 0x9A && b2 == 0x80 ? 3 : 0;  // U+1680
  if (b0 == 0xE3) return b1 == 0x80 && b2 == 0x80 ? 3 : 0;  // U+3000
  if (b0 != 0xE2) return 0;
  if (b1 == 0x80 && ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xAF)) return 3;  // U+2000..200A, U+202F
  if (b1 == 0x81 && b2 == 0x9F) return 3;                                  // U+205F
  return 0;
}

// Length of the blank code point that `text` ends with, or 0. UTF-8 synchronises on lead bytes,
// so a whole sequence matched at the end is a whole code point of well-formed text.
std::size_t trailingBlank(std::string_view text) {
  for (std::size_t len = 1; len <= 3 && len <= text.size(); ++len) {
    if (leadingBlank(text.substr(text.size() - len)) == len) return len;
  }
  return 0;
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  while (std::size_t len = leadingBlank(text)) text.remove_prefix(len);
  while (std::size_t len = trailingBlank(text)) text.remove_suffix(len);
  return text;
}

}  // namespace nimbra
