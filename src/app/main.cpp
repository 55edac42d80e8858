// nimbra-wheel: the radial-menu helper. Runs on a Wayland desktop that offers the layer shell,
// else on the X11 desktop when a display can be opened, and headless (file protocol only)
// otherwise; with --evdev, display-less with the mouse trigger over the kernel's input devices.
// With --open it only asks the helper serving the folder to act as on its hot key.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/process_state.h"
#include "app/startup.h"
#include "platform/evdev/evdev_platform.h"
#include "platform/headless/headless_platform.h"
#include "platform/open_request.h"
#include "platform/wayland/wayland_platform.h"
#include "platform/x11/x11_platform.h"
#include "wheel/paint/text_label.h"

namespace {

constexpr const char* kUsage =
    "Usage: nimbra-wheel -Dir DIRECTORY\n"
    "       nimbra-wheel --dir DIRECTORY\n"
    "       nimbra-wheel --open -Dir DIRECTORY\n"
    "       nimbra-wheel --evdev -Dir DIRECTORY\n"
    "Serves a radial menu to the host application that shares DIRECTORY with it: the wheel\n"
    "comes from DIRECTORY/wheel.cfg, each pick goes to DIRECTORY/cmd.txt, and\n"
    "DIRECTORY/stop.txt ends the helper. --open asks the helper serving DIRECTORY to act as on\n"
    "its hot key (for a compositor's key binding); --evdev takes the right button from the\n"
    "kernel's mice. See nimbra-wheel(1).\n";

}  // namespace

int main(int argc, char** argv) {
  // Alone, --help and --version answer and end before anything starts; with anything else
  // they are arguments like any other.
  if (argc == 2 &&
      (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "--version")) {
    std::fputs(std::string_view(argv[1]) == "--help" ? kUsage : "nimbra-wheel " NIMBRA_VERSION "\n",
               stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  // A file-size limit or a log reader that went away must fail a write, not end the helper.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);
  if (std::find(args.begin() + 1, args.end(), "--open") != args.end()) {
    std::string error;
    const int status = nimbra::sendOpenRequest(nimbra::dirArgument(args), error);
    if (status != 0) std::fprintf(stderr, "%s\n", error.c_str());
    return status;
  }
  // With a desktop named, fontconfig reads its configuration in a thread of Pango's while the
  // display is opened and start-up goes on; a start that ends early leaves it unfinished.
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  // Asked for by name only: grabbing a desktop's mice is never done unasked.
  const bool evdev = std::find(args.begin() + 1, args.end(), "--evdev") != args.end();
  std::unique_ptr<nimbra::PosixPlatform> platform;
  std::string noLayerShell;
  const char* fallback = "; using X11 through XWayland";
  if (evdev) {
    platform = std::make_unique<nimbra::EvdevPlatform>();
  } else {
    if ((display && *display) || (wayland && *wayland)) nimbra::startLoadingFonts();
    platform = nimbra::createWaylandPlatform(&noLayerShell);
    if (!platform) platform = nimbra::createX11Platform();
    if (!platform) {
      platform = std::make_unique<nimbra::HeadlessPlatform>();
      fallback = "; running headless";
    }
  }
  if (!noLayerShell.empty()) {
    const std::string line = "no layer-shell on this Wayland desktop: " + noLayerShell + fallback;
    std::fprintf(stderr, "%s\n", line.c_str());
    nimbra::process().platform = platform.get();
    nimbra::bootMark(line);
  }
  const int status = nimbra::runHelper(args, *platform);
  // The wheel's window belongs to the platform: let it go while the platform still exists.
  nimbra::process() = nimbra::ProcessState{};
  return status;
}
