// The parts of the X11 backend that need no server: the desktop scale and the opaque shape.
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include "platform/x11/x11_hot_keys.h"
#include "platform/x11/x11_scale.h"
#include "platform/x11/x11_shape.h"

namespace nimbra {
namespace {

TEST(DesktopScale, IsXftDpiOverNinetySix) {
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\t192\n"), 2.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xcursor.size:\t24\nXft.dpi:\t144\nXft.hinting:\t1\n"), 1.5);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi: 120"), 1.25);
}

TEST(DesktopScale, IsOneWhenUnsetOrUnreadable) {
  EXPECT_DOUBLE_EQ(scaleFromResources(""), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.antialias:\t1\n"), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\tninety\n"), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\t0\n"), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\t-96\n"), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\t1e9\n"), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\tnan\n"), 1.0);
  EXPECT_DOUBLE_EQ(scaleFromResources("XXft.dpi:\t192\n"), 1.0);
}

TEST(DesktopScale, LastSettingWins) {
  EXPECT_DOUBLE_EQ(scaleFromResources("Xft.dpi:\t192\nXft.dpi:\t96\n"), 1.0);
}

constexpr std::uint32_t kOpaque = 0xFF102030;
constexpr std::uint32_t kHalf = 0x80080810;
constexpr std::uint32_t kFaint = 0x7F000000;

TEST(OpaqueShape, KeepsPixelsAtLeastHalfOpaque) {
  const std::vector<std::uint32_t> px = {0, kHalf, kOpaque, kFaint, kOpaque, 0};
  const std::vector<XRectangle> r = opaqueRectangles(px.data(), 6, 1, 6);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].x, 1);
  EXPECT_EQ(r[0].width, 2);
  EXPECT_EQ(r[1].x, 4);
  EXPECT_EQ(r[1].width, 1);
}

TEST(OpaqueShape, MergesEqualRowsAndHonoursTheStride) {
  // Three columns wide, stride four: the padding column is never read as a pixel.
  const std::vector<std::uint32_t> px = {
      0, kOpaque, 0,       kOpaque,  // row 0
      0, kOpaque, 0,       kOpaque,  // row 1, same runs
      0, kOpaque, kOpaque, 0,        // row 2
      0, 0,       0,       kOpaque,  // row 3, empty
  };
  const std::vector<XRectangle> r = opaqueRectangles(px.data(), 3, 4, 4);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].y, 0);
  EXPECT_EQ(r[0].height, 2);
  EXPECT_EQ(r[0].x, 1);
  EXPECT_EQ(r[0].width, 1);
  EXPECT_EQ(r[1].y, 2);
  EXPECT_EQ(r[1].height, 1);
  EXPECT_EQ(r[1].width, 2);
}

TEST(OpaqueShape, IsEmptyForATransparentFrame) {
  const std::vector<std::uint32_t> px(16, 0);
  EXPECT_TRUE(opaqueRectangles(px.data(), 4, 4, 4).empty());
}

}  // namespace
}  // namespace nimbra
