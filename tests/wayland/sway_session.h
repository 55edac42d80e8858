// A private headless sway (pixman, no input devices) for the Wayland tests: run as the
// unprivileged user nimbra-sway when the tests run as root (sway refuses root), with its own
// runtime folder; a virtual pointer of the tests' own; pictures through grim.
#pragma once

#include <wayland-client.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace nimbra::testing {

// The screen as grim sees it: 0xRRGGBB per pixel.
struct Picture {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

class SwaySession {
 public:
  // Starts sway with `config` (sway's configuration lines) and waits up to 10 s for its socket;
  // check ok().
  explicit SwaySession(const std::string& config);
  ~SwaySession();
  SwaySession(const SwaySession&) = delete;
  SwaySession& operator=(const SwaySession&) = delete;

  bool ok() const { return !socket_.empty(); }
  // What a client of this session needs: WAYLAND_DISPLAY, XDG_RUNTIME_DIR, SWAYSOCK, no DISPLAY.
  std::vector<std::string> env() const;
  const std::string& socket() const { return socket_; }  // the Wayland socket's path
  // Runs a program (its full path) in the session to its end; its exit status.
  int run(const std::vector<std::string>& args) const;
  std::optional<Picture> screenshot() const;
  // The session's user, as the desktop's own programs run: `args` to run as that user, and a
  // file or folder of the tests' made that user's.
  std::vector<std::string> asUser(std::vector<std::string> args) const;
  void giveToUser(const std::string& path) const;

 private:
  std::string runtimeDir_;
  std::string socket_;
  std::string ipc_;
  std::unique_ptr<ChildProcess> sway_;
};

// A pointer device of the tests' own on the session's seat. Each call returns once the
// compositor has handled it.
class VirtualPointer {
 public:
  explicit VirtualPointer(const std::string& socket);
  ~VirtualPointer();
  VirtualPointer(const VirtualPointer&) = delete;
  VirtualPointer& operator=(const VirtualPointer&) = delete;
  bool ok() const { return pointer_ != nullptr; }
  // Layout points within a layout of `width` × `height`.
  void moveTo(int x, int y, int width = 1280, int height = 720);
  void click(std::uint32_t button);  // BTN_LEFT...
  void press(std::uint32_t button, bool down);

 private:
  wl_display* display_ = nullptr;
  zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  std::uint32_t time_ = 0;
};

}  // namespace nimbra::testing
