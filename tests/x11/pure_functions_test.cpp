// The parts of the X11 backend that need no server: the desktop scale and the opaque shape.
#include <gtest/gtest.h>

#include <array>

#include "platform/x11/x11_scale.h"
#include "platform/x11/x11_shape.h"

namespace nimbra {
namespace {

TEST(DesktopScale, IsTheLastXftDpiOverNinetySixOrOneWhenUnsetOrUnreadable) {
  const std::pair<const char*, double> cases[] = {
      {"Xft.dpi:\t192\n", 2.0},
      {"Xcursor.size:\t24\nXft.dpi:\t144\nXft.hinting:\t1\n", 1.5},
      {"Xft.dpi: 120", 1.25},
      {"Xft.dpi:\t192\nXft.dpi:\t96\n", 1.0},
      {"", 1.0},
      {"Xft.antialias:\t1\n", 1.0},
      {"Xft.dpi:\tninety\n", 1.0},
      {"Xft.dpi:\t0\n", 1.0},
      {"Xft.dpi:\t-96\n", 1.0},
      {"Xft.dpi:\t1e9\n", 1.0},
      {"Xft.dpi:\tnan\n", 1.0},
      {"XXft.dpi:\t192\n", 1.0},
  };
  for (const auto& [resources, scale] : cases) {
    EXPECT_DOUBLE_EQ(scaleFromResources(resources), scale) << resources;
  }
}

// Pixels at least half opaque, in runs; equal rows merged; the stride's padding never read.
TEST(OpaqueShape, KeepsHalfOpaqueRunsMergingEqualRowsWithinTheStride) {
  constexpr std::uint32_t o = 0xFF102030;
  constexpr std::uint32_t h = 0x80080810;
  constexpr std::uint32_t f = 0x7F000000;  // faint
  const std::vector<std::uint32_t> px = {
      0, o, h, o,  // row 0: the last column is padding
      0, o, h, o,  // row 1, the same runs
      h, f, o, 0,  // row 2
      0, f, 0, o,  // row 3, empty
  };
  const std::vector<XRectangle> r = opaqueRectangles(px.data(), 3, 4, 4);
  ASSERT_EQ(r.size(), 3u);
  const short expected[3][4] = {{1, 0, 2, 2}, {0, 2, 1, 1}, {2, 2, 1, 1}};  // x, y, w, h
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ((std::array<int, 4>{r[i].x, r[i].y, r[i].width, r[i].height}),
              (std::array<int, 4>{expected[i][0], expected[i][1], expected[i][2], expected[i][3]}))
        << i;
  }
  EXPECT_TRUE(opaqueRectangles(px.data() + 12, 1, 1, 4).empty());
}

}  // namespace
}  // namespace nimbra
