// A private X server and a client of our own on it, for the X11 tests and the demo. Screenshots
// read Xvfb's frame-buffer file (-fbdir): XGetImage on the root shows shaped-away parts as black.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::testing {

// Started by the constructor, which waits up to 10 s for it to take connections; check ok().
class Xvfb {
 public:
  explicit Xvfb(int width = 1280, int height = 800);
  ~Xvfb() { stop(); }
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;
  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"
  std::string framebufferFile() const { return fbdir_ + "/Xvfb_screen0"; }
  void stop();  // SIGTERM, then waits for the server to end

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string fbdir_;
};

// The screen as the viewer sees it: 0xRRGGBB per pixel.
struct Screenshot {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Reads the frame-buffer file of a 24-bit Xvfb screen; none when it cannot be read.
std::optional<Screenshot> readXwd(const std::string& path);

struct ProbeEvent {
  int type = 0;  // ButtonPress, KeyPress, MotionNotify...
  Window window = 0;
  unsigned detail = 0;  // button or key code; a focus event's mode
  int xRoot = 0, yRoot = 0;
};

// A client connection of our own: windows to click on, input through XTest. Each input call
// returns once the server has processed it.
class XProbe {
 public:
  explicit XProbe(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}
  ~XProbe() {
    if (display_) XCloseDisplay(display_);
  }
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;
  bool ok() const { return display_ != nullptr; }
  Display* display() const { return display_; }
  Window root() const { return DefaultRootWindow(display_); }

  // A mapped top-level of one colour (0xRRGGBB) that records its input events.
  Window createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                      bool overrideRedirect = true);
  void focus(Window w) { XSetInputFocus(display_, w, RevertToParent, 0), sync(); }
  std::vector<Window> stacking() const;  // children of the root, bottom to top

  void moveTo(int x, int y) { XTestFakeMotionEvent(display_, -1, x, y, 0), sync(); }
  void press(unsigned button) { XTestFakeButtonEvent(display_, button, True, 0), sync(); }
  void release(unsigned button) { XTestFakeButtonEvent(display_, button, False, 0), sync(); }
  void click(unsigned button, int x, int y) {
    XTestFakeMotionEvent(display_, -1, x, y, 0);
    XTestFakeButtonEvent(display_, button, True, 0);
    XTestFakeButtonEvent(display_, button, False, 0);
    sync();
  }
  void keyDown(KeySym sym) { XTestFakeKeyEvent(display_, code(sym), True, 0), sync(); }
  void keyUp(KeySym sym) { XTestFakeKeyEvent(display_, code(sym), False, 0), sync(); }
  unsigned code(KeySym sym) const { return XKeysymToKeycode(display_, sym); }
  void chord(const std::vector<KeySym>& syms);  // pressed in order, released in reverse
  // Several XTest requests in one flush, for input that must arrive back to back.
  void batch(const std::function<void(Display*)>& requests) { requests(display_), sync(); }
  // The server has handled everything sent so far; reads what arrived.
  void sync() { XSync(display_, False), pump(); }
  void pump();                     // reads what has arrived, without waiting
  std::vector<ProbeEvent> events;  // input the probe's windows got
  void clearEvents() { events.clear(); }
  int count(int type, Window window = 0, unsigned detail = 0) const {
    int n = 0;
    for (const ProbeEvent& e : events) {
      n += e.type == type && (!window || e.window == window) && (!detail || e.detail == detail);
    }
    return n;
  }
  int keys(int type, KeySym sym) const { return count(type, 0, code(sym)); }

 private:
  Display* display_ = nullptr;
};

// Repeats `step` (which should read what arrived) until `done` holds or the deadline passes,
// waiting up to 10 ms on `fds` between rounds.
bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
               const std::vector<int>& fds,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

}  // namespace nimbra::testing
