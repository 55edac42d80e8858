#pragma once

namespace nimbra {

// An sRGB colour; every component from 0 to 1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  bool operator==(const Color&) const = default;
};

// The colour a segment gets when its colour field cannot be read.
inline constexpr Color kFallbackColor{0.23, 0.51, 0.96, 1.0};

}  // namespace nimbra
