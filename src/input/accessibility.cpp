#include "input/accessibility.h"

#include "app/process_state.h"

namespace nimbra {

bool ensureAccessibility() {
  ProcessState& p = process();
  if (p.platform->isProcessTrusted(/*prompt=*/true)) {
    p.paths->remove("need_access.txt");
    return true;
  }
  p.paths->write("need_access.txt", "1");
  log("accessibility permission NOT granted yet");
  return false;
}

}  // namespace nimbra
