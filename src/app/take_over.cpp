#include "app/take_over.h"

#include <optional>
#include <string>

#include "app/heartbeat.h"
#include "app/process_state.h"

namespace nimbra {
namespace {

using State = WorkDirLock::State;

// A holder with no record of its own yet (its first heartbeat comes a second after it starts)
// or one that is stopping is waited for this long: one heartbeat period and a half, read again
// every tenth of a second.
constexpr int kWaitSlices = 15;
constexpr double kSliceSeconds = 0.1;

bool isStale(std::int64_t nowMs, std::int64_t stampMs) {
  // The difference of two int64 values may not fit; such a record is stale by any reading.
  std::int64_t age = 0;
  if (__builtin_sub_overflow(nowMs, stampMs, &age)) return stampMs < 0;
  return age >= kWedgedAfterMs;
}

// The time stamp of the record in pid.txt when it names `holder`. 0 and negative ids name
// process groups or everyone, never one process.
std::optional<std::int64_t> recordOf(std::int32_t holder) {
  if (holder <= 0) return std::nullopt;
  const auto record = parseHeartbeat(process().paths->read("pid.txt"));
  if (!record || record->pid != holder) return std::nullopt;
  return record->stampMs;
}

void logHealthy(std::int32_t holder) {
  log("healthy helper already running (pid " + std::to_string(holder) + ") \u2014 exiting");
}

bool decideByRecord(Platform& platform, std::int32_t holder, std::int64_t stampMs) {
  if (!isStale(toEpochMs(platform.now()), stampMs)) {
    logHealthy(holder);
    return false;
  }
  log("wedged helper pid " + std::to_string(holder) + " \u2014 terminating it");
  platform.terminate(holder);
  // A stopped process keeps its lock until it runs again and ends; this one serves meanwhile.
  platform.takeWorkDirectoryLockWhenFree();
  return true;
}

}  // namespace

bool takeOverIfNeeded() {
  ProcessState& p = process();
  Platform& platform = *p.platform;
  WorkDirLock lock = platform.lockWorkDirectory(p.paths->join(kLockFileName));
  if (lock.state == State::kUnavailable) {
    // Without the lock nobody can be told to serve this folder: a record alone may name any
    // process, so it is never acted upon. Nothing is logged: the log's messages are fixed.
    return true;
  }
  if (lock.state == State::kAcquired) return true;  // nobody serves, whatever pid.txt says

  std::int32_t holder = lock.holder;
  for (int slice = 0;; ++slice) {
    if (const auto stampMs = recordOf(holder)) return decideByRecord(platform, holder, *stampMs);
    if (slice == kWaitSlices) break;
    lock = platform.awaitWorkDirectoryLock(kSliceSeconds);
    // Free at last (the holder stopped), or free but out of reach from here: carry on.
    if (lock.state != State::kHeld) return true;
    if (lock.holder > 0) holder = lock.holder;
  }
  logHealthy(holder);
  return false;
}

}  // namespace nimbra
