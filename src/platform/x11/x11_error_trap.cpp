#include "platform/x11/x11_error_trap.h"

namespace nimbra {
namespace {

X11ErrorTrap* gInnermost = nullptr;

}  // namespace

int trapErrors(Display* display, XErrorEvent* error) {
  for (X11ErrorTrap* trap = gInnermost; trap; trap = trap->outer_) {
    if (trap->display_ == display && error->serial >= trap->firstSerial_) {
      if (trap->code_ == 0) trap->code_ = error->error_code;
      return 0;
    }
  }
  return 0;
}

namespace {

// Returns instead of exiting: each connection's exit handler then decides what a lost server
// means (for the backend's own connection, carrying on without it).
int connectionLost(Display*) {
  return 0;
}

}  // namespace

void installQuietErrorHandlers() {
  XSetErrorHandler(&trapErrors);
  XSetIOErrorHandler(&connectionLost);
}

X11ErrorTrap::X11ErrorTrap(Display* display)
    : display_(display), firstSerial_(NextRequest(display)), outer_(gInnermost) {
  // A trap only works with this handler in place.
  XSetErrorHandler(&trapErrors);
  gInnermost = this;
}

X11ErrorTrap::~X11ErrorTrap() {
  finish();
}

int X11ErrorTrap::finish() {
  if (!open_) return code_;
  XSync(display_, False);
  open_ = false;
  // Traps close in the reverse order of opening; unlink wherever this one sits all the same.
  for (X11ErrorTrap** link = &gInnermost; *link; link = &(*link)->outer_) {
    if (*link == this) {
      *link = outer_;
      break;
    }
  }
  return code_;
}

}  // namespace nimbra
