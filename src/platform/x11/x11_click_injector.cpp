#include "platform/x11/x11_click_injector.h"

#include <X11/extensions/XTest.h>

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
    case TapEventType::kRightMouseUp: {
      // A release without its press has nothing to let go of.
      if (!pendingPress_ || pendingPress_->button != buttonOf(event.type)) return;
      const Click click = *pendingPress_;
      pendingPress_.reset();
      send(click);
      return;
    }
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

void X11ClickInjector::send(const Click& c) {
  Display* d = connection_.display();
  XGrabServer(d);
  const unsigned mask = connection_.queryPointer().value_or(PointerState{}).mask;
  // The button down again means a new press came in first: that press is the user's now.
  if (!(mask & (Button1Mask << (c.button - 1))) && connection_.alive()) {
    if (c.button == Button3) grab_.suspend();
    XTestFakeMotionEvent(d, connection_.screen(), c.x, c.y, CurrentTime);
    XTestFakeButtonEvent(d, c.button, True, CurrentTime);
    XTestFakeButtonEvent(d, c.button, False, CurrentTime);
    if (c.button == Button3) grab_.resume();
  }
  XUngrabServer(d);
  XFlush(d);
}

}  // namespace nimbra
