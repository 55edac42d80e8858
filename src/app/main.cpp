// nimbra-wheel: the radial-menu helper. Runs on the X11 desktop when a display can be opened,
// and headless (file protocol only) otherwise; with --evdev, display-less with the mouse
// trigger over the kernel's input devices.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/startup.h"
#include "platform/evdev/evdev_platform.h"
#include "platform/headless/headless_platform.h"
#include "platform/x11/x11_platform.h"
#include "wheel/paint/text_label.h"

int main(int argc, char** argv) {
  // A file-size limit or a log reader that went away must fail a write, not end the helper.
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv, argv + argc);
  // With a display named, fontconfig reads its configuration in a thread of Pango's while the
  // display is opened and start-up goes on; a start that ends early leaves it unfinished.
  const char* display = std::getenv("DISPLAY");
  // Asked for by name only: grabbing a desktop's mice is never done unasked.
  const bool evdev = std::find(args.begin() + 1, args.end(), "--evdev") != args.end();
  std::unique_ptr<nimbra::PosixPlatform> platform;
  if (evdev) {
    platform = std::make_unique<nimbra::EvdevPlatform>();
  } else {
    if (display && *display) nimbra::startLoadingFonts();
    platform = nimbra::createX11Platform();
    if (!platform) platform = std::make_unique<nimbra::HeadlessPlatform>();
  }
  const int status = nimbra::runHelper(args, *platform);
  // The wheel's window belongs to the platform: let it go while the platform still exists.
  nimbra::process() = nimbra::ProcessState{};
  return status;
}
