// Every write of cmd.txt, read the moment it is noticed.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "nimbra/host.h"

namespace nimbra::host {

class CmdWatch {
 public:
  // Watches `dir` with inotify; where that is unavailable, polls cmd.txt every 5 ms.
  explicit CmdWatch(const std::string& dir);
  ~CmdWatch();
  CmdWatch(const CmdWatch&) = delete;
  CmdWatch& operator=(const CmdWatch&) = delete;

  bool polling() const { return fd_ < 0; }

  enum class Outcome { event, timeout, interrupted };
  // Waits up to `timeout` for a write of cmd.txt with a content not yet delivered, with the
  // signal mask `mask` while it waits (none: the thread's own).
  Outcome wait(std::chrono::milliseconds timeout, Event& event, const sigset_t* mask = nullptr);

 private:
  // What tells one write of cmd.txt from another: a rename brings a new inode, a write in
  // place new times; the content settles the rest.
  struct Version {
    dev_t dev = 0;
    ino_t ino = 0;
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    std::string content;
    bool operator==(const Version&) const = default;
  };

  std::optional<Version> readVersion() const;
  // Counts the cmd.txt notices that have arrived, without waiting.
  void readNotices();
  // Reads cmd.txt after new notices: an event when its content is a new write.
  bool take(Event& event);

  std::string path_;
  int fd_ = -1;
  std::optional<Version> last_;
  int notices_ = 0;          // cmd.txt notices since the last event
  bool overflowed_ = false;  // the kernel dropped notices since the last event
};

}  // namespace nimbra::host
