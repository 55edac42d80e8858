#include "platform/x11/x11_frame_buffer.h"

#include <X11/Xutil.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/x11/x11_error_trap.h"
#include "wheel/paint/large_surface.h"

namespace nimbra {
namespace {

int hostByteOrder() {
  const std::uint32_t one = 1;
  return *reinterpret_cast<const unsigned char*>(&one) == 1 ? LSBFirst : MSBFirst;
}

// 255 / a in 16.16 fixed point, so straightening costs a multiply rather than a division.
struct Reciprocals {
  std::uint32_t of[256] = {};
  Reciprocals() {
    for (std::uint32_t a = 1; a < 256; ++a) of[a] = (255u << 16) / a;
  }
};

// The division rounded to nearest, (c * 255 + a / 2) / a capped at 255, which the fixed-point
// estimate can miss by one either way; the checks put it right, so the result is exact.
std::uint32_t unpremultiply(std::uint32_t c, std::uint32_t a, std::uint32_t reciprocal) {
  if (c >= a) return 255;
  const std::uint32_t n = c * 255 + a / 2;
  auto q = static_cast<std::uint32_t>((std::uint64_t{c} * reciprocal + 0x8000) >> 16);
  if (q * a > n) --q;
  if ((q + 1) * a <= n) ++q;
  return q;
}

std::uint32_t straightened(std::uint32_t px) {
  static const Reciprocals table;
  const std::uint32_t a = px >> 24;
  if (a == 0xFF || a == 0) return a == 0 ? 0 : px;
  const std::uint32_t r = table.of[a];
  return (a << 24) | (unpremultiply((px >> 16) & 0xFF, a, r) << 16) |
         (unpremultiply((px >> 8) & 0xFF, a, r) << 8) | unpremultiply(px & 0xFF, a, r);
}

}  // namespace

X11FrameBuffer::X11FrameBuffer(X11Connection& connection, Window window, Visual* visual, int depth,
                               bool allowShm)
    : connection_(connection),
      window_(window),
      visual_(visual),
      depth_(depth),
      allowShm_(allowShm && connection.extensions().shm) {
  if (connection_.alive()) gc_ = XCreateGC(connection_.display(), window_, 0, nullptr);
}

X11FrameBuffer::~X11FrameBuffer() {
  release();
  // Also after the server is gone: the GC has memory on our side.
  if (gc_) XFreeGC(connection_.display(), gc_);
}

void X11FrameBuffer::release() {
  if (back_) cairo_surface_destroy(back_);
  back_ = nullptr;
  if (lastSent_) cairo_surface_destroy(lastSent_);
  lastSent_ = nullptr;
  last_ = nullptr;
  if (image_) {
    if (shmAttached_) {
      if (connection_.alive()) XShmDetach(connection_.display(), &shm_);
      image_->data = nullptr;
      XDestroyImage(image_);
      shmdt(shm_.shmaddr);
      shmAttached_ = false;
    } else {
      XDestroyImage(image_);  // frees the pixels too
    }
  }
  image_ = nullptr;
  shmBusy_ = false;
  width_ = height_ = 0;
}

void X11FrameBuffer::resize(int width, int height) {
  if (width == width_ && height == height_ && back_) return;
  waitForServer();
  release();
  if (width <= 0 || height <= 0) return;
  width_ = width;
  height_ = height;
  back_ = createLargeImageSurface(CAIRO_FORMAT_ARGB32, width, height);
  lastSent_ = createLargeImageSurface(CAIRO_FORMAT_ARGB32, width, height);
  // ARGB32 rows are whole words, so the stride is the width.
  if (cairo_surface_status(lastSent_) == CAIRO_STATUS_SUCCESS) {
    last_ = reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(lastSent_));
  }
  if (!(allowShm_ && createSharedImage())) createPlainImage();
  // Fresh pages cost a fault each on first touch, a large part of a frame's time: they are
  // taken here, wherever the caller chose to resize, rather than in the first paint. The
  // pictures come with theirs taken; all of them are zero already.
  if (image_) {
    const std::size_t bytes = static_cast<std::size_t>(image_->bytes_per_line) * height;
    if (!(shmAttached_ && takePages(image_->data, bytes))) std::memset(image_->data, 0, bytes);
  }
  if (shmAttached_) touchOnServer();
  // All three copies hold the same clear pixels, straight or not: the first present converts
  // only what the first paint changed, and sends the whole window, which the server lacks.
  sendAll_ = false;
  blank_ = true;
  putAll_ = true;
}

void X11FrameBuffer::touchOnServer() {
  // The server maps the segment at attach time but takes each page only when it first reads
  // it: a first whole-window put would pay for some six hundred page faults in the server.
  // One row per page read into a one-row pixmap makes it take them all now.
  Display* d = connection_.display();
  const Pixmap row =
      XCreatePixmap(d, window_, static_cast<unsigned>(width_), 1, static_cast<unsigned>(depth_));
  const int rowsPerPage = std::max(1, 4096 / image_->bytes_per_line);
  for (int y = 0; y < height_; y += rowsPerPage) {
    XShmPutImage(d, row, gc_, image_, 0, y, 0, 0, static_cast<unsigned>(width_), 1, False);
  }
  XFreePixmap(d, row);
  // Sent now, so the server works on it while the helper goes on; what it reads does not
  // matter, so the segment may be written meanwhile.
  XFlush(d);
}

bool X11FrameBuffer::createSharedImage() {
  if (!connection_.alive()) return false;
  Display* d = connection_.display();
  XImage* image = XShmCreateImage(d, visual_, depth_, ZPixmap, nullptr, &shm_, width_, height_);
  if (!image) return false;
  // The server reads the segment as it is: the words must be in the host's order.
  if (image->bits_per_pixel != 32 || image->byte_order != hostByteOrder()) {
    XDestroyImage(image);
    allowShm_ = false;
    return false;
  }
  shm_.shmid = shmget(IPC_PRIVATE, static_cast<std::size_t>(image->bytes_per_line) * height_,
                      IPC_CREAT | 0600);
  if (shm_.shmid < 0) {
    XDestroyImage(image);
    allowShm_ = false;
    return false;
  }
  shm_.shmaddr = static_cast<char*>(shmat(shm_.shmid, nullptr, 0));
  shm_.readOnly = True;
  bool attached = false;
  if (shm_.shmaddr != reinterpret_cast<char*>(-1)) {
    image->data = shm_.shmaddr;
    X11ErrorTrap trap(d);
    XShmAttach(d, &shm_);
    attached = trap.finish() == 0 && connection_.alive();
  }
  // Marked for removal now: it goes away with the last detach, even if the process dies.
  shmctl(shm_.shmid, IPC_RMID, nullptr);
  if (!attached) {
    // A server on another machine cannot attach; plain uploads from then on.
    if (shm_.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm_.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    allowShm_ = false;
    return false;
  }
  image_ = image;
  shmAttached_ = true;
  return true;
}

void X11FrameBuffer::createPlainImage() {
  const std::size_t bytes = static_cast<std::size_t>(width_) * height_ * 4;
  char* data = static_cast<char*>(std::calloc(bytes, 1));
  image_ = XCreateImage(connection_.display(), visual_, depth_, ZPixmap, 0, data, width_, height_,
                        32, width_ * 4);
  if (!image_) {
    std::free(data);
    return;
  }
  // Filled in the host's order; Xlib reorders for the server when it differs.
  image_->byte_order = hostByteOrder();
  if (image_->bits_per_pixel != 32) {
    XDestroyImage(image_);
    image_ = nullptr;
  }
}

const std::uint32_t* X11FrameBuffer::pixels() const {
  return back_ ? reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(back_))
               : nullptr;
}

int X11FrameBuffer::stride() const {
  return back_ ? cairo_image_surface_get_stride(back_) / 4 : 0;
}

void X11FrameBuffer::waitForServer() {
  if (shmBusy_ && connection_.alive()) XSync(connection_.display(), False);
  shmBusy_ = false;
}

XRectangle X11FrameBuffer::present(bool straight) {
  if (!back_ || !last_ || !image_ || !connection_.alive()) return {};
  const XRectangle changed = convertChanges(straight);
  if (putAll_) {
    // The server has none of it: everything goes, though only what changed was converted.
    putAll_ = false;
    waitForServer();
    put(0, 0, width_, height_);
    return XRectangle{0, 0, static_cast<unsigned short>(width_),
                      static_cast<unsigned short>(height_)};
  }
  if (changed.width == 0) return {};
  put(changed.x, changed.y, changed.width, changed.height);
  return changed;
}

void X11FrameBuffer::stage(bool straight) {
  if (back_ && last_ && image_ && connection_.alive()) convertChanges(straight);
}

XRectangle X11FrameBuffer::convertChanges(bool straight) {
  cairo_surface_flush(back_);
  if (straight != lastStraight_ && !blank_) sendAll_ = true;
  lastStraight_ = straight;
  blank_ = false;
  const std::uint32_t* src = pixels();
  const int srcStride = stride();
  int top = height_;
  int bottom = -1;
  int left = width_;
  int right = -1;
  for (int y = 0; y < height_; ++y) {
    const std::uint32_t* row = src + static_cast<std::size_t>(y) * srcStride;
    std::uint32_t* seen = last_ + static_cast<std::size_t>(y) * width_;
    if (!sendAll_ && std::memcmp(row, seen, static_cast<std::size_t>(width_) * 4) == 0) continue;
    top = std::min(top, y);
    bottom = y;
    if (sendAll_) {
      left = 0;
      right = width_ - 1;
      continue;
    }
    int x0 = 0;
    while (row[x0] == seen[x0]) ++x0;
    int x1 = width_ - 1;
    while (row[x1] == seen[x1]) --x1;
    left = std::min(left, x0);
    right = std::max(right, x1);
  }
  sendAll_ = false;
  if (bottom < 0) return {};
  convertRows(top, bottom, left, right, straight);
  return XRectangle{static_cast<short>(left), static_cast<short>(top),
                    static_cast<unsigned short>(right - left + 1),
                    static_cast<unsigned short>(bottom - top + 1)};
}

void X11FrameBuffer::convertRows(int top, int bottom, int left, int right, bool straight) {
  const std::uint32_t* src = pixels();
  const int srcStride = stride();
  waitForServer();
  const int w = right - left + 1;
  auto* front = reinterpret_cast<std::uint32_t*>(image_->data);
  const int frontStride = image_->bytes_per_line / 4;
  for (int y = top; y <= bottom; ++y) {
    const std::uint32_t* row = src + static_cast<std::size_t>(y) * srcStride + left;
    std::memcpy(last_ + static_cast<std::size_t>(y) * width_ + left, row,
                static_cast<std::size_t>(w) * 4);
    std::uint32_t* out = front + static_cast<std::size_t>(y) * frontStride + left;
    if (straight) {
      for (int x = 0; x < w; ++x) out[x] = straightened(row[x]);
    } else {
      std::memcpy(out, row, static_cast<std::size_t>(w) * 4);
    }
  }
}

void X11FrameBuffer::redraw(const XRectangle& area) {
  if (!image_ || !connection_.alive()) return;
  const int x = std::clamp<int>(area.x, 0, width_);
  const int y = std::clamp<int>(area.y, 0, height_);
  const int w = std::min<int>(area.width, width_ - x);
  const int h = std::min<int>(area.height, height_ - y);
  if (w > 0 && h > 0) put(x, y, w, h);
}

void X11FrameBuffer::put(int x, int y, int w, int h) {
  Display* d = connection_.display();
  if (shmAttached_) {
    XShmPutImage(d, window_, gc_, image_, x, y, x, y, static_cast<unsigned>(w),
                 static_cast<unsigned>(h), False);
    shmBusy_ = true;
  } else {
    XPutImage(d, window_, gc_, image_, x, y, x, y, static_cast<unsigned>(w),
              static_cast<unsigned>(h));
  }
}

}  // namespace nimbra
