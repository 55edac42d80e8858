// Changes to the files of the work directory as they happen (inotify, no polling). The helper
// replaces cmd.txt by renaming a finished file into place and appends to log.txt, so both are
// seen once complete.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace nimbra::demo {

class WorkDirWatch {
 public:
  explicit WorkDirWatch(const std::string& dir);
  ~WorkDirWatch();
  WorkDirWatch(const WorkDirWatch&) = delete;
  WorkDirWatch& operator=(const WorkDirWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // The names of the files written since the last call, in order; waits up to `timeout` for
  // the first one.
  std::vector<std::string> changes(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

}  // namespace nimbra::demo
