// The passive grab of the right button, with any modifiers, on the root window: while the
// button is held, its press, drags and release come to the helper and to no other client.
#pragma once

#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11ButtonGrab {
 public:
  explicit X11ButtonGrab(X11Connection& connection) : connection_(connection) {}
  ~X11ButtonGrab() { release(); }
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
  void grab();

  X11Connection& connection_;
  bool held_ = false;
};

}  // namespace nimbra
