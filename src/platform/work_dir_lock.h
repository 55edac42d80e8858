// The work-directory lock on POSIX: a classic record lock (fcntl) on a lock file inside the
// folder. The kernel names its holder (F_GETLK) and drops it when the holder ends, however it
// ends. Such a lock also goes when this process closes any descriptor of the file (a
// wheel.cfg or log.txt planted as a link to it is enough), and the file can be removed or
// replaced under the helper: `check` finds both out and takes the lock again.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace nimbra {

class WorkDirLocker {
 public:
  WorkDirLocker();
  ~WorkDirLocker();
  WorkDirLocker(const WorkDirLocker&) = delete;
  WorkDirLocker& operator=(const WorkDirLocker&) = delete;

  // Opens `lockFile` (created 0644 when missing) and tries the lock once.
  WorkDirLock lock(const std::string& lockFile);
  // Waits up to `seconds` for the lock, taking it the moment it comes free.
  WorkDirLock await(double seconds);
  // Leaves a thread blocked on the lock; it takes it once its holder is gone.
  void takeWhenFree();
  // Whether this process holds the lock of the file now at the name: kAcquired when it does or
  // has taken it again (the file was replaced, or a close dropped the lock), kHeld with the
  // holder when another process has it, kUnavailable when no lock can be had there.
  WorkDirLock check();

 private:
  struct Shared;
  void startWaiting();
  WorkDirLock adopt(int fd, bool writable);

  std::string path_;
  std::shared_ptr<Shared> shared_;
};

// The process holding the lock on `lockFile` now, as another process sees it; none when it is
// free or cannot be read.
std::optional<std::int32_t> lockHolderOf(const std::string& lockFile);

}  // namespace nimbra
