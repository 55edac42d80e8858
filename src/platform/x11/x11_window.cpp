#include "platform/x11/x11_window.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/shape.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/x11/x11_shape.h"
#include "wheel/paint/canvas.h"

namespace nimbra {
namespace {

bool sameRectangles(const std::vector<XRectangle>& a, const std::vector<XRectangle>& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](const XRectangle& l, const XRectangle& r) {
           return l.x == r.x && l.y == r.y && l.width == r.width && l.height == r.height;
         });
}

XRectangle unite(const XRectangle& a, const XRectangle& b) {
  const int left = std::min(a.x, b.x);
  const int top = std::min(a.y, b.y);
  const int right = std::max(a.x + a.width, b.x + b.width);
  const int bottom = std::max(a.y + a.height, b.y + b.height);
  return XRectangle{static_cast<short>(left), static_cast<short>(top),
                    static_cast<unsigned short>(right - left),
                    static_cast<unsigned short>(bottom - top)};
}

}  // namespace

X11Window::X11Window(X11Connection& connection, X11CompositorWatch& compositor, ViewDelegate& view,
                     bool allowShm)
    : connection_(connection), compositor_(compositor), view_(view) {
  connection_.addHandler(this);
  if (!connection_.alive()) return;
  Display* d = connection_.display();
  const int screen = connection_.screen();
  Visual* visual = DefaultVisual(d, screen);
  depth_ = DefaultDepth(d, screen);
  XVisualInfo info{};
  if (XMatchVisualInfo(d, screen, 32, TrueColor, &info)) {
    visual = info.visual;
    depth_ = 32;
  }
  // A visual other than the root's needs its own colormap and a border pixel, or the
  // window cannot be created (BadMatch).
  colormap_ = XCreateColormap(d, connection_.root(), visual, AllocNone);
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.colormap = colormap_;
  attributes.border_pixel = 0;
  attributes.background_pixmap = None;  // nothing painted by the server before our frame
  attributes.event_mask = ExposureMask;
  window_ = XCreateWindow(
      d, connection_.root(), 0, 0, 1, 1, 0, depth_, InputOutput, visual,
      CWOverrideRedirect | CWColormap | CWBorderPixel | CWBackPixmap | CWEventMask, &attributes);
  if (connection_.extensions().xfixes) {
    // An empty input shape: every click falls through, to the input window or what lies beneath.
    XserverRegion empty = XFixesCreateRegion(d, nullptr, 0);
    XFixesSetWindowShapeRegion(d, window_, ShapeInput, 0, 0, empty);
    XFixesDestroyRegion(d, empty);
  }
  XSetWindowAttributes input{};
  input.override_redirect = True;
  input.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
  catcher_ = XCreateWindow(d, connection_.root(), 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent,
                           CWOverrideRedirect | CWEventMask, &input);
  char inputName[] = "nimbra-wheel-input";
  char inputClass[] = "NimbraWheel";
  XClassHint inputHint{inputName, inputClass};
  XSetClassHint(d, catcher_, &inputHint);

  XWMHints* hints = XAllocWMHints();
  hints->flags = InputHint;
  hints->input = False;
  XSetWMHints(d, window_, hints);
  XFree(hints);
  char name[] = "nimbra-wheel";
  char cls[] = "NimbraWheel";
  XClassHint classHint{name, cls};
  XSetClassHint(d, window_, &classHint);
  XStoreName(d, window_, name);
  const long pid = ::getpid();
  XChangeProperty(d, window_, connection_.atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&pid), 1);
  // The one type that both picom (--shadow) and xcompmgr (-c) leave without a shadow; any
  // other shows a square shadow around or through the ring. Window managers do not manage an
  // override-redirect window, so the type changes nothing else.
  const Atom type = connection_.atom("_NET_WM_WINDOW_TYPE_DESKTOP");
  XChangeProperty(d, window_, connection_.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&type), 1);

  buffer_ = std::make_unique<X11FrameBuffer>(connection_, window_, visual, depth_, allowShm);
  compositing_ = compositor_.active();
  setIgnoresMouseEvents(true);
  introduceToCompositor();
}

void X11Window::introduceToCompositor() {
  // xcompmgr decides whether a window casts a shadow when it is first moved, from a mode it
  // only learns when the window is first mapped; a window moved before its first map keeps a
  // shadow that shows through its transparent parts. An invisible map and unmap (empty shape,
  // nothing to click) settles the mode before any move.
  if (mapped_ || !connection_.alive() || !connection_.extensions().shape) return;
  Display* d = connection_.display();
  XShapeCombineRectangles(d, window_, ShapeBounding, 0, 0, nullptr, 0, ShapeSet, YXBanded);
  shaped_ = true;
  shapeRects_.clear();
  XMapWindow(d, window_);
  XUnmapWindow(d, window_);
  XFlush(d);
}

X11Window::~X11Window() {
  connection_.removeHandler(this);
  if (mapped_) {
    connection_.selectRootInput(SubstructureNotifyMask, false);
    connection_.setOverlayShown(false);
  }
  buffer_.reset();
  if (connection_.alive() && window_) {
    XDestroyWindow(connection_.display(), catcher_);
    XDestroyWindow(connection_.display(), window_);
    XFreeColormap(connection_.display(), colormap_);
    XFlush(connection_.display());
  }
}

void X11Window::setFrame(const Rect& frame) {
  // Frames come in bottom-left points; the server counts pixels from the top left.
  const double scale = connection_.scale();
  const double rootHeight = connection_.toPoints(connection_.rootHeight());
  viewLeft_ = frame.origin.x;
  viewTop_ = rootHeight - frame.origin.y - frame.size.height;
  double left = frame.origin.x * scale;
  double top = (rootHeight - frame.origin.y - frame.size.height) * scale;
  double right = left + frame.size.width * scale;
  double bottom = top + frame.size.height * scale;
  offsetX_ = 0;
  offsetY_ = 0;
  // A view too large for a window (a huge radius) is cut down to the part on the screen, so
  // that no pixel buffer larger than the screen is ever made.
  if (!(right - left <= kMaxViewPixels && bottom - top <= kMaxViewPixels)) {
    const double visibleLeft = std::clamp(left, 0.0, double(connection_.rootWidth()));
    const double visibleTop = std::clamp(top, 0.0, double(connection_.rootHeight()));
    right = std::clamp(right, visibleLeft + 1, double(connection_.rootWidth()) + 1);
    bottom = std::clamp(bottom, visibleTop + 1, double(connection_.rootHeight()) + 1);
    offsetX_ = std::isfinite(left) ? std::round(visibleLeft - left) : 0;
    offsetY_ = std::isfinite(top) ? std::round(visibleTop - top) : 0;
    left = visibleLeft;
    top = visibleTop;
  }
  const int x = static_cast<int>(std::lround(left));
  const int y = static_cast<int>(std::lround(top));
  const int w = std::max(1, static_cast<int>(std::lround(right - left)));
  const int h = std::max(1, static_cast<int>(std::lround(bottom - top)));
  if (w != width_ || h != height_) dirty_ = true;
  width_ = w;
  height_ = h;
  if (connection_.alive()) {
    XMoveResizeWindow(connection_.display(), window_, x, y, w, h);
    XMoveResizeWindow(connection_.display(), catcher_, x, y, w, h);
  }
  // A frame given ahead of showing lets the pixel buffers be made now, off the open path; only
  // up to the screen's size, as larger ones may never be shown whole.
  if (!mapped_ && w <= connection_.rootWidth() && h <= connection_.rootHeight()) {
    const bool resized = buffer_->width() != w || buffer_->height() != h;
    buffer_->resize(width_, height_);
    if (resized) {
      // On the first map at a size the server makes a picture of its own for an ARGB window
      // (some 20 ms): an invisible map takes that off the first opening. The view's picture
      // is painted, shaped and converted now too, so the first opening only sends it.
      introduceToCompositor();
      paint();
      updateShape();
      buffer_->stage(needsShape());
    }
  }
}

void X11Window::setNeedsDisplay() {
  dirty_ = true;
  if (mapped_) scheduleDisplay();
}

void X11Window::scheduleDisplay() {
  if (connection_.alive()) paint_.schedule();
}

bool X11Window::display() {
  if (!connection_.alive() || !mapped_) return false;
  const bool painted = dirty_;
  if (painted) {
    paint();
    updateShape();
  }
  lastUpload_ = buffer_->present(needsShape());
  return painted;
}

void X11Window::paint() {
  buffer_->resize(width_, height_);
  cairo_surface_t* surface = buffer_->surface();
  dirty_ = false;
  if (!surface) return;
  cairo_t* cr = cairo_create(surface);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  const double scale = connection_.scale();
  Canvas canvas{cr, scale};
  cairo_translate(cr, -offsetX_, -offsetY_);
  view_.draw(canvas, Rect{{offsetX_ / scale, offsetY_ / scale}, {width_ / scale, height_ / scale}});
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  ++paintCount_;
}

void X11Window::updateShape() {
  if (!connection_.alive() || !connection_.extensions().shape) return;
  Display* d = connection_.display();
  if (!needsShape()) {
    if (shaped_) XShapeCombineMask(d, window_, ShapeBounding, 0, 0, None, ShapeSet);
    shaped_ = false;
    shapeRects_.clear();
    return;
  }
  if (!buffer_->pixels()) return;
  std::vector<XRectangle> rects =
      opaqueRectangles(buffer_->pixels(), buffer_->width(), buffer_->height(), buffer_->stride());
  if (shaped_ && sameRectangles(rects, shapeRects_)) return;
  XShapeCombineRectangles(d, window_, ShapeBounding, 0, 0, rects.data(),
                          static_cast<int>(rects.size()), ShapeSet, YXBanded);
  shaped_ = true;
  shapeRects_ = std::move(rects);
}

void X11Window::orderFrontRegardless() {
  if (!connection_.alive()) return;
  Display* d = connection_.display();
  if (mapped_) {
    XRaiseWindow(d, window_);
    if (catcherMapped_) XRaiseWindow(d, catcher_);
    if (dirty_) display();
    return;
  }
  // Painted and shaped before it maps, so no stale or square frame ever shows.
  compositing_ = compositor_.active();
  if (dirty_ || buffer_->width() != width_ || buffer_->height() != height_) paint();
  updateShape();
  XMapRaised(d, window_);
  mapped_ = true;
  updateCatcher();
  connection_.selectRootInput(SubstructureNotifyMask, true);
  buffer_->sendWholeNext();
  lastUpload_ = buffer_->present(needsShape());
  XFlush(d);
  connection_.setOverlayShown(true);
}

void X11Window::orderOut() {
  if (!mapped_) return;
  mapped_ = false;
  haveExposure_ = false;
  if (connection_.alive()) {
    XUnmapWindow(connection_.display(), window_);
    XFlush(connection_.display());
  }
  updateCatcher();
  connection_.selectRootInput(SubstructureNotifyMask, false);
  connection_.setOverlayShown(false);
}

void X11Window::setIgnoresMouseEvents(bool ignores) {
  ignoresMouse_ = ignores;
  updateCatcher();
}

void X11Window::updateCatcher() {
  if (!connection_.alive()) return;
  const bool want = (mapped_ && !ignoresMouse_) || (catcherMapped_ && buttonsInCatcher_);
  if (want == catcherMapped_) return;
  catcherMapped_ = want;
  if (want) {
    buttonsInCatcher_ = false;
    XMapRaised(connection_.display(), catcher_);  // just above the painted window
  } else {
    XUnmapWindow(connection_.display(), catcher_);
  }
  XFlush(connection_.display());
}

void X11Window::handleEvent(XEvent& event) {
  switch (event.type) {
    case Expose:
      if (event.xexpose.window != window_) return;
      {
        const XRectangle area{static_cast<short>(event.xexpose.x),
                              static_cast<short>(event.xexpose.y),
                              static_cast<unsigned short>(event.xexpose.width),
                              static_cast<unsigned short>(event.xexpose.height)};
        exposed_ = haveExposure_ ? unite(exposed_, area) : area;
        haveExposure_ = true;
      }
      if (event.xexpose.count == 0 && mapped_) {
        buffer_->redraw(exposed_);
        haveExposure_ = false;
      }
      return;
    case ButtonPress:
    case ButtonRelease:
    case MotionNotify:
      if (event.xany.window == catcher_) mouseEvent(event);
      return;
    case MapNotify:
    case ConfigureNotify:
    case CirculateNotify:
      raiseIfCovered(event);
      return;
    default:
      return;
  }
}

void X11Window::afterEvents() {
  if (compositor_.active() == compositing_) return;
  // A compositor came or went: the shape and the colours sent depend on it.
  compositing_ = compositor_.active();
  if (compositing_) introduceToCompositor();
  if (!buffer_->pixels()) return;
  updateShape();
  buffer_->invalidate();
  if (mapped_) lastUpload_ = buffer_->present(needsShape());
}

void X11Window::raiseIfCovered(const XEvent& event) {
  if (!mapped_ || !connection_.alive()) return;
  bool covered = false;
  auto other = [&](Window w) { return w != window_ && w != catcher_; };
  if (event.type == MapNotify) {
    covered = event.xmap.event == connection_.root() && other(event.xmap.window);
  } else if (event.type == ConfigureNotify) {
    // `above` is the sibling just below the configured window: ours means it now covers us.
    covered = event.xconfigure.event == connection_.root() && other(event.xconfigure.window) &&
              !other(event.xconfigure.above);
  } else if (event.type == CirculateNotify) {
    covered = event.xcirculate.event == connection_.root() && other(event.xcirculate.window) &&
              event.xcirculate.place == PlaceOnTop;
  }
  if (!covered) return;
  XRaiseWindow(connection_.display(), window_);
  if (catcherMapped_) XRaiseWindow(connection_.display(), catcher_);
}

void X11Window::mouseEvent(const XEvent& event) {
  if (event.type == ButtonPress) {
    buttonsInCatcher_ = true;
  } else if (event.type == ButtonRelease) {
    constexpr unsigned kAllButtons =
        Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask;
    const unsigned button = event.xbutton.button;
    const unsigned self = button >= 1 && button <= 5 ? Button1Mask << (button - 1) : 0;
    buttonsInCatcher_ = (event.xbutton.state & kAllButtons & ~self) != 0;
    // The last button up: the press that closed the wheel has had its release.
    updateCatcher();
    return;
  }
  if (ignoresMouse_ || !mapped_) return;
  const double scale = connection_.scale();
  if (event.type == MotionNotify) {
    const Point at{event.xmotion.x_root / scale - viewLeft_,
                   event.xmotion.y_root / scale - viewTop_};
    if (event.xmotion.state & (Button1Mask | Button2Mask | Button3Mask)) {
      view_.mouseDragged(at);
    } else {
      view_.mouseMoved(at);
    }
    return;
  }
  const Point at{event.xbutton.x_root / scale - viewLeft_, event.xbutton.y_root / scale - viewTop_};
  switch (event.xbutton.button) {
    case Button1:
      view_.mouseDown(at);
      return;
    case Button3:
      view_.rightMouseDown(at);
      return;
    case Button4:
    case Button5:
    case 6:
    case 7:
      return;  // scrolling is not a click
    default:
      view_.otherMouseDown(at);
      return;
  }
}

}  // namespace nimbra
