// Colour fields on arbitrary bytes: every colour is opaque sRGB with components in [0, 1],
// each a whole byte over 255, and blanks around the field never change it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/config.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool isComponent(double v) {
  if (!(v >= 0.0 && v <= 1.0)) return false;
  const double byte = std::round(v * 255.0);
  return byte / 255.0 == v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nimbra::Config;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const nimbra::Color c = Config::parseColor(text);
  check(c.alpha == 1.0);
  if (c != nimbra::kFallbackColor) {
    check(isComponent(c.red) && isComponent(c.green) && isComponent(c.blue));
  }
  // A tab and a no-break space on either side are trimmed away.
  const std::string padded = "\t\xC2\xA0" + std::string(text) + " \t";
  check(Config::parseColor(padded) == c);
  return 0;
}
