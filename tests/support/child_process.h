// Starts a program as a child for end-to-end tests and waits on it with deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimbra::testing {

class ChildProcess {
 public:
  // `env` entries are "NAME=value"; "NAME" alone removes the variable. The child's standard
  // error goes to a file read by stderrText().
  ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The exit status (-signal when a signal ended it), or none if it still runs at the deadline.
  std::optional<int> waitExit(std::chrono::milliseconds deadline);
  bool running() { return !waitExit(std::chrono::milliseconds(0)); }
  void signal(int sig);
  std::string stderrText() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  std::string stderrPath_;
};

// Polls `done` every few milliseconds until it holds or the deadline passes.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds deadline = std::chrono::seconds(5));

inline std::string helperBinary() {
  return NIMBRA_BINARY;
}

}  // namespace nimbra::testing
