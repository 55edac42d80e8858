// Posting mouse input with XTest, and the pass-through click of the mouse trigger.
//
// The click goes out from the helper's own connection as: right-button grab away, move to the
// press point, press, release, grab back. The server handles XTest input inside the request,
// so the click reaches the client under the pointer exactly once and never comes back to the
// helper; that is how this backend tells its own clicks apart. Nothing is grabbed meanwhile:
// the server never waits for the helper.
//
// A click can only go out while the button is up: pressed again before its click went out (a
// quick double click), the button must come up first, and then the clicks go out in order,
// each at its own press point. Clicks still waiting when the wheel opens are dropped: sent
// later, they would land while it shows or after its pick.
#pragma once

#include <deque>
#include <optional>

#include "platform/platform.h"
#include "platform/x11/x11_button_grab.h"
#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11ClickInjector : private X11EventHandler {
 public:
  X11ClickInjector(X11Connection& connection, X11ButtonGrab& grab);
  ~X11ClickInjector() override;
  X11ClickInjector(const X11ClickInjector&) = delete;
  X11ClickInjector& operator=(const X11ClickInjector&) = delete;

  // A press waits for its release, and the pair goes out as one click; moves go at once.
  // Locations are global top-left points.
  void post(const MouseEvent& event);

 private:
  struct Click {
    unsigned button;
    int x;
    int y;
  };
  // Sends the waiting clicks, in order, if their buttons are all up.
  void flush();
  void handleEvent(XEvent& event) override;
  void afterEvents() override;
  void overlayShown(bool shown) override;

  X11Connection& connection_;
  X11ButtonGrab& grab_;
  std::optional<Click> pendingPress_;
  std::deque<Click> waiting_;
  bool released_ = false;  // a button came up in this batch of events
};

}  // namespace nimbra
