#include "platform/x11/x11_compositor.h"

#include <X11/extensions/Xfixes.h>

#include <string>

namespace nimbra {

X11CompositorWatch::X11CompositorWatch(X11Connection& connection) : connection_(connection) {
  if (!connection_.alive()) return;
  Display* d = connection_.display();
  const std::string name = "_NET_WM_CM_S" + std::to_string(connection_.screen());
  selection_ = connection_.atom(name.c_str());
  if (connection_.extensions().xfixes) {
    XFixesSelectSelectionInput(d, connection_.root(), selection_,
                               XFixesSetSelectionOwnerNotifyMask |
                                   XFixesSelectionWindowDestroyNotifyMask |
                                   XFixesSelectionClientCloseNotifyMask);
  }
  // Asked after selecting, so an arrival in between is not missed.
  active_ = XGetSelectionOwner(d, selection_) != None;
  connection_.addHandler(this);
}

X11CompositorWatch::~X11CompositorWatch() {
  connection_.removeHandler(this);
}

void X11CompositorWatch::handleEvent(XEvent& event) {
  const X11Extensions& ext = connection_.extensions();
  if (!ext.xfixes || event.type != ext.xfixesEventBase + XFixesSelectionNotify) return;
  const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
  if (notify.selection != selection_) return;
  active_ = notify.subtype == XFixesSetSelectionOwnerNotify && notify.owner != None;
}

}  // namespace nimbra
