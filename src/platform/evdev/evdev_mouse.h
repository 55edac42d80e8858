// One taken pointing device: its libevdev handle, its grab, and the virtual twin (uinput) that
// re-emits what the helper lets through, with the device's own capabilities.
#pragma once

#include <linux/input.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

struct libevdev;
struct libevdev_uinput;

namespace nimbra {

// Marks the twins in their physical path, so no helper ever takes one for a mouse.
inline constexpr const char* kMirrorPhys = "nimbra-wheel-mirror";

class EvdevMouse {
 public:
  // None when `devnode` is not a mouse, cannot be opened, or its twin cannot be made.
  static std::unique_ptr<EvdevMouse> open(const std::string& devnode);
  ~EvdevMouse();
  EvdevMouse(const EvdevMouse&) = delete;
  EvdevMouse& operator=(const EvdevMouse&) = delete;

  int fd() const { return fd_; }
  bool grabbed() const { return grabbed_; }
  bool down(int button) const;
  // Grabs only with no button down: a grab taken mid-press leaves the press stuck elsewhere.
  bool grabIfIdle();
  void ungrab();
  // Reads what is queued and hands each complete frame (without its SYN_REPORT) to `onFrame`;
  // false when the device has gone.
  bool readFrames(const std::function<void(const std::vector<input_event>&)>& onFrame);
  // Writes the events to the twin, closed by a SYN_REPORT; nothing for an empty frame.
  void emit(const std::vector<input_event>& frame);

 private:
  EvdevMouse(int fd, libevdev* dev, libevdev_uinput* mirror, int uinput);
  bool anyButtonDown() const;

  int fd_;
  libevdev* dev_;
  libevdev_uinput* mirror_;
  int uinput_;
  bool grabbed_ = false;
  std::vector<input_event> frame_;
};

// Whether a device is a mouse, from its capabilities: relative X/Y and a right button
// (touchpads, tablets and touch screens report absolute axes and are left to the desktop).
bool looksLikeMouse(const libevdev* dev);

}  // namespace nimbra
