#include "platform/x11/x11_button_grab.h"

#include "platform/x11/x11_error_trap.h"

namespace nimbra {

void X11ButtonGrab::grab() {
  XGrabButton(connection_.display(), Button3, AnyModifier, connection_.root(), False,
              ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync, GrabModeAsync,
              None, None);
}

int X11ButtonGrab::acquire() {
  if (held_) return 0;
  if (!connection_.alive()) return BadImplementation;
  X11ErrorTrap trap(connection_.display());
  grab();
  const int code = trap.finish();
  if (code == 0 && connection_.alive()) held_ = true;
  return held_ ? 0 : (code ? code : BadImplementation);
}

void X11ButtonGrab::release() {
  if (!held_) return;
  held_ = false;
  if (!connection_.alive()) return;
  XUngrabButton(connection_.display(), Button3, AnyModifier, connection_.root());
  XFlush(connection_.display());
}

void X11ButtonGrab::suspend() {
  if (held_ && connection_.alive()) {
    XUngrabButton(connection_.display(), Button3, AnyModifier, connection_.root());
  }
}

void X11ButtonGrab::resume() {
  if (held_ && connection_.alive()) grab();
}

}  // namespace nimbra
