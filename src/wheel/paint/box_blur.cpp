#include "wheel/paint/box_blur.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace nimbra {
namespace {

// 16.16 fixed-point reciprocal of the box's size, for a multiply in place of a division.
struct Divider {
  std::uint64_t factor;
  explicit Divider(int size) : factor(((std::uint64_t{1} << 32) + size / 2) / size) {}
  std::uint8_t operator()(std::uint32_t sum) const {
    std::uint64_t v = (sum * factor + (std::uint64_t{1} << 31)) >> 32;
    return static_cast<std::uint8_t>(std::min<std::uint64_t>(v, 255));
  }
};

void blurRow(const std::uint8_t* in, std::uint8_t* out, int n, BoxPass pass) {
  Divider divide(pass.behind + pass.ahead + 1);
  std::uint32_t sum = 0;
  for (int i = 0; i <= pass.ahead && i < n; ++i) sum += in[i];
  for (int i = 0; i < n; ++i) {
    out[i] = divide(sum);
    int enter = i + pass.ahead + 1;
    int leave = i - pass.behind;
    if (enter < n) sum += in[enter];
    if (leave >= 0) sum -= in[leave];
  }
}

// Runs down all columns at once, a row at a time, so memory is read in order.
void blurColumns(const std::uint8_t* in, std::uint8_t* out, int width, int height, int stride,
                 BoxPass pass, std::vector<std::uint32_t>& sums) {
  Divider divide(pass.behind + pass.ahead + 1);
  std::fill(sums.begin(), sums.end(), 0);
  for (int y = 0; y <= pass.ahead && y < height; ++y) {
    const std::uint8_t* row = in + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < width; ++x) sums[x] += row[x];
  }
  for (int y = 0; y < height; ++y) {
    std::uint8_t* dst = out + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < width; ++x) dst[x] = divide(sums[x]);
    int enter = y + pass.ahead + 1;
    int leave = y - pass.behind;
    if (enter < height) {
      const std::uint8_t* row = in + static_cast<std::size_t>(enter) * stride;
      for (int x = 0; x < width; ++x) sums[x] += row[x];
    }
    if (leave >= 0) {
      const std::uint8_t* row = in + static_cast<std::size_t>(leave) * stride;
      for (int x = 0; x < width; ++x) sums[x] -= row[x];
    }
  }
}

}  // namespace

int BoxBlurPlan::reach() const {
  int behind = 0;
  int ahead = 0;
  for (const BoxPass& p : passes) {
    behind += p.behind;
    ahead += p.ahead;
  }
  return std::max(behind, ahead);
}

BoxBlurPlan planGaussian(double sigma) {
  BoxBlurPlan plan;
  if (!(sigma >= 0.5) || !std::isfinite(sigma)) return plan;
  // Three centred boxes of two neighbouring odd sizes, as many of each as bring the summed
  // variance nearest to sigma squared.
  const double variance = std::min(sigma * sigma, 1e10);
  int lower = static_cast<int>(std::floor(std::sqrt(4 * variance + 1)));
  if (lower % 2 == 0) --lower;
  const double l = lower;
  const double wide = (12 * variance - 3 * l * l - 12 * l - 9) / (-4 * l - 4);
  const int narrowCount = std::clamp(static_cast<int>(std::lround(wide)), 0, 3);
  for (int i = 0; i < 3; ++i) {
    const int half = (i < narrowCount ? lower : lower + 2) / 2;
    plan.passes[i] = {half, half};
  }
  return plan;
}

void blurAlpha(std::uint8_t* data, int width, int height, int stride, const BoxBlurPlan& plan) {
  if (width <= 0 || height <= 0 || plan.reach() == 0) return;
  std::vector<std::uint8_t> a(width);
  std::vector<std::uint8_t> b(width);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = data + static_cast<std::size_t>(y) * stride;
    blurRow(row, a.data(), width, plan.passes[0]);
    blurRow(a.data(), b.data(), width, plan.passes[1]);
    blurRow(b.data(), row, width, plan.passes[2]);
  }
  std::vector<std::uint8_t> spare(static_cast<std::size_t>(height) * stride);
  std::vector<std::uint32_t> sums(width);
  blurColumns(data, spare.data(), width, height, stride, plan.passes[0], sums);
  blurColumns(spare.data(), data, width, height, stride, plan.passes[1], sums);
  blurColumns(data, spare.data(), width, height, stride, plan.passes[2], sums);
  for (int y = 0; y < height; ++y) {
    std::memcpy(data + static_cast<std::size_t>(y) * stride,
                spare.data() + static_cast<std::size_t>(y) * stride, width);
  }
}

}  // namespace nimbra
