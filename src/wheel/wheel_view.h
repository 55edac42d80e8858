// The overlay window's content view: it paints the wheel and, in hot-key mode, turns pointer
// input into selection changes through the controller.
#pragma once

#include <memory>

#include "config/config.h"
#include "platform/platform.h"
#include "wheel/geometry.h"

namespace nimbra {

class WheelPainter;
struct PaintInputs;

class WheelView : public ViewDelegate {
 public:
  WheelView(std::shared_ptr<const Config> cfg, std::shared_ptr<const Geometry> geo);
  ~WheelView() override;

  std::shared_ptr<const Config> cfg;
  std::shared_ptr<const Geometry> geo;
  int curSeg = -1;
  int curTool = -1;

  Rect frame;                        // in points, within the window
  double scale = 1.0;                // device pixels per point
  PlatformWindow* window = nullptr;  // the window showing this view, for redraw requests

  void setNeedsDisplay();
  // Builds the painting caches for the current configuration and scale, off the open path.
  void prepareForPainting();
  PaintInputs paintInputs() const;

  void draw(Canvas& canvas, const Rect& dirty) override;
  void mouseMoved(Point inView) override;
  void mouseDragged(Point inView) override;
  void mouseDown(Point inView) override;
  void rightMouseDown(Point inView) override;
  void otherMouseDown(Point inView) override;

 private:
  Point offsetFromCentre(Point inView) const;
  std::unique_ptr<WheelPainter> painter_;
};

}  // namespace nimbra
