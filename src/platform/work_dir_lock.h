// The work-directory lock on POSIX: a classic record lock (fcntl) on a lock file inside the
// folder. The kernel names its holder (F_GETLK) and drops it when the holder ends, however it
// ends. Such a lock also goes when this process closes any descriptor of the file, so the file
// is opened here once and never by anything else in the helper.
#pragma once

#include <memory>
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

 private:
  struct Shared;
  void startWaiting();

  std::shared_ptr<Shared> shared_;
};

}  // namespace nimbra
