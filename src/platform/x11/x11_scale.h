// The desktop's scale, as X11 desktops publish it: the Xft.dpi resource over 96.
#pragma once

#include <string_view>

namespace nimbra {

// Device pixels per point from the resource-manager text ("name:\tvalue" lines); 1 when
// Xft.dpi is missing or unreadable, or outside 48..960 dpi.
double scaleFromResources(std::string_view resources);

}  // namespace nimbra
