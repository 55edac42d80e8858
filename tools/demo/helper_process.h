// The helper as a child process of the demo, and what it writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace nimbra::demo {

// The helper binary built beside this program.
std::string helperPath();

class HelperProcess {
 public:
  // Starts `helperPath() -Dir dir`; `display`, when not empty, replaces DISPLAY for it.
  HelperProcess(const std::string& dir, const std::string& display);
  ~HelperProcess();  // asks it to stop if it still runs
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Writes stop.txt and waits for the exit (a SIGTERM after `grace`); the exit status.
  int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // The exit status if it has ended, without waiting.
  bool ended();

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

std::string readText(const std::string& path);

}  // namespace nimbra::demo
