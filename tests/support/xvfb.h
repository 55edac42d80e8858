// A private X server and a client of our own on it, for the X11 tests and the demo.
//
// Screenshots read Xvfb's frame-buffer file (-fbdir): XGetImage on the root shows the parts of
// a window cut away by its shape as black instead of what lies beneath.
#pragma once

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::testing {

class Xvfb {
 public:
  // Starts the server and waits for it to take connections (10 s at most); check ok().
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
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  bool savePng(const std::string& path) const;
};

// Reads Xvfb's frame-buffer file; none when it cannot be read.
std::optional<Screenshot> readXwd(const std::string& path);

// One input or focus event a probe window received.
struct ProbeEvent {
  int type = 0;
  Window window = 0;
  unsigned detail = 0;  // button or key code
  int x = 0;            // in the window
  int y = 0;
  int xRoot = 0;
  int yRoot = 0;
};

// A client connection of our own: windows to click on and look at, input through XTest. Each
// input call returns after the server has processed it.
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

  // A mapped top-level of one colour (0xRRGGBB) that records its input and focus events.
  Window createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                      bool overrideRedirect = true);
  void focus(Window window);
  Window focused() const;
  std::vector<Window> stacking() const;  // children of the root, bottom to top

  void moveTo(int x, int y);
  void press(unsigned button) { sendButton(button, true); }
  void release(unsigned button) { sendButton(button, false); }
  void click(unsigned button, int x, int y);
  void keyDown(KeySym sym) { sendKey(sym, true); }
  void keyUp(KeySym sym) { sendKey(sym, false); }
  void chord(const std::vector<KeySym>& syms);  // pressed in order, released in reverse
  // Several XTest requests in one flush, for input that must arrive back to back.
  void batch(const std::function<void(Display*)>& requests);

  void sync();  // the server has handled everything sent so far; reads what arrived
  void pump();  // reads what has arrived, without waiting
  std::vector<ProbeEvent> events;
  void clearEvents() { events.clear(); }
  int count(int type, Window window = 0) const;

 private:
  void sendButton(unsigned button, bool down);
  void sendKey(KeySym sym, bool down);
  Display* display_ = nullptr;
};

// Repeats `step` (which should read what arrived) until `done` holds or the deadline passes,
// waiting up to 10 ms on `fds` between rounds.
bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
               const std::vector<int>& fds,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

}  // namespace nimbra::testing
