#include "sway_session.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"
#include "virtual-pointer-client.h"

namespace nimbra::testing {

using namespace std::chrono_literals;

namespace {

constexpr char kUser[] = "nimbra-sway";

}  // namespace

SwaySession::SwaySession(const std::string& config) {
  char pattern[] = "/tmp/nimbra-sway-XXXXXX";
  if (!::mkdtemp(pattern)) return;
  runtimeDir_ = pattern;
  std::vector<std::string> args{"/usr/bin/sway", "-c", runtimeDir_ + "/config"};
  writeFile(runtimeDir_ + "/config", config);
  if (::geteuid() == 0 && !::getpwnam(kUser)) return;
  // The session's own folder is its user's; root, running the tests, reaches it anyway.
  giveToUser(runtimeDir_);
  ::chmod(runtimeDir_.c_str(), 0700);
  sway_ = std::make_unique<ChildProcess>(
      asUser(args),
      std::vector<std::string>{"XDG_RUNTIME_DIR=" + runtimeDir_, "WLR_BACKENDS=headless",
                               "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1",
                               "HOME=" + runtimeDir_, "WAYLAND_DISPLAY", "DISPLAY", "SWAYSOCK"});
  const bool up = eventually(
      [&] {
        for (const auto& e : std::filesystem::directory_iterator(runtimeDir_)) {
          const std::string name = e.path().filename();
          if (name.rfind("sway-ipc.", 0) == 0) ipc_ = e.path();
        }
        return !ipc_.empty() && std::filesystem::exists(runtimeDir_ + "/wayland-1");
      },
      10s);
  if (up) socket_ = runtimeDir_ + "/wayland-1";
}

SwaySession::~SwaySession() {
  sway_.reset();
  if (runtimeDir_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(runtimeDir_, ec);
}

std::vector<std::string> SwaySession::env() const {
  return {"WAYLAND_DISPLAY=wayland-1", "XDG_RUNTIME_DIR=" + runtimeDir_, "SWAYSOCK=" + ipc_,
          "DISPLAY"};
}

std::vector<std::string> SwaySession::asUser(std::vector<std::string> args) const {
  if (::geteuid() != 0) return args;
  args.insert(args.begin(), {"/usr/bin/setpriv", std::string("--reuid=") + kUser,
                             std::string("--regid=") + kUser, "--clear-groups", "--"});
  return args;
}

void SwaySession::giveToUser(const std::string& path) const {
  const passwd* user = ::getpwnam(kUser);
  // A failure shows in the test that needed it.
  if (::geteuid() == 0 && user) (void)!::chown(path.c_str(), user->pw_uid, user->pw_gid);
}

int SwaySession::run(const std::vector<std::string>& args) const {
  ChildProcess child(args, env());
  return child.waitExit(10s).value_or(-1);
}

std::optional<Picture> SwaySession::screenshot() const {
  const std::string path = runtimeDir_ + "/shot.ppm";
  if (run({"/usr/bin/grim", "-t", "ppm", path}) != 0) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int max = 0;
  Picture p;
  in >> magic >> p.width >> p.height >> max;
  in.get();
  if (magic != "P6" || max != 255 || p.width <= 0 || p.height <= 0) return std::nullopt;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(p.width) * p.height * 3);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!in) return std::nullopt;
  p.pixels.resize(bytes.size() / 3);
  for (std::size_t i = 0; i < p.pixels.size(); ++i) {
    p.pixels[i] = bytes[3 * i] << 16 | bytes[3 * i + 1] << 8 | bytes[3 * i + 2];
  }
  return p;
}

VirtualPointer::VirtualPointer(const std::string& socket) {
  display_ = wl_display_connect(socket.c_str());
  if (!display_) return;
  wl_registry* registry = wl_display_get_registry(display_);
  static const wl_registry_listener listener{
      [](void* self, wl_registry* r, std::uint32_t name, const char* iface, std::uint32_t) {
        if (std::strcmp(iface, zwlr_virtual_pointer_manager_v1_interface.name) != 0) return;
        static_cast<VirtualPointer*>(self)->manager_ =
            static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(r, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry_add_listener(registry, &listener, this);
  wl_display_roundtrip(display_);
  wl_registry_destroy(registry);
  if (!manager_) return;
  pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, nullptr);
  wl_display_roundtrip(display_);
}

VirtualPointer::~VirtualPointer() {
  // The description has no destroy requests: the proxies go on this side alone.
  if (pointer_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(pointer_));
  if (manager_) wl_proxy_destroy(reinterpret_cast<wl_proxy*>(manager_));
  if (display_) wl_display_disconnect(display_);
}

void VirtualPointer::moveTo(int x, int y, int width, int height) {
  zwlr_virtual_pointer_v1_motion_absolute(pointer_, ++time_, x, y, width, height);
  zwlr_virtual_pointer_v1_frame(pointer_);
  wl_display_roundtrip(display_);
}

void VirtualPointer::press(std::uint32_t button, bool down) {
  zwlr_virtual_pointer_v1_button(pointer_, ++time_, button, down ? 1 : 0);
  zwlr_virtual_pointer_v1_frame(pointer_);
  wl_display_roundtrip(display_);
}

void VirtualPointer::click(std::uint32_t button) {
  press(button, true);
  press(button, false);
}

}  // namespace nimbra::testing
