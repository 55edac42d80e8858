// Catches the protocol errors of a few requests, so a refused grab becomes a status instead of
// the end of the process.
#pragma once

#include <X11/Xlib.h>

namespace nimbra {

// Replaces Xlib's process-wide error handlers, which exit: protocol errors are recorded for
// the open traps and otherwise passed over (a window that vanished under us is not fatal), and
// a lost connection is left to that connection's exit handler.
void installQuietErrorHandlers();

// Begin before the requests; finish() waits for the server to have handled them (one round
// trip) and answers the first error code among them, 0 when there was none. Traps nest; each
// puts the quiet protocol-error handler above in place, which it relies on.
class X11ErrorTrap {
 public:
  explicit X11ErrorTrap(Display* display);
  ~X11ErrorTrap();
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  int finish();

 private:
  friend int trapErrors(Display* display, XErrorEvent* error);
  Display* display_;
  unsigned long firstSerial_;
  int code_ = 0;
  bool open_ = true;
  X11ErrorTrap* outer_;
};

}  // namespace nimbra
