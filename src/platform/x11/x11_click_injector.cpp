#include "platform/x11/x11_click_injector.h"

#include <X11/extensions/XTest.h>

#include <algorithm>

namespace nimbra {
namespace {

unsigned buttonOf(TapEventType type) {
  switch (type) {
    case TapEventType::kLeftMouseDown:
    case TapEventType::kLeftMouseUp:
      return Button1;
    case TapEventType::kRightMouseDown:
    case TapEventType::kRightMouseUp:
      return Button3;
    default:
      return 0;
  }
}

}  // namespace

void X11ClickInjector::post(const MouseEvent& event) {
  if (!connection_.alive() || !connection_.extensions().xtest) return;
  Display* d = connection_.display();
  const int x = connection_.toPixels(event.location.x);
  const int y = connection_.toPixels(event.location.y);
  switch (event.type) {
    case TapEventType::kLeftMouseDown:
    case TapEventType::kRightMouseDown:
      pendingPress_ = Click{buttonOf(event.type), x, y};
      return;
    case TapEventType::kLeftMouseUp:
    case TapEventType::kRightMouseUp:
      // A release without its press has nothing to let go of.
      if (!pendingPress_ || pendingPress_->button != buttonOf(event.type)) return;
      queue_.push_back(*pendingPress_);
      pendingPress_.reset();
      flushQueued();
      return;
    case TapEventType::kMouseMoved:
    case TapEventType::kLeftMouseDragged:
    case TapEventType::kRightMouseDragged:
      XTestFakeMotionEvent(d, connection_.screen(), x, y, CurrentTime);
      XFlush(d);
      return;
    default:
      return;
  }
}

void X11ClickInjector::flushQueued() {
  if (queue_.empty() || !connection_.alive()) return;
  Display* d = connection_.display();
  XGrabServer(d);
  const unsigned mask = connection_.queryPointer().value_or(PointerState{}).mask;
  // A button already down (pressed again before this click went out) would swallow the
  // press and take the release from the user: wait for its release instead.
  const bool busy = std::any_of(queue_.begin(), queue_.end(), [mask](const Click& c) {
    return (mask & (Button1Mask << (c.button - 1))) != 0;
  });
  if (!busy && connection_.alive()) {
    const bool right = std::any_of(queue_.begin(), queue_.end(),
                                   [](const Click& c) { return c.button == Button3; });
    if (right) grab_.suspend();
    for (const Click& c : queue_) {
      XTestFakeMotionEvent(d, connection_.screen(), c.x, c.y, CurrentTime);
      XTestFakeButtonEvent(d, c.button, True, CurrentTime);
      XTestFakeButtonEvent(d, c.button, False, CurrentTime);
    }
    if (right) grab_.resume();
    queue_.clear();
  }
  XUngrabServer(d);
  XFlush(d);
}

}  // namespace nimbra
