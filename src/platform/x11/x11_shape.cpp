#include "platform/x11/x11_shape.h"

#include <utility>

namespace nimbra {
namespace {

// At least half opaque: the alpha byte's top bit.
constexpr std::uint32_t kHalfOpaque = 0x80u << 24;

// Eight pixels at a time, most of a row being wholly clear or wholly opaque.
bool anyOpaque8(const std::uint32_t* p) {
  return ((p[0] | p[1] | p[2] | p[3] | p[4] | p[5] | p[6] | p[7]) & kHalfOpaque) != 0;
}
bool allOpaque8(const std::uint32_t* p) {
  return ((p[0] & p[1] & p[2] & p[3] & p[4] & p[5] & p[6] & p[7]) & kHalfOpaque) != 0;
}

}  // namespace

std::vector<XRectangle> opaqueRectangles(const std::uint32_t* pixels, int width, int height,
                                         int stride) {
  std::vector<XRectangle> out;
  std::vector<std::pair<int, int>> runs;
  std::vector<std::pair<int, int>> previous;
  std::size_t band = 0;  // first rectangle of the previous row's band
  for (int y = 0; y < height; ++y) {
    const std::uint32_t* row = pixels + static_cast<std::size_t>(y) * stride;
    runs.clear();
    for (int x = 0; x < width;) {
      while (x + 8 <= width && !anyOpaque8(row + x)) x += 8;
      while (x < width && row[x] < kHalfOpaque) ++x;
      if (x == width) break;
      const int start = x;
      while (x + 8 <= width && allOpaque8(row + x)) x += 8;
      while (x < width && row[x] >= kHalfOpaque) ++x;
      runs.emplace_back(start, x - start);
    }
    if (!runs.empty() && runs == previous) {
      for (std::size_t i = band; i < out.size(); ++i) ++out[i].height;
      continue;
    }
    band = out.size();
    for (const auto& [x, w] : runs) {
      out.push_back(XRectangle{static_cast<short>(x), static_cast<short>(y),
                               static_cast<unsigned short>(w), 1});
    }
    std::swap(previous, runs);
  }
  return out;
}

}  // namespace nimbra
