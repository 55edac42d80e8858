#include "platform/evdev/modifier_keys.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace nimbra {
namespace {

// A keyboard has the modifier keys and letters.
bool looksLikeKeyboard(int fd) {
  unsigned char keys[KEY_MAX / 8 + 1] = {};
  if (::ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0) return false;
  auto has = [&](int code) { return (keys[code / 8] >> (code % 8)) & 1; };
  return has(KEY_LEFTSHIFT) && has(KEY_LEFTCTRL) && has(KEY_A);
}

}  // namespace

ModifierKeys::~ModifierKeys() {
  for (auto& [node, fd] : keyboards_) ::close(fd);
}

void ModifierKeys::add(const std::string& devnode) {
  if (keyboards_.count(devnode)) return;
  const int fd = ::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  // An all-zero mask of event types (whole longs, as the kernel reads it): nothing is queued
  // for this descriptor.
  unsigned long none[EV_CNT / (8 * sizeof(unsigned long)) + 1] = {};
  input_mask mask{EV_SYN, sizeof none, reinterpret_cast<std::uint64_t>(none)};
  if (!looksLikeKeyboard(fd) || ::ioctl(fd, EVIOCSMASK, &mask) != 0) {
    ::close(fd);
    return;
  }
  keyboards_[devnode] = fd;
}

void ModifierKeys::remove(const std::string& devnode) {
  auto it = keyboards_.find(devnode);
  if (it == keyboards_.end()) return;
  ::close(it->second);
  keyboards_.erase(it);
}

bool ModifierKeys::anyHeld() const {
  static constexpr int kModifiers[] = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                                       KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};
  for (const auto& [node, fd] : keyboards_) {
    unsigned char state[KEY_MAX / 8 + 1] = {};
    if (::ioctl(fd, EVIOCGKEY(sizeof state), state) < 0) continue;
    for (int code : kModifiers) {
      if ((state[code / 8] >> (code % 8)) & 1) return true;
    }
  }
  return false;
}

}  // namespace nimbra
