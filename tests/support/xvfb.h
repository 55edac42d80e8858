// A private X server and a client of our own on it, for the X11 tests and the demo.
//
// Xvfb picks a free display number itself (-displayfd) and keeps its frame buffer in an xwd
// file (-fbdir): screenshots read that file, because XGetImage on the root shows the parts of
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
  ~Xvfb();  // stops the server
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }  // ":N"
  std::string framebufferFile() const { return fbdir_ + "/Xvfb_screen0"; }
  pid_t pid() const { return pid_; }
  // Ends the server now (SIGTERM, then waits for it).
  void stop();

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
  int type = 0;  // ButtonPress, ButtonRelease, KeyPress, KeyRelease, MotionNotify, FocusIn...
  Window window = 0;
  unsigned detail = 0;  // button or key code
  int x = 0;            // in the window
  int y = 0;
  int xRoot = 0;
  int yRoot = 0;
};

// A client connection of our own: windows to click on and look at, input through XTest.
class XProbe {
 public:
  explicit XProbe(const std::string& display);
  ~XProbe();
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;

  bool ok() const { return display_ != nullptr; }
  Display* display() const { return display_; }
  Window root() const;

  // A mapped top-level of one colour (0xRRGGBB) that records its button, key and motion
  // events; returns once the server has mapped it.
  Window createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                      bool overrideRedirect = true);
  void destroyWindow(Window window);
  void focus(Window window);
  Window focused() const;
  // Children of the root window, bottom to top.
  std::vector<Window> stacking() const;

  // XTest input; each call returns after the server has processed it (one round trip).
  void moveTo(int x, int y);
  void press(unsigned button);
  void release(unsigned button);
  void click(unsigned button, int x, int y);
  void keyDown(KeySym sym);
  void keyUp(KeySym sym);
  // Presses the keys in order and releases them in reverse.
  void chord(const std::vector<KeySym>& syms);
  // Several XTest requests in one flush, for input that must arrive back to back.
  void batch(const std::function<void(Display*)>& requests);

  // Waits for the server to have handled everything sent so far, and reads what arrived.
  void sync();
  // Reads the events that have arrived, without waiting.
  void pump();
  std::vector<ProbeEvent> events;
  void clearEvents() { events.clear(); }
  int count(int type, Window window = 0) const;

 private:
  Display* display_ = nullptr;
  std::vector<Window> windows_;
};

// Repeats `step` (which should read what arrived) until `done` holds or the deadline passes;
// between rounds it waits on `fds` becoming readable, 10 ms at most.
bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
               const std::vector<int>& fds,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

}  // namespace nimbra::testing
