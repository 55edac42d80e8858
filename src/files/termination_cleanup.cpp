#include "files/termination_cleanup.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace nimbra {
namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Read by the handler, which may run at any moment: a slot is changed only with the
// termination signals blocked.
std::array<char[PATH_MAX], 4> gPaths{};

extern "C" void removeAndEnd(int sig) {
  for (const char* path : gPaths) {
    if (path[0] != '\0') ::unlink(path);
  }
  // SA_RESETHAND has restored the default action; it ends the process once the handler
  // returns and the signal is no longer blocked.
  ::raise(sig);
}

void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : kTerminationSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction action {};
    action.sa_handler = &removeAndEnd;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int other : kTerminationSignals) sigaddset(&action.sa_mask, other);
    ::sigaction(sig, &action, nullptr);
  }
}

// Runs `change` with the termination signals held back, so the handler never sees half a path.
template <typename F>
void withSignalsBlocked(F change) {
  sigset_t block;
  sigset_t saved;
  sigemptyset(&block);
  for (int sig : kTerminationSignals) sigaddset(&block, sig);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved);
  change();
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace

int removeOnTermination(const std::string& path) {
  if (path.empty() || path.size() >= PATH_MAX) return -1;
  installHandlers();
  int slot = -1;
  withSignalsBlocked([&] {
    for (std::size_t i = 0; i < gPaths.size(); ++i) {
      if (gPaths[i][0] == '\0') {
        std::memcpy(gPaths[i], path.c_str(), path.size() + 1);
        slot = static_cast<int>(i);
        return;
      }
    }
  });
  return slot;
}

void forgetRemoval(int slot) {
  if (slot < 0 || slot >= static_cast<int>(gPaths.size())) return;
  withSignalsBlocked([&] { gPaths[slot][0] = '\0'; });
}

}  // namespace nimbra
