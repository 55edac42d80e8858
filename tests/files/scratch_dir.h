// Listing a folder, and running a step in a child process so that limits, signals or a
// blocking call cannot harm the test process.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "support/temp_dir.h"

namespace nimbra::testing {

// Every name in the folder, hidden ones included.
inline std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.insert(e.path().filename());
  return out;
}

// The child's exit code; -1 when it crashed or the watchdog ended it.
inline int runInChild(const std::function<int()>& step, unsigned watchdogSeconds = 10) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(watchdogSeconds);
    ::_exit(step());
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace nimbra::testing
