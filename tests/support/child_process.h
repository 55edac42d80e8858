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
  // The exit status, or none if it did not end by the deadline (or ended by a signal: -signal).
  std::optional<int> waitExit(std::chrono::milliseconds deadline);
  bool running();
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

// The helper binary under test.
std::string helperBinary();

}  // namespace nimbra::testing
