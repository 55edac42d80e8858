// Paints the wheel: ring under its shadow, hub, centre label, and the selected segment's tool
// arc or anchor grid. The shadow masks are built once per configuration and scale.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace nimbra {

class Config;
class Geometry;

struct PaintInputs {
  std::shared_ptr<const Config> cfg;
  std::shared_ptr<const Geometry> geo;  // over the same configuration
  int curSeg = -1;
  int curTool = -1;
  Size bounds;         // the view's size, in points
  double scale = 1.0;  // device pixels per point
};

class WheelPainter {
 public:
  WheelPainter();
  ~WheelPainter();
  WheelPainter(const WheelPainter&) = delete;
  WheelPainter& operator=(const WheelPainter&) = delete;

  // Builds whatever paint() would otherwise build on first use, and waits for the font work
  // Pango goes on with in its own threads; cheap when already current.
  void prepare(const PaintInputs& in);
  void paint(Canvas& canvas, const PaintInputs& in, const Rect& dirty);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace nimbra
