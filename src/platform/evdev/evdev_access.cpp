#include "platform/evdev/evdev_access.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <cstring>

namespace nimbra {
namespace {

bool canOpen(const char* path, int flags) {
  const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool isSet(udev_device* d, const char* property) {
  const char* value = udev_device_get_property_value(d, property);
  return value && std::strcmp(value, "1") == 0;
}

}  // namespace

bool evdevAccessGranted() {
  if (!canOpen("/dev/uinput", O_WRONLY)) return false;
  udev* u = udev_new();
  if (!u) return false;
  bool all = true;
  udev_enumerate* e = udev_enumerate_new(u);
  udev_enumerate_add_match_subsystem(e, "input");
  udev_enumerate_add_match_sysname(e, "event*");
  udev_enumerate_add_match_property(e, "ID_INPUT_MOUSE", "1");
  udev_enumerate_scan_devices(e);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    udev_device* d = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
    if (!d) continue;
    const char* node = udev_device_get_devnode(d);
    if (node && !isSet(d, "ID_INPUT_TOUCHPAD") && !canOpen(node, O_RDONLY)) all = false;
    udev_device_unref(d);
  }
  udev_enumerate_unref(e);
  udev_unref(u);
  return all;
}

}  // namespace nimbra
