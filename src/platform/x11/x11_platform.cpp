#include "platform/x11/x11_platform.h"

#include <cstdlib>

#include "platform/forwarding_event_source.h"
#include "platform/x11/x11_event_tap.h"
#include "platform/x11/x11_window.h"

namespace nimbra {

std::unique_ptr<X11Platform> X11Platform::open(const X11Options& options) {
  std::unique_ptr<X11Platform> p(new X11Platform());
  p->options_ = options;
  p->connection_ = X11Connection::open(options.display, p->loop().context());
  if (!p->connection_) return nullptr;
  p->compositor_ = std::make_unique<X11CompositorWatch>(*p->connection_);
  p->grab_ = std::make_unique<X11ButtonGrab>(*p->connection_);
  p->injector_ = std::make_unique<X11ClickInjector>(*p->connection_, *p->grab_);
  p->hotKeys_ = std::make_unique<X11HotKeys>(*p->connection_);
  return p;
}

// Members go in reverse order; the connection, which the others use, goes last.
X11Platform::~X11Platform() = default;

double X11Platform::firstScreenHeight() {
  return connection_->toPoints(connection_->rootHeight());
}

std::optional<Point> X11Platform::queryPointer() {
  const std::optional<PointerState> p = connection_->queryPointer();
  if (!p) return std::nullopt;
  lastPointer_ = Point{connection_->toPoints(p->x), connection_->toPoints(p->y)};
  return lastPointer_;
}

Point X11Platform::pointerLocation() {
  // Both conversions use the root height, so they cancel exactly.
  const Point p = queryPointer().value_or(lastPointer_);
  return Point{p.x, firstScreenHeight() - p.y};
}

std::optional<Point> X11Platform::currentEventLocation() {
  return queryPointer();
}

std::unique_ptr<PlatformWindow> X11Platform::createOverlayWindow(ViewDelegate& view) {
  return std::make_unique<X11Window>(*connection_, *compositor_, view, options_.allowShm);
}

std::unique_ptr<EventTap> X11Platform::createEventTap(TapCallbackFn callback) {
  // Without XTest a short click could not be handed back; without the grab nothing is seen.
  if (!connection_->alive() || !connection_->extensions().xtest) return nullptr;
  if (grab_->acquire() != 0) return nullptr;
  return std::make_unique<X11EventTap>(*connection_, *grab_, std::move(callback));
}

std::unique_ptr<EventSource> X11Platform::createEventSource() {
  if (!connection_->alive() || !connection_->extensions().xtest) return nullptr;
  return std::make_unique<ForwardingEventSource>(
      [injector = injector_.get()](const MouseEvent& e) { injector->post(e); });
}

void X11Platform::installHotKeyHandler(HotKeyHandlerFn handler) {
  hotKeys_->setHandler(std::move(handler));
}

HotKeyRegistration X11Platform::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                               HotKeyId id) {
  return hotKeys_->add(keyCode, modifiers, id);
}

void X11Platform::unregisterHotKey(HotKeyRef ref) {
  hotKeys_->remove(ref);
}

std::unique_ptr<PosixPlatform> createX11Platform() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return nullptr;
  return X11Platform::open();
}

}  // namespace nimbra
