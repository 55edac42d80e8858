#include "platform/x11/x11_button_grab.h"

#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_keymap.h"

namespace nimbra {

X11ButtonGrab::X11ButtonGrab(X11Connection& connection) : connection_(connection) {
  connection_.addHandler(this);
}

X11ButtonGrab::~X11ButtonGrab() {
  connection_.removeHandler(this);
  release();
}

void X11ButtonGrab::grab() {
  for (unsigned m : modifiers_) {
    XGrabButton(connection_.display(), Button3, m, connection_.root(), False,
                ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                GrabModeAsync, None, None);
  }
}

void X11ButtonGrab::ungrab() {
  for (unsigned m : modifiers_)
    XUngrabButton(connection_.display(), Button3, m, connection_.root());
}

int X11ButtonGrab::acquire() {
  if (held_) return 0;
  if (!connection_.alive()) return BadImplementation;
  modifiers_ = lockVariants(0, X11Keymap(connection_.display()).modifierBits().numLock);
  X11ErrorTrap trap(connection_.display());
  grab();
  const int code = trap.finish();
  if (code == 0 && connection_.alive()) {
    held_ = true;
    return 0;
  }
  if (connection_.alive()) ungrab();  // none of it stays when a part was refused
  return code ? code : BadImplementation;
}

void X11ButtonGrab::release() {
  if (!held_) return;
  held_ = false;
  if (!connection_.alive()) return;
  ungrab();
  XFlush(connection_.display());
}

void X11ButtonGrab::suspend() {
  if (held_ && connection_.alive()) ungrab();
}

void X11ButtonGrab::resume() {
  if (held_ && connection_.alive()) grab();
}

void X11ButtonGrab::keyboardChanged() {
  // NumLock may have moved to another modifier bit.
  if (!held_ || !connection_.alive()) return;
  const std::vector<unsigned> now =
      lockVariants(0, X11Keymap(connection_.display()).modifierBits().numLock);
  if (now == modifiers_) return;
  release();
  acquire();
}

}  // namespace nimbra
