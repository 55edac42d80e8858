#include "app/take_over.h"

#include <string>

#include "app/heartbeat.h"
#include "app/process_state.h"

namespace nimbra {

bool takeOverIfNeeded() {
  ProcessState& p = process();
  Platform& platform = *p.platform;
  const auto record = parseHeartbeat(p.paths->read("pid.txt"));
  if (!record) return true;
  const std::int32_t pid = record->pid;
  // 0 and negative ids name process groups or everyone: never probe or signal those.
  if (pid <= 0 || pid == platform.processId()) return true;
  if (platform.signalProbe(pid) != 0) return true;
  // Only another nimbra-wheel counts: a recycled id must never be signalled or yielded to.
  if (!platform.isSameProgram(pid)) return true;

  const std::int64_t nowMs = toEpochMs(platform.now());
  // The difference of two int64 values may not fit; such a record is stale by any reading.
  std::int64_t age = 0;
  const bool overflow = __builtin_sub_overflow(nowMs, record->stampMs, &age);
  if (overflow ? record->stampMs < 0 : age >= kWedgedAfterMs) {
    log("wedged helper pid " + std::to_string(pid) + " \u2014 terminating it");
    platform.terminate(pid);
    return true;
  }
  log("healthy helper already running (pid " + std::to_string(pid) + ") \u2014 exiting");
  return false;
}

}  // namespace nimbra
