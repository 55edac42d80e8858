// Image surfaces for the large pictures the helper keeps for its whole run (the window's frame
// buffers, the painter's pictures of the ring), in 2 MB pages where the system offers them.
//
// An idle process pays, at every wake-up, in proportion to the 4 KB pages it has mapped (on a
// virtual machine measured at about 12 µs per megabyte and second): a 776×776 picture is 590
// such pages, but one 2 MB page and 90 small ones when the memory is aligned and marked for
// transparent huge pages.
#pragma once

#include <cairo.h>

namespace nimbra {

// A new surface, cleared; its memory goes with the surface. Where the aligned memory cannot be
// had, an ordinary image surface; check cairo_surface_status as for any.
cairo_surface_t* createLargeImageSurface(cairo_format_t format, int width, int height);

}  // namespace nimbra
