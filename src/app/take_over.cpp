#include "app/take_over.h"

#include <optional>
#include <string>

#include "app/heartbeat.h"
#include "app/process_state.h"

namespace nimbra {
namespace {

using State = WorkDirLock::State;

// A holder with no record of its own yet (its first heartbeat comes a second after it starts)
// or one that is stopping is waited for, read again every tenth of a second: at least one
// heartbeat period and a half, and until the holder has run long enough to have written one
// (a start storm slows every start down), five seconds at most.
constexpr int kWaitSlices = 15;
constexpr int kMostWaitSlices = 50;
constexpr double kSliceSeconds = 0.1;
constexpr double kRecordDueWithinSeconds = 2.5;

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

// Where the lock cannot tell who serves: this one serves unless a fresh record names a live
// process, which is yielded to.
bool serveUnlessARecordServes(Platform& platform) {
  const auto record = parseHeartbeat(process().paths->read("pid.txt"));
  if (!record || record->pid <= 0 || record->pid == platform.processId()) return true;
  if (isStale(toEpochMs(platform.now()), record->stampMs)) return true;
  if (!platform.processExists(record->pid)) return true;
  logHealthy(record->pid);
  return false;
}

bool endWedged(Platform& platform, std::int32_t holder) {
  log("wedged helper pid " + std::to_string(holder) + " \u2014 terminating it");
  platform.terminate(holder);
  process().wedgedHolder = holder;
  // A stopped process keeps its lock until it runs again and ends; this one serves meanwhile.
  platform.takeWorkDirectoryLockWhenFree();
  return true;
}

bool decideByRecord(Platform& platform, std::int32_t holder, std::int64_t stampMs) {
  if (!isStale(toEpochMs(platform.now()), stampMs)) {
    logHealthy(holder);
    return false;
  }
  return endWedged(platform, holder);
}

}  // namespace

bool takeOverIfNeeded() {
  ProcessState& p = process();
  Platform& platform = *p.platform;
  WorkDirLock lock = platform.lockWorkDirectory(p.paths->join(kLockFileName));
  if (lock.state == State::kAcquired) return true;  // nobody serves, whatever pid.txt says
  if (lock.state == State::kUnavailable) {
    // Nobody can be told to serve by the lock: a fresh record of a live process is yielded
    // to, but a record alone is never signalled.
    return serveUnlessARecordServes(platform);
  }

  std::int32_t holder = lock.holder;
  for (int slice = 0;; ++slice) {
    if (const auto stampMs = recordOf(holder)) return decideByRecord(platform, holder, *stampMs);
    const bool waitedEnough = slice >= kWaitSlices && (holder <= 0 || platform.processAge(holder) >=
                                                                          kRecordDueWithinSeconds);
    if (waitedEnough || slice == kMostWaitSlices) break;
    lock = platform.awaitWorkDirectoryLock(kSliceSeconds);
    // Free at last (the holder stopped), or free but out of reach from here: carry on.
    if (lock.state != State::kHeld) return true;
    if (lock.holder > 0) holder = lock.holder;
  }
  if (holder > 0) {
    // A healthy helper writes its record within a second of starting: this one is stuck.
    return endWedged(platform, holder);
  }
  // The system does not say who holds the lock: as without one.
  return serveUnlessARecordServes(platform);
}

bool yieldIfAnotherServes() {
  ProcessState& p = process();
  Platform& platform = *p.platform;
  const WorkDirLock lock = platform.checkWorkDirectoryLock();
  if (lock.state == State::kAcquired) {
    p.wedgedHolder = 0;
    return true;
  }
  // Still waiting for the wedged helper to go, or no lock to be had: this one serves.
  if (lock.state != State::kHeld || lock.holder <= 0 || lock.holder == p.wedgedHolder) return false;
  // The folder's lock is another helper's (its files were made anew, or it was quicker to take
  // the lock back): that one serves, and its files are left as they are.
  logHealthy(lock.holder);
  p.heartbeat.reset();  // and its spare
  platform.exitProcess(0);
  __builtin_unreachable();  // exitProcess never returns, though the compiler cannot see it
}

}  // namespace nimbra
