#include "platform/evdev/evdev_mouse.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nimbra {

bool looksLikeMouse(const libevdev* dev) {
  const char* phys = libevdev_get_phys(dev);
  if (phys && std::strncmp(phys, kMirrorPhys, std::strlen(kMirrorPhys)) == 0) return false;
  return libevdev_has_event_code(dev, EV_REL, REL_X) &&
         libevdev_has_event_code(dev, EV_REL, REL_Y) &&
         libevdev_has_event_code(dev, EV_KEY, BTN_RIGHT) && !libevdev_has_event_type(dev, EV_ABS);
}

std::unique_ptr<EvdevMouse> EvdevMouse::open(const std::string& devnode) {
  const int fd = ::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  libevdev* dev = nullptr;
  if (libevdev_new_from_fd(fd, &dev) < 0) {
    ::close(fd);
    return nullptr;
  }
  if (!looksLikeMouse(dev)) {
    libevdev_free(dev);
    ::close(fd);
    return nullptr;
  }
  // The twin keeps the name, ids and capabilities (compositors match settings on them) but
  // carries our mark in its physical path, set on our own uinput descriptor: libevdev passes
  // on no physical path.
  const int uinput = ::open("/dev/uinput", O_RDWR | O_CLOEXEC);
  const std::string phys =
      std::string(kMirrorPhys) + "/" + (libevdev_get_phys(dev) ? libevdev_get_phys(dev) : "");
  libevdev_uinput* mirror = nullptr;
  if (uinput < 0 || ::ioctl(uinput, UI_SET_PHYS, phys.c_str()) != 0 ||
      libevdev_uinput_create_from_device(dev, uinput, &mirror) < 0) {
    if (uinput >= 0) ::close(uinput);
    libevdev_free(dev);
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<EvdevMouse>(new EvdevMouse(fd, dev, mirror, uinput));
}

EvdevMouse::EvdevMouse(int fd, libevdev* dev, libevdev_uinput* mirror, int uinput)
    : fd_(fd), dev_(dev), mirror_(mirror), uinput_(uinput) {}

EvdevMouse::~EvdevMouse() {
  libevdev_uinput_destroy(mirror_);
  ::close(uinput_);
  libevdev_free(dev_);
  ::close(fd_);  // lets the grab go
}

bool EvdevMouse::anyButtonDown() const {
  for (int code = BTN_MOUSE; code < BTN_JOYSTICK; ++code) {
    if (libevdev_has_event_code(dev_, EV_KEY, code) && libevdev_get_event_value(dev_, EV_KEY, code))
      return true;
  }
  return false;
}

bool EvdevMouse::down(int button) const {
  return libevdev_get_event_value(dev_, EV_KEY, button) != 0;
}

bool EvdevMouse::grabIfIdle() {
  if (grabbed_) return true;
  if (anyButtonDown()) return false;
  if (::ioctl(fd_, EVIOCGRAB, 1) != 0) return false;
  grabbed_ = true;
  return true;
}

void EvdevMouse::ungrab() {
  ::ioctl(fd_, EVIOCGRAB, 0);
  grabbed_ = false;
}

bool EvdevMouse::readFrames(const std::function<void(const std::vector<input_event>&)>& onFrame) {
  unsigned flags = LIBEVDEV_READ_FLAG_NORMAL;
  for (;;) {
    input_event ev{};
    const int rc = libevdev_next_event(dev_, flags, &ev);
    if (rc == -EAGAIN) {
      if (flags == LIBEVDEV_READ_FLAG_SYNC) {
        flags = LIBEVDEV_READ_FLAG_NORMAL;
        continue;
      }
      return true;
    }
    if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      // Events were lost in the kernel's buffer: the rest of the frame is stale, and the
      // state comes back as one resynchronising frame.
      frame_.clear();
      flags = LIBEVDEV_READ_FLAG_SYNC;
    } else if (rc < 0) {
      return rc != -ENODEV;
    }
    if (ev.type == EV_SYN && ev.code == SYN_DROPPED) continue;
    if (ev.type == EV_SYN && ev.code == SYN_REPORT) {
      onFrame(frame_);
      frame_.clear();
    } else {
      frame_.push_back(ev);
    }
  }
}

void EvdevMouse::emit(const std::vector<input_event>& frame) {
  if (frame.empty()) return;
  for (const input_event& ev : frame)
    libevdev_uinput_write_event(mirror_, ev.type, ev.code, ev.value);
  libevdev_uinput_write_event(mirror_, EV_SYN, SYN_REPORT, 0);
}

}  // namespace nimbra
