#include "support/xvfb.h"

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <cairo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace nimbra::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

int shiftOf(std::uint32_t mask) {
  int shift = 0;
  while (mask && !(mask & 1)) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

}  // namespace

Xvfb::Xvfb(int width, int height) {
  char dirTemplate[] = "/tmp/nimbra-xvfb-XXXXXX";
  if (!mkdtemp(dirTemplate)) return;
  fbdir_ = dirTemplate;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies must not leave its server behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The write end, without close-on-exec, is where Xvfb reports its display number.
    const int out = dup(fds[1]);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    const std::string fd = std::to_string(out);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
           "tcp", "-fbdir", fbdir_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (pid_ > 0 && Clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (poll(&p, 1, static_cast<int>(std::max<long>(left, 1))) <= 0) continue;
    char c = 0;
    if (read(fds[0], &c, 1) != 1) break;  // the server ended before it was ready
    if (c == '\n') {
      if (!number.empty()) display_ = ":" + number;
      break;
    }
    number += c;
  }
  close(fds[0]);
  if (display_.empty()) stop();
}

void Xvfb::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (!fbdir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(fbdir_, ignored);
    fbdir_.clear();
  }
}

bool Screenshot::savePng(const std::string& path) const {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y) {
    std::memcpy(data + static_cast<std::size_t>(y) * stride,
                &pixels[static_cast<std::size_t>(y) * width], static_cast<std::size_t>(width) * 4);
  }
  cairo_surface_mark_dirty(surface);
  const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

std::optional<Screenshot> readXwd(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  if (bytes.size() < 100) return std::nullopt;
  auto field = [&](int index) { return bigEndian32(bytes.data() + index * 4); };
  // XWDFileHeader: 25 big-endian words, then the window name, then the colour table.
  const std::uint32_t headerSize = field(0);
  const int width = static_cast<int>(field(4));
  const int height = static_cast<int>(field(5));
  const std::uint32_t byteOrder = field(7);
  const std::uint32_t bitsPerPixel = field(11);
  const std::uint32_t bytesPerLine = field(12);
  const std::uint32_t masks[3] = {field(14), field(15), field(16)};
  const std::uint32_t colours = field(19);
  const std::size_t offset = headerSize + static_cast<std::size_t>(colours) * 12;
  if (bitsPerPixel != 32 ||
      offset + static_cast<std::size_t>(bytesPerLine) * height > bytes.size()) {
    return std::nullopt;
  }
  Screenshot shot;
  shot.width = width;
  shot.height = height;
  shot.pixels.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = bytes.data() + offset + static_cast<std::size_t>(y) * bytesPerLine;
    for (int x = 0; x < width; ++x) {
      const unsigned char* p = row + x * 4;
      const std::uint32_t v = byteOrder == LSBFirst
                                  ? (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[2]} << 16) |
                                        (std::uint32_t{p[1]} << 8) | p[0]
                                  : bigEndian32(p);
      std::uint32_t rgb = 0;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t channel = (v & masks[c]) >> shiftOf(masks[c]);
        rgb |= (channel & 0xFF) << (16 - 8 * c);
      }
      shot.pixels[static_cast<std::size_t>(y) * width + x] = rgb;
    }
  }
  return shot;
}

Window XProbe::createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                            bool overrideRedirect) {
  XSetWindowAttributes a{};
  a.background_pixel = rgb;
  a.override_redirect = overrideRedirect ? True : False;
  a.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask |
                 PointerMotionMask | FocusChangeMask;
  const Window w =
      XCreateWindow(display_, root(), x, y, static_cast<unsigned>(width),
                    static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWBackPixel | CWOverrideRedirect | CWEventMask, &a);
  XMapRaised(display_, w);
  XSync(display_, False);
  return w;
}

void XProbe::focus(Window window) {
  XSetInputFocus(display_, window, RevertToParent, CurrentTime);
  sync();
}

Window XProbe::focused() const {
  Window w = 0;
  int revert = 0;
  XGetInputFocus(display_, &w, &revert);
  return w;
}

std::vector<Window> XProbe::stacking() const {
  Window parent = 0;
  Window* children = nullptr;
  unsigned n = 0;
  std::vector<Window> out;
  if (XQueryTree(display_, root(), &parent, &parent, &children, &n)) {
    out.assign(children, children + n);
    if (children) XFree(children);
  }
  return out;
}

void XProbe::moveTo(int x, int y) {
  batch([&](Display* d) { XTestFakeMotionEvent(d, -1, x, y, CurrentTime); });
}

void XProbe::sendButton(unsigned button, bool down) {
  batch([&](Display* d) { XTestFakeButtonEvent(d, button, down, CurrentTime); });
}

void XProbe::click(unsigned button, int x, int y) {
  batch([&](Display* d) {
    XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(d, button, True, CurrentTime);
    XTestFakeButtonEvent(d, button, False, CurrentTime);
  });
}

void XProbe::sendKey(KeySym sym, bool down) {
  batch([&](Display* d) { XTestFakeKeyEvent(d, XKeysymToKeycode(d, sym), down, CurrentTime); });
}

void XProbe::chord(const std::vector<KeySym>& syms) {
  batch([&](Display* d) {
    for (KeySym s : syms) XTestFakeKeyEvent(d, XKeysymToKeycode(d, s), True, CurrentTime);
    for (auto it = syms.rbegin(); it != syms.rend(); ++it) {
      XTestFakeKeyEvent(d, XKeysymToKeycode(d, *it), False, CurrentTime);
    }
  });
}

void XProbe::batch(const std::function<void(Display*)>& requests) {
  requests(display_);
  sync();
}

void XProbe::sync() {
  XSync(display_, False);
  pump();
}

void XProbe::pump() {
  while (XPending(display_) > 0) {
    XEvent e;
    XNextEvent(display_, &e);
    ProbeEvent p{e.type, e.xany.window};
    if (e.type == ButtonPress || e.type == ButtonRelease) {
      p = {e.type,      e.xany.window,    e.xbutton.button, e.xbutton.x,
           e.xbutton.y, e.xbutton.x_root, e.xbutton.y_root};
    } else if (e.type == KeyPress || e.type == KeyRelease) {
      p.detail = e.xkey.keycode;
    } else if (e.type == MotionNotify) {
      p = {e.type, e.xany.window, 0, e.xmotion.x, e.xmotion.y, e.xmotion.x_root, e.xmotion.y_root};
    } else if (e.type != FocusIn && e.type != FocusOut) {
      continue;
    }
    events.push_back(p);
  }
}

int XProbe::count(int type, Window window) const {
  int n = 0;
  for (const ProbeEvent& e : events) n += e.type == type && (window == 0 || e.window == window);
  return n;
}

bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
               const std::vector<int>& fds, std::chrono::milliseconds deadline) {
  const auto end = Clock::now() + deadline;
  std::vector<pollfd> polls;
  for (int fd : fds) polls.push_back(pollfd{fd, POLLIN, 0});
  while (true) {
    step();
    if (done()) return true;
    if (Clock::now() >= end) return false;
    poll(polls.data(), polls.size(), 10);
  }
}

}  // namespace nimbra::testing
