// The wheel's paint passes, on a context whose user space is pixel space. The caller has
// cleared and clipped what it repaints.
#pragma once

#include <cairo.h>

#include "wheel/paint/ring_scene.h"

namespace nimbra {

// The ring, each fill, separator and label over its own shadow in turn, then the hub and the
// centre label. `selected` is the highlighted segment, or -1.
void paintRingAndHub(cairo_t* cr, RingScene& scene, int selected);

// The selected segment's anchor grid or tool arc; nothing when `curSeg` names no segment with
// tools.
void paintTools(cairo_t* cr, RingScene& scene, int curSeg, int curTool);

}  // namespace nimbra
