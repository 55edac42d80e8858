#include "input/accessibility.h"

#include "app/process_state.h"

namespace nimbra {

bool ensureAccessibility() {
  ProcessState& p = process();
  if (p.platform->isProcessTrusted(/*prompt=*/true)) {
    p.paths->remove("need_access.txt");
    return true;
  }
  // Replacing an unchanged file each second would free the old one, which on a file system that
  // discards freed blocks at once waits for the disk: a second wake-up per tick.
  if (p.paths->read("need_access.txt") != "1") p.paths->write("need_access.txt", "1");
  log("accessibility permission NOT granted yet");
  return false;
}

}  // namespace nimbra
