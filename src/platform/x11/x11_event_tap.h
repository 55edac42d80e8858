// The mouse trigger's view of the pointer. Right-button press, drags and release come from the
// passive grab on the root window; plain moves while the overlay is shown and no grab is
// active come from XInput 2 raw motion on the root, placed with XQueryPointer once per batch.
// X has no way to pass on a grabbed event, so the callback's verdict changes nothing: what the
// grab delivers is swallowed, and plain moves always reach the applications.
#pragma once

#include "platform/platform.h"
#include "platform/x11/x11_button_grab.h"
#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11EventTap final : public EventTap, private X11EventHandler {
 public:
  // The grab must be held already: it is what makes the tap.
  X11EventTap(X11Connection& connection, X11ButtonGrab& grab, TapCallbackFn callback);
  ~X11EventTap() override;
  X11EventTap(const X11EventTap&) = delete;
  X11EventTap& operator=(const X11EventTap&) = delete;

  void addToMainLoop() override;
  void enable(bool on) override;

 private:
  void handleEvent(XEvent& event) override;
  void afterEvents() override;
  void overlayShown(bool shown) override;
  void updateRawMotion();
  void deliver(TapEventType type, int x, int y);

  X11Connection& connection_;
  X11ButtonGrab& grab_;
  TapCallbackFn callback_;
  bool attached_ = false;
  bool enabled_ = true;
  bool buttonDown_ = false;  // the grab is active: moves come as motion events
  bool rawSelected_ = false;
  bool motionPending_ = false;
  static constexpr int kNoPosition = -1;  // root positions are never negative
  int lastX_ = kNoPosition;
  int lastY_ = kNoPosition;
};

}  // namespace nimbra
