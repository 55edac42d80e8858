// nimbra-wheel-demo: the helper at work on a sample wheel, for a first look.
//
// With a display, the helper runs on it: hold the right mouse button on the desktop (or press
// Super+Alt+W), pick a tool, and watch the messages arrive; Ctrl+C stops. Without a display, a
// scripted tour runs on a private X server and leaves screenshots behind.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "helper_process.h"
#include "sample_wheel.h"
#include "scripted_tour.h"
#include "work_dir_watch.h"

namespace nimbra::demo {
namespace {

int runOnDesktop(const std::string& dir) {
  // Ctrl+C arrives as something to read, so the loop below can stop the helper cleanly.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

  WorkDirWatch watch(dir);
  HelperProcess helper(dir, "");
  std::printf("nimbra-wheel runs on %s with the work directory %s\n", std::getenv("DISPLAY"),
              dir.c_str());
  std::printf(
      "Hold the right mouse button for 0.4 s, move onto a tool and release; or press "
      "Super+Alt+W,\npoint and left-click. Every message in cmd.txt shows here. Ctrl+C stops.\n");
  std::fflush(stdout);
  while (!helper.ended()) {
    pollfd fds[2] = {{watch.fd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    poll(fds, 2, 1000);
    if (fds[1].revents & POLLIN) {
      std::printf("\nstopping the helper...\n");
      const int status = helper.stop();
      std::printf("helper exited with status %d\n", status);
      return 0;
    }
    for (const std::string& name : watch.changes(std::chrono::milliseconds(0))) {
      if (name == "cmd.txt") {
        std::printf("cmd.txt: %s\n", readText(dir + "/cmd.txt").c_str());
        std::fflush(stdout);
      }
    }
  }
  std::printf("the helper ended on its own; log.txt:\n%s", readText(dir + "/log.txt").c_str());
  return 1;
}

}  // namespace
}  // namespace nimbra::demo

int main() {
  const std::string dir = nimbra::demo::createWorkDir();
  if (dir.empty()) {
    std::perror("cannot create a work directory under /tmp");
    return 1;
  }
  const char* display = std::getenv("DISPLAY");
  if (display && *display) return nimbra::demo::runOnDesktop(dir);
  return nimbra::demo::runScriptedTour(dir);
}
