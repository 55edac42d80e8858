// Posting mouse input with XTest, and the pass-through click of the mouse trigger.
//
// The click goes out from the helper's own connection as: right-button grab away, move to the
// press point, press, release, grab back. The server handles XTest input inside the request,
// so the click reaches the client under the pointer exactly once and never comes back to the
// helper; that is how this backend tells its own clicks apart. The whole sequence runs with
// the server grabbed, so no other client's input can land between its steps. A click whose
// button is down again by the time it would go out (pressed anew within a moment of the
// release) is dropped: sent later, it would land after what the new press started.
#pragma once

#include <optional>

#include "platform/platform.h"
#include "platform/x11/x11_button_grab.h"
#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11ClickInjector {
 public:
  X11ClickInjector(X11Connection& connection, X11ButtonGrab& grab)
      : connection_(connection), grab_(grab) {}

  // A press waits for its release, and the pair goes out as one click; moves go at once.
  // Locations are global top-left points.
  void post(const MouseEvent& event);

 private:
  struct Click {
    unsigned button;
    int x;
    int y;
  };
  void send(const Click& click);

  X11Connection& connection_;
  X11ButtonGrab& grab_;
  std::optional<Click> pendingPress_;
};

// The platform's event source: a handle on the injector; the events are plain values.
class X11ClickSource final : public EventSource {
 public:
  explicit X11ClickSource(X11ClickInjector& injector) : injector_(injector) {}
  std::optional<MouseEvent> createMouseEvent(TapEventType type, Point location) override {
    return MouseEvent{type, location, 0};
  }
  void post(const MouseEvent& event) override { injector_.post(event); }

 private:
  X11ClickInjector& injector_;
};

}  // namespace nimbra
