// A Gaussian blur of an 8-bit alpha buffer, approximated by three box blurs in each direction,
// each a running sum, so the cost per pixel does not grow with the blur's width.
#pragma once

#include <array>
#include <cstdint>

namespace nimbra {

// One box covers the pixels from i - behind to i + ahead around pixel i.
struct BoxPass {
  int behind = 0;
  int ahead = 0;
};

struct BoxBlurPlan {
  std::array<BoxPass, 3> passes;
  // How far a pixel's value spreads after all three passes, in pixels.
  int reach() const;
};

// The three boxes whose succession best matches a Gaussian of standard deviation `sigma`
// pixels; a sigma under 0.5 gives no blur.
BoxBlurPlan planGaussian(double sigma);

// Blurs in place. Pixels outside the buffer count as zero.
void blurAlpha(std::uint8_t* data, int width, int height, int stride, const BoxBlurPlan& plan);

}  // namespace nimbra
