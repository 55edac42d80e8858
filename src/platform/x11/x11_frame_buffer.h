// A window's pixels on the client side and their way to the server. The view paints into a
// Cairo image; present() sends only the rectangle that changed since the last one, through
// MIT-SHM when the server offers it, so a selection change does not cost a whole frame.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XShm.h>
#include <cairo.h>

#include <cstdint>
#include <vector>

#include "platform/x11/x11_connection.h"

namespace nimbra {

class X11FrameBuffer {
 public:
  X11FrameBuffer(X11Connection& connection, Window window, Visual* visual, int depth,
                 bool allowShm);
  ~X11FrameBuffer();
  X11FrameBuffer(const X11FrameBuffer&) = delete;
  X11FrameBuffer& operator=(const X11FrameBuffer&) = delete;

  // A new size: the content is cleared and the next present sends all of it.
  void resize(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }
  // Where the view paints: premultiplied ARGB. Null while the size is 0.
  cairo_surface_t* surface() const { return back_; }
  // The painted pixels (after cairo_surface_flush), `stride()` words per row.
  const std::uint32_t* pixels() const;
  int stride() const;

  // Sends what changed since the last present and draws it in the window. With `straight`
  // the colours go out divided by their alpha: without a compositor the server shows colour
  // channels as they are, and premultiplied edges would look dark. Answers the area sent.
  XRectangle present(bool straight);
  // Converts what changed since the last present, as present would, without sending it: a
  // picture made ahead of the first showing is then sent at once.
  void stage(bool straight);
  // The next present converts and sends everything.
  void invalidate() { sendAll_ = true; }
  // The next present sends everything, for a window the server has just mapped without
  // content; the pixels already converted for it are reused.
  void sendWholeNext() { putAll_ = true; }
  // Draws what was last sent again, for an exposure.
  void redraw(const XRectangle& area);
  bool sharedMemory() const { return shmAttached_; }

 private:
  void release();
  bool createSharedImage();
  void createPlainImage();
  void touchOnServer();
  // Converts what changed into the image the server reads; answers the area, empty if none.
  XRectangle convertChanges(bool straight);
  void put(int x, int y, int w, int h);
  // Copies the rows and columns given, inclusive, into the image the server reads.
  void convertRows(int top, int bottom, int left, int right, bool straight);
  void waitForServer();

  X11Connection& connection_;
  Window window_;
  Visual* visual_;
  int depth_;
  bool allowShm_;
  GC gc_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  cairo_surface_t* back_ = nullptr;
  // The painted pixels as of the last present, `width_` words per row.
  cairo_surface_t* lastSent_ = nullptr;
  std::uint32_t* last_ = nullptr;
  XImage* image_ = nullptr;  // the pixels the server reads
  XShmSegmentInfo shm_{};
  bool shmAttached_ = false;
  bool shmBusy_ = false;  // the server may still be reading the segment
  bool sendAll_ = true;
  bool putAll_ = false;
  bool lastStraight_ = false;
  bool blank_ = false;  // nothing painted since the last resize: every copy is clear
};

}  // namespace nimbra
