// Image surfaces for the pictures the helper keeps for its whole run (the window's frame
// buffers, the painter's pictures of the ring): mapped on their own, their pages taken at once,
// and in 2 MB pages where the system offers them.
//
// A fresh page costs a fault on first touch (tens of microseconds each on a virtual machine):
// taken in one call when the picture is made, they stay off the paths that open the wheel.
// And an idle process pays, at every wake-up, in proportion to the 4 KB pages it has mapped
// (measured at about 12 µs per megabyte and second): a 776×776 picture is 590 such pages, but
// one 2 MB page and 90 small ones when aligned and marked for transparent huge pages.
#pragma once

#include <cairo.h>

#include <cstddef>

namespace nimbra {

// A new surface, cleared; its memory goes with the surface. Where no memory can be mapped, an
// ordinary image surface; check cairo_surface_status as for any.
cairo_surface_t* createLargeImageSurface(cairo_format_t format, int width, int height);

// Takes every page of `bytes` at `address` (page-aligned, zero or not) now, in one call where
// the system can; false when it could not, and the pages come with their first touch.
bool takePages(void* address, std::size_t bytes);

}  // namespace nimbra
