// The overlay window: override-redirect (no window manager frames or focuses it), ARGB when
// the server has such a visual, never given the keyboard, above every other top-level while
// shown, and either transparent to the mouse or taking it for the view.
//
// The painted window itself never takes the mouse: without a compositor its shape is cut to
// the painted pixels, and input would follow that shape. While the view takes the mouse, an
// input-only window of the same square lies just above it and catches every click in the
// square, gaps and corners included, compositor or not. A click that closes the wheel keeps
// that window until the button comes up, so its release never reaches what lies beneath.
#pragma once

#include <X11/Xlib.h>

#include <memory>
#include <vector>

#include "platform/coalesced_idle.h"
#include "platform/platform.h"
#include "platform/x11/x11_compositor.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_frame_buffer.h"

namespace nimbra {

class X11Window : public PlatformWindow, private X11EventHandler {
 public:
  // Views wider or taller than this are cut down to the part on screen.
  static constexpr double kMaxViewPixels = 8192;

  X11Window(X11Connection& connection, X11CompositorWatch& compositor, ViewDelegate& view,
            bool allowShm);
  ~X11Window() override;
  X11Window(const X11Window&) = delete;
  X11Window& operator=(const X11Window&) = delete;

  void setFrame(const Rect& frame) override;
  void setNeedsDisplay() override;
  void orderFrontRegardless() override;
  void orderOut() override;
  void setIgnoresMouseEvents(bool ignores) override;
  double backingScale() const override { return connection_.scale(); }

  Window xid() const { return window_; }
  // The input-only window that takes the mouse for the view; mapped only while it does.
  Window inputXid() const { return catcher_; }
  bool argb() const { return depth_ == 32; }
  bool shown() const { return mapped_; }
  // A bounding shape is in use: without a compositor, only the opaque pixels show.
  bool shaped() const { return shaped_; }
  bool sharedMemory() const { return buffer_ && buffer_->sharedMemory(); }
  int paintCount() const { return paintCount_; }
  XRectangle lastUpload() const { return lastUpload_; }

 private:
  void handleEvent(XEvent& event) override;
  void afterEvents() override;
  void scheduleDisplay();
  // Paints when marked, sends the changes and fits the shape; false when nothing was painted.
  bool display();
  void paint();
  void updateShape();
  bool needsShape() const { return !(argb() && compositor_.active()); }
  void raiseIfCovered(const XEvent& event);
  void introduceToCompositor();
  void mouseEvent(const XEvent& event);
  // Maps the input window while the view takes the mouse or a button pressed in it is down.
  void updateCatcher();

  X11Connection& connection_;
  X11CompositorWatch& compositor_;
  ViewDelegate& view_;
  Window window_ = 0;
  Window catcher_ = 0;
  bool catcherMapped_ = false;
  bool buttonsInCatcher_ = false;
  Colormap colormap_ = 0;
  int depth_ = 24;
  std::unique_ptr<X11FrameBuffer> buffer_;
  int width_ = 1;  // pixels
  int height_ = 1;
  // Where the window starts within the view, in pixels: non-zero only for a view too large to
  // be a window, which is then cut down to the part on screen.
  double offsetX_ = 0;
  double offsetY_ = 0;
  // The view's top left on the screen, in top-left points, as asked for: pointer positions
  // are measured from it, not from the window's rounded pixel origin, so the view and the
  // event tap find the same offset from the wheel's centre at any scale.
  double viewLeft_ = 0;
  double viewTop_ = 0;
  bool mapped_ = false;
  bool dirty_ = true;
  bool ignoresMouse_ = true;
  bool shaped_ = false;
  bool compositing_ = false;  // the compositor state the shape was fitted for
  std::vector<XRectangle> shapeRects_;
  CoalescedIdle paint_{connection_.context(), [this] { display(); }};
  XRectangle exposed_{};
  bool haveExposure_ = false;
  int paintCount_ = 0;
  XRectangle lastUpload_{};
};

}  // namespace nimbra
