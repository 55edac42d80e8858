// The wheel the demo shows: tool arcs, one anchor grid, and where to point to pick from them.
#pragma once

#include <string>

#include "platform/platform.h"

namespace nimbra::demo {

extern const char* const kSampleWheel;

// A fresh work directory under /tmp holding the sample wheel.cfg; empty on failure.
std::string createWorkDir();

// Where on the screen (top-left pixels) to point for a tool of the sample wheel opened at
// `centre`: first `ring`, inside the segment, then `tool`.
struct Aim {
  Point ring;
  Point tool;
};
Aim aimAtTool(Point centre, int segment, int tool);

}  // namespace nimbra::demo
