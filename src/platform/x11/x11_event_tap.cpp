#include "platform/x11/x11_event_tap.h"

#include <X11/extensions/XInput2.h>

#include <utility>

namespace nimbra {

X11EventTap::X11EventTap(X11Connection& connection, X11ButtonGrab& grab, TapCallbackFn callback)
    : connection_(connection), grab_(grab), callback_(std::move(callback)) {
  connection_.addHandler(this);
}

X11EventTap::~X11EventTap() {
  connection_.removeHandler(this);
  enabled_ = false;
  updateRawMotion();
  grab_.release();
}

void X11EventTap::addToMainLoop() {
  attached_ = true;
  updateRawMotion();
}

void X11EventTap::enable(bool on) {
  enabled_ = on;
  if (on) {
    grab_.acquire();
  } else {
    grab_.release();
    buttonDown_ = false;
  }
  updateRawMotion();
}

void X11EventTap::overlayShown(bool) {
  // A move is compared with the last one of the same opening only: the pointer may come back
  // to where an earlier opening left it, and that move must still be tracked.
  lastX_ = kNoPosition;
  lastY_ = kNoPosition;
  updateRawMotion();
}

void X11EventTap::updateRawMotion() {
  // Raw motion costs a wake-up per pointer move: asked for only while someone listens.
  const bool want =
      attached_ && enabled_ && connection_.overlayShown() && connection_.extensions().xinput2;
  if (want == rawSelected_ || !connection_.alive()) return;
  rawSelected_ = want;
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  if (want) XISetMask(bits, XI_RawMotion);
  XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof(bits)), bits};
  XISelectEvents(connection_.display(), connection_.root(), &mask, 1);
  XFlush(connection_.display());
  motionPending_ = false;
}

void X11EventTap::handleEvent(XEvent& event) {
  const Window root = connection_.root();
  switch (event.type) {
    case ButtonPress:
      if (event.xbutton.window != root || event.xbutton.button != Button3) return;
      buttonDown_ = true;
      deliver(TapEventType::kRightMouseDown, event.xbutton.x_root, event.xbutton.y_root);
      return;
    case ButtonRelease:
      if (event.xbutton.window != root || event.xbutton.button != Button3) return;
      buttonDown_ = false;
      deliver(TapEventType::kRightMouseUp, event.xbutton.x_root, event.xbutton.y_root);
      return;
    case MotionNotify:
      if (event.xmotion.window != root) return;
      deliver((event.xmotion.state & Button3Mask) ? TapEventType::kRightMouseDragged
                                                  : TapEventType::kMouseMoved,
              event.xmotion.x_root, event.xmotion.y_root);
      return;
    case GenericEvent:
      if (rawSelected_ && !buttonDown_ &&
          event.xcookie.extension == connection_.extensions().xiOpcode &&
          event.xcookie.evtype == XI_RawMotion) {
        motionPending_ = true;
      }
      return;
    default:
      return;
  }
}

void X11EventTap::afterEvents() {
  if (!motionPending_) return;
  motionPending_ = false;
  if (buttonDown_ || !rawSelected_ || !connection_.alive()) return;
  const std::optional<PointerState> p = connection_.queryPointer();
  if (!p) return;
  if (p->x == lastX_ && p->y == lastY_) return;
  deliver(TapEventType::kMouseMoved, p->x, p->y);
}

void X11EventTap::deliver(TapEventType type, int x, int y) {
  lastX_ = x;
  lastY_ = y;
  if (!attached_ || !enabled_) return;
  callback_(TapEvent{type, Point{connection_.toPoints(x), connection_.toPoints(y)}, 0});
}

}  // namespace nimbra
