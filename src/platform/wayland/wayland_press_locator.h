// The right press of the kernel-device trigger, placed on a Wayland desktop: the compositor
// tells no client where the pointer is, so each press that could open the wheel waits, held
// back with the pointer's motion behind it, until the pointer probe has found the pointer;
// the trigger logic then gets it there, and the trigger counts the mice's motion from there.
// While the wheel is open, the overlay tells where the pointer is drawn (acceleration and all),
// and the count starts again from there.
#pragma once

#include <functional>
#include <optional>

#include "platform/evdev/evdev_trigger.h"
#include "platform/platform.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_pointer_probe.h"

namespace nimbra {

class WaylandPressLocator {
 public:
  // `logic` is the trigger logic's callback; `trigger` the one whose events come to onTap (null
  // once it is gone); `wheelShown` tells whether a wheel is on screen (a press then closes it,
  // wherever the pointer is).
  WaylandPressLocator(WaylandConnection& connection, WaylandPointerProbe& probe,
                      TapCallbackFn logic, EvdevTrigger*& trigger,
                      std::function<bool()> wheelShown);

  TapVerdict onTap(const TapEvent& event);
  // The pointer as the compositor drew it, over the open wheel.
  void pointerAt(Point at);

 private:
  // The probe answered (the covers gone and the compositor done with them), or gave up.
  void located(std::optional<Point> at);

  WaylandConnection& connection_;
  WaylandPointerProbe& probe_;
  TapCallbackFn logic_;
  EvdevTrigger*& trigger_;
  std::function<bool()> wheelShown_;
  bool locating_ = false;
  bool releasedMeanwhile_ = false;
  bool passed_ = false;  // the logic let the press go: the trigger hands it back, and its release
};

}  // namespace nimbra
