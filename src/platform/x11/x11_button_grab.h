// The passive grab of the right button on the root window: while the button is held, its
// press, drags and release come to the helper and to no other client. Only a press without
// modifiers is taken (CapsLock and NumLock aside): Alt, Super, Ctrl or Shift with the right
// button belong to the window manager and the applications.
#pragma once

#include <vector>

#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11ButtonGrab : private X11EventHandler {
 public:
  explicit X11ButtonGrab(X11Connection& connection);
  ~X11ButtonGrab() override;
  X11ButtonGrab(const X11ButtonGrab&) = delete;
  X11ButtonGrab& operator=(const X11ButtonGrab&) = delete;

  // Takes the grab; answers 0, or the X error code when refused (BadAccess while another
  // client holds it).
  int acquire();
  void release();
  bool held() const { return held_; }

  // Lets the button through for a moment and takes it back; only while the server is grabbed,
  // where no other client can take it in between.
  void suspend();
  void resume();

 private:
  void handleEvent(XEvent&) override {}
  void keyboardChanged() override;
  void grab();
  void ungrab();

  X11Connection& connection_;
  bool held_ = false;
  std::vector<unsigned> modifiers_;  // the combinations grabbed
};

}  // namespace nimbra
