#include "wheel/wheel_view.h"

#include "app/process_state.h"
#include "wheel/paint/wheel_painter.h"
#include "wheel/wheel.h"

namespace nimbra {
namespace {

// The view's handlers act only while the wheel is open in hot-key mode.
Wheel* hotWheel() {
  Wheel* wheel = process().wheel.get();
  return wheel && wheel->hotMode && wheel->shown ? wheel : nullptr;
}

}  // namespace

WheelView::WheelView(std::shared_ptr<const Config> config, std::shared_ptr<const Geometry> geometry)
    : cfg(std::move(config)),
      geo(std::move(geometry)),
      painter_(std::make_unique<WheelPainter>()) {}

WheelView::~WheelView() = default;

void WheelView::setNeedsDisplay() {
  if (window) window->setNeedsDisplay();
}

PaintInputs WheelView::paintInputs() const {
  return PaintInputs{cfg, geo, curSeg, curTool, frame.size, scale};
}

void WheelView::prepareForPainting() {
  if (window && !window->drawsContent()) return;
  // The wheel's size is known before it opens: 4R + 16 points square.
  PaintInputs in = paintInputs();
  const double side = 4 * cfg->radius + 16;
  in.bounds = Size{side, side};
  painter_->prepare(in);
}

void WheelView::draw(Canvas& canvas, const Rect& dirty) {
  painter_->paint(canvas, paintInputs(), dirty);
}

Point WheelView::offsetFromCentre(Point inView) const {
  return Point{inView.x - frame.size.width * 0.5, inView.y - frame.size.height * 0.5};
}

void WheelView::mouseMoved(Point inView) {
  Wheel* wheel = hotWheel();
  if (!wheel) return;
  const int seg = curSeg;
  const int tool = curTool;
  const Point offset = offsetFromCentre(inView);
  wheel->trackDelta(offset.x, offset.y);
  if (seg != curSeg || tool != curTool) setNeedsDisplay();
}

void WheelView::mouseDragged(Point inView) {
  mouseMoved(inView);
}

void WheelView::mouseDown(Point inView) {
  Wheel* wheel = hotWheel();
  if (!wheel) return;
  const Point offset = offsetFromCentre(inView);
  wheel->trackDelta(offset.x, offset.y);
  wheel->hide(true);
}

void WheelView::rightMouseDown(Point inView) {
  otherMouseDown(inView);
}

void WheelView::otherMouseDown(Point) {
  if (Wheel* wheel = hotWheel()) wheel->hide(false);
}

}  // namespace nimbra
