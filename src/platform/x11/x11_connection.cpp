#include "platform/x11/x11_connection.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>

#include <algorithm>

#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_event_source.h"
#include "platform/x11/x11_scale.h"

namespace nimbra {
namespace {

X11Extensions queryExtensions(Display* display) {
  X11Extensions ext;
  int event = 0;
  int error = 0;
  int major = 0;
  int minor = 0;
  ext.xtest = XTestQueryExtension(display, &event, &error, &major, &minor) == True;
  int opcode = 0;
  if (XQueryExtension(display, "XInputExtension", &opcode, &event, &error)) {
    major = 2;
    minor = 2;
    if (XIQueryVersion(display, &major, &minor) == Success) {
      ext.xinput2 = true;
      ext.xiOpcode = opcode;
    }
  }
  if (XFixesQueryExtension(display, &event, &error)) {
    major = 5;
    minor = 0;
    XFixesQueryVersion(display, &major, &minor);
    // Input shapes need version 2.
    ext.xfixes = major >= 2;
    ext.xfixesEventBase = event;
  }
  ext.shape = XShapeQueryExtension(display, &event, &error) == True;
  ext.shm = XShmQueryExtension(display) == True;
  major = XkbMajorVersion;
  minor = XkbMinorVersion;
  ext.xkb = XkbQueryExtension(display, &opcode, &ext.xkbEventBase, &error, &major, &minor) == True;
  return ext;
}

}  // namespace

std::unique_ptr<X11Connection> X11Connection::open(const std::string& displayName,
                                                   GMainContext* context) {
  Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (!display) return nullptr;
  installQuietErrorHandlers();
  std::unique_ptr<X11Connection> c(new X11Connection());
  c->display_ = display;
  c->context_ = context;
  // The server going away must not end the process: the file protocol goes on without it.
  XSetIOErrorExitHandler(display, &X11Connection::onConnectionLost, c.get());
  c->screen_ = DefaultScreen(display);
  c->root_ = RootWindow(display, c->screen_);
  c->rootWidth_ = DisplayWidth(display, c->screen_);
  c->rootHeight_ = DisplayHeight(display, c->screen_);
  c->extensions_ = queryExtensions(display);
  if (c->extensions_.xkb) {
    // Layout changes (setxkbmap) move the keys the hot keys sit on.
    const unsigned map = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
    XkbSelectEvents(display, XkbUseCoreKbd, map, map);
  }
  // The desktop scale follows the X resources (xrdb, a settings daemon).
  c->selectRootInput(PropertyChangeMask, true);
  c->readScale();
  c->scale_ = c->pendingScale_;
  c->source_ = std::make_unique<X11EventSource>(*c, context);
  return c;
}

X11Connection::~X11Connection() {
  source_.reset();
  // Closing a lost connection only frees Xlib's side of it.
  XCloseDisplay(display_);
}

void X11Connection::onConnectionLost(Display*, void* self) {
  auto* c = static_cast<X11Connection*>(self);
  c->alive_ = false;
  if (c->source_) c->source_->stop();
}

Atom X11Connection::atom(const char* name) {
  auto it = atoms_.find(name);
  if (it != atoms_.end()) return it->second;
  const Atom a = alive_ ? XInternAtom(display_, name, False) : None;
  if (a != None) atoms_.emplace(name, a);
  return a;
}

void X11Connection::addHandler(X11EventHandler* handler) {
  handlers_.push_back(handler);
}

void X11Connection::removeHandler(X11EventHandler* handler) {
  for (X11EventHandler*& h : handlers_) {
    if (h == handler) h = nullptr;
  }
  if (dispatchDepth_ == 0) std::erase(handlers_, nullptr);
}

void X11Connection::selectRootInput(long mask, bool on) {
  long combined = 0;
  for (int bit = 0; bit < 25; ++bit) {
    if (!(mask & (1L << bit))) continue;
    int& count = rootMaskCounts_[bit];
    count = std::max(0, count + (on ? 1 : -1));
  }
  for (const auto& [bit, count] : rootMaskCounts_) {
    if (count > 0) combined |= 1L << bit;
  }
  if (alive_) XSelectInput(display_, root_, combined);
}

void X11Connection::readScale() {
  // Read from the server each time: XResourceManagerString keeps what was there at opening.
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::string text;
  if (XGetWindowProperty(display_, root_, XA_RESOURCE_MANAGER, 0, 1 << 20, False, XA_STRING, &type,
                         &format, &count, &after, &data) == Success &&
      data && format == 8) {
    text.assign(reinterpret_cast<const char*>(data), count);
  }
  if (data) XFree(data);
  pendingScale_ = scaleFromResources(text);
}

void X11Connection::noteEvent(const XEvent& event) {
  if (event.type == MappingNotify) {
    XMappingEvent mapping = event.xmapping;
    if (mapping.request != MappingPointer) {
      XRefreshKeyboardMapping(&mapping);
      keyboardChanged_ = true;
    }
  } else if (extensions_.xkb && event.type == extensions_.xkbEventBase) {
    const int kind = reinterpret_cast<const XkbAnyEvent&>(event).xkb_type;
    keyboardChanged_ |= kind == XkbNewKeyboardNotify || kind == XkbMapNotify;
  } else if (event.type == PropertyNotify && event.xproperty.window == root_ &&
             event.xproperty.atom == XA_RESOURCE_MANAGER) {
    readScale();
    if (!overlayShown_) scale_ = pendingScale_;
  }
}

void X11Connection::setOverlayShown(bool shown) {
  if (overlayShown_ == shown) return;
  overlayShown_ = shown;
  if (!shown) scale_ = pendingScale_;
  ++dispatchDepth_;
  for (std::size_t i = 0; i < handlers_.size(); ++i) {
    if (handlers_[i]) handlers_[i]->overlayShown(shown);
  }
  if (--dispatchDepth_ == 0) std::erase(handlers_, nullptr);
}

void X11Connection::dispatchQueued() {
  ++dispatchDepth_;
  while (alive_ && XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    const bool cookie = event.type == GenericEvent && XGetEventData(display_, &event.xcookie);
    noteEvent(event);
    // Handlers added during the loop see the following events; removed ones see none.
    for (std::size_t i = 0; i < handlers_.size() && alive_; ++i) {
      if (handlers_[i]) handlers_[i]->handleEvent(event);
    }
    if (cookie) XFreeEventData(display_, &event.xcookie);
  }
  if (keyboardChanged_) {
    keyboardChanged_ = false;
    for (std::size_t i = 0; i < handlers_.size() && alive_; ++i) {
      if (handlers_[i]) handlers_[i]->keyboardChanged();
    }
  }
  for (std::size_t i = 0; i < handlers_.size() && alive_; ++i) {
    if (handlers_[i]) handlers_[i]->afterEvents();
  }
  if (--dispatchDepth_ == 0) std::erase(handlers_, nullptr);
}

std::optional<PointerState> X11Connection::queryPointer() const {
  if (!alive()) return std::nullopt;
  Window root = 0;
  Window child = 0;
  PointerState p;
  int wx = 0;
  int wy = 0;
  if (!XQueryPointer(display(), this->root(), &root, &child, &p.x, &p.y, &wx, &wy, &p.mask) ||
      !alive()) {
    return std::nullopt;
  }
  return p;
}

}  // namespace nimbra
