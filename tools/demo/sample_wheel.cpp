#include "sample_wheel.h"

#include <stdlib.h>

#include <cmath>
#include <fstream>
#include <memory>

#include "config/config.h"
#include "wheel/geometry.h"

namespace nimbra::demo {

const char* const kSampleWheel =
    "; a sample wheel for the demo\n"
    "HOLD|400\n"
    "SIZE|150\n"
    "SEG|Draw|#e0533d\n"
    "TOOL|Pen|tool:pen\n"
    "TOOL|Brush|tool:brush\n"
    "TOOL|Eraser|tool:eraser\n"
    "SEG|Align|#3d8fe0\n"
    "TOOL|Top left|anchor:0,0\n"
    "TOOL|Top|anchor:0.5,0\n"
    "TOOL|Top right|anchor:1,0\n"
    "TOOL|Left|anchor:0,0.5\n"
    "TOOL|Centre|anchor:0.5,0.5\n"
    "TOOL|Right|anchor:1,0.5\n"
    "TOOL|Bottom left|anchor:0,1\n"
    "TOOL|Bottom|anchor:0.5,1\n"
    "TOOL|Bottom right|anchor:1,1\n"
    "SEG|Shapes|#4caf50\n"
    "TOOL|Line|tool:line\n"
    "TOOL|Rectangle|tool:rect\n"
    "TOOL|Ellipse|tool:ellipse\n"
    "SEG|Edit|#f2b134\n"
    "TOOL|Undo|edit:undo\n"
    "TOOL|Redo|edit:redo\n"
    "SEG|Text|#9c6ade\n"
    "TOOL|Text|tool:text\n";

std::string createWorkDir() {
  char path[] = "/tmp/nimbra-demo-XXXXXX";
  if (!mkdtemp(path)) return {};
  std::ofstream(std::string(path) + "/wheel.cfg") << kSampleWheel;
  return path;
}

namespace {

Point polar(Point c, double degrees, double distance) {
  const double a = degrees * kPi / 180.0;
  return Point{c.x + distance * std::cos(a), c.y + distance * std::sin(a)};
}

}  // namespace

Aim aimAtTool(Point centre, int segment, int tool) {
  auto cfg = std::make_shared<const Config>(Config::parse(kSampleWheel));
  const Geometry geo(cfg);
  const double r = cfg->radius;
  const double mid = segmentMidAngle(segment, cfg->segs.size());
  Aim aim{polar(centre, mid, 0.65 * r),
          polar(centre, geo.arcStart(segment) + 36 * (tool + 0.5), 1.3 * r)};
  if (const std::optional<AnchorGrid> grid = geo.segAnchor(segment)) {
    const Point c = polar(centre, mid, 1.53 * r);
    const double cell = 0.88 * r / 3;
    for (int i = 0; i < 9; ++i) {
      if ((*grid)[i] == tool) aim.tool = Point{c.x + (i % 3 - 1) * cell, c.y + (i / 3 - 1) * cell};
    }
  }
  return aim;
}

}  // namespace nimbra::demo
