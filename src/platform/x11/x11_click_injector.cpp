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

X11ClickInjector::X11ClickInjector(X11Connection& connection, X11ButtonGrab& grab)
    : connection_(connection), grab_(grab) {
  connection_.addHandler(this);
}

X11ClickInjector::~X11ClickInjector() {
  connection_.removeHandler(this);
}

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
      waiting_.push_back(*pendingPress_);
      pendingPress_.reset();
      flush();
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

void X11ClickInjector::flush() {
  if (waiting_.empty() || !connection_.alive()) return;
  // A button down means a press came in since: the click waits for it to come up, as the
  // server would take no press of a button that is down already.
  const unsigned mask = connection_.queryPointer().value_or(PointerState{}).mask;
  for (const Click& c : waiting_) {
    if (mask & (Button1Mask << (c.button - 1))) return;
  }
  if (!connection_.alive()) return;
  Display* d = connection_.display();
  grab_.suspend();
  for (const Click& c : waiting_) {
    XTestFakeMotionEvent(d, connection_.screen(), c.x, c.y, CurrentTime);
    XTestFakeButtonEvent(d, c.button, True, CurrentTime);
    XTestFakeButtonEvent(d, c.button, False, CurrentTime);
  }
  grab_.resume();
  XFlush(d);
  waiting_.clear();
}

void X11ClickInjector::handleEvent(XEvent& event) {
  released_ |= event.type == ButtonRelease && event.xbutton.window == connection_.root();
}

void X11ClickInjector::afterEvents() {
  if (!released_) return;
  released_ = false;
  flush();
}

void X11ClickInjector::overlayShown(bool shown) {
  if (shown) waiting_.clear();
}

}  // namespace nimbra
