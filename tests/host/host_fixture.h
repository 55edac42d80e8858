// A work directory, the real helper binary and a stand-in for its cmd.txt writes, for the
// host library's tests. The helper runs headless unless a test gives it a display.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "nimbra/host.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {

class HostTest : public ::testing::Test {
 protected:
  HostTest() {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    options.helper = helperBinary();
  }
  // A helper a failed test left running would outlive its folder: stop whatever serves it.
  ~HostTest() override;

  host::Helper start(const host::Wheel& wheel) { return host::start(dir.path(), wheel, options); }
  bool logged(const std::string& message) const {
    return readFile(dir.file("log.txt")).find("] " + message) != std::string::npos;
  }
  // The process id in pid.txt, once the first heartbeat is there.
  pid_t heartbeatPid() const;
  // Replaces cmd.txt the way the helper does: a finished temporary file renamed over it.
  void writeCmdLikeTheHelper(const std::string& content) const;

  TempDir dir;
  host::Options options;
};

// One segment with one tool, "copy", which is picked anywhere beyond the ring.
host::Wheel oneToolWheel();

}  // namespace nimbra::testing
