// What a Canvas holds: the Cairo context to paint on and the device pixels per point.
// Only painting code and the desktop backends include this.
#pragma once

#include <cairo.h>

namespace nimbra {

struct Canvas {
  cairo_t* cr = nullptr;
  double scale = 1.0;  // device pixels per point; the context is not pre-scaled
};

}  // namespace nimbra
