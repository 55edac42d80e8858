// The part of a painted frame that shows without a compositor: the pixels at least half
// opaque, as rectangles for a window's bounding shape.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <vector>

namespace nimbra {

// `pixels` are premultiplied ARGB words (alpha in the top byte), `stride` words apart per row.
// Rows with the same runs merge into taller rectangles; the order is y, then x (YXBanded).
std::vector<XRectangle> opaqueRectangles(const std::uint32_t* pixels, int width, int height,
                                         int stride);

}  // namespace nimbra
