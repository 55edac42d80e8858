// Whether a compositing manager runs on the screen (an owner of _NET_WM_CM_S<screen>),
// followed while it comes and goes.
#pragma once

#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11CompositorWatch : private X11EventHandler {
 public:
  explicit X11CompositorWatch(X11Connection& connection);
  ~X11CompositorWatch() override;
  X11CompositorWatch(const X11CompositorWatch&) = delete;
  X11CompositorWatch& operator=(const X11CompositorWatch&) = delete;

  bool active() const { return active_; }

 private:
  void handleEvent(XEvent& event) override;

  X11Connection& connection_;
  Atom selection_ = None;
  bool active_ = false;
};

}  // namespace nimbra
