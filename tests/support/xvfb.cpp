#include "support/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace nimbra::testing {

Xvfb::Xvfb(int width, int height) {
  char dirTemplate[] = "/tmp/nimbra-xvfb-XXXXXX";
  int fds[2];
  if (!mkdtemp(dirTemplate) || pipe2(fds, O_CLOEXEC) != 0) return;
  fbdir_ = dirTemplate;
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies leaves no server behind
    // Xvfb writes its display number to the write end, kept open across exec by dup.
    const std::string fd = std::to_string(dup(fds[1]));
    const int null = open("/dev/null", O_RDWR);
    for (int std : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, std);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten",
           "tcp", "-fbdir", fbdir_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  char c = 0;
  // Up to a newline; nothing within 10 s, or the server's end, means no server.
  while (pid_ > 0 && poll(&p, 1, 10000) == 1 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (c == '\n' && !number.empty()) display_ = ":" + number;
  if (display_.empty()) stop();
}

void Xvfb::stop() {
  if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
  std::error_code ignored;
  if (!fbdir_.empty()) std::filesystem::remove_all(fbdir_, ignored);
  fbdir_.clear();
}

std::optional<Screenshot> readXwd(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)), {});
  auto word = [&](std::size_t at, bool lsb) {
    const unsigned char* p = b.data() + at;
    return lsb ? std::uint32_t(p[3]) << 24 | p[2] << 16 | p[1] << 8 | p[0]
               : std::uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  };
  // XWDFileHeader: 25 big-endian words, then the window name, then the colour table.
  auto field = [&](int index) { return b.size() < 100 ? 0 : word(index * 4u, false); };
  const std::size_t line = field(12);
  const std::size_t offset = field(0) + std::size_t{field(19)} * 12;
  Screenshot shot{int(field(4)), int(field(5)), {}};
  if (field(11) != 32 || field(14) != 0xFF0000 || offset + line * shot.height > b.size()) return {};
  for (int y = 0; y < shot.height; ++y) {
    for (int x = 0; x < shot.width; ++x) {
      shot.pixels.push_back(word(offset + y * line + x * 4u, field(7) == LSBFirst) & 0xFFFFFF);
    }
  }
  return shot;
}

Window XProbe::createWindow(int x, int y, int width, int height, std::uint32_t rgb,
                            bool overrideRedirect) {
  XSetWindowAttributes a{};
  a.background_pixel = rgb;
  a.override_redirect = overrideRedirect;
  a.event_mask = ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask |
                 PointerMotionMask | FocusChangeMask;
  const Window w = XCreateWindow(display_, root(), x, y, unsigned(width), unsigned(height), 0,
                                 CopyFromParent, InputOutput, CopyFromParent,
                                 CWBackPixel | CWOverrideRedirect | CWEventMask, &a);
  XMapRaised(display_, w);
  XSync(display_, False);
  return w;
}

std::vector<Window> XProbe::stacking() const {
  Window parent = 0;
  Window* children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(display_, root(), &parent, &parent, &children, &n)) return {};
  std::vector<Window> out(children, children + n);
  if (children) XFree(children);
  return out;
}

void XProbe::chord(const std::vector<KeySym>& syms) {
  batch([&](Display* d) {
    for (KeySym s : syms) XTestFakeKeyEvent(d, code(s), True, 0);
    for (auto s = syms.rbegin(); s != syms.rend(); ++s) XTestFakeKeyEvent(d, code(*s), False, 0);
  });
}

void XProbe::pump() {
  while (XPending(display_) > 0) {
    XEvent e;
    XNextEvent(display_, &e);
    if (e.type == FocusIn || e.type == FocusOut) {  // the mode (NotifyGrab...) as the detail
      events.push_back({e.type, e.xany.window, unsigned(e.xfocus.mode), 0, 0});
      continue;
    }
    if (e.type < KeyPress || e.type > MotionNotify) continue;
    // Key, button and motion events share one layout; a key code sits where the button does.
    const unsigned detail = e.type == MotionNotify ? 0 : e.xbutton.button;
    events.push_back({e.type, e.xany.window, detail, e.xbutton.x_root, e.xbutton.y_root});
  }
}

bool waitUntil(const std::function<bool()>& done, const std::function<void()>& step,
               const std::vector<int>& fds, std::chrono::milliseconds deadline) {
  std::vector<pollfd> polls;
  for (int fd : fds) polls.push_back(pollfd{fd, POLLIN, 0});
  for (auto end = std::chrono::steady_clock::now() + deadline;;
       poll(polls.data(), polls.size(), 10)) {
    step();
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
  }
}

}  // namespace nimbra::testing
