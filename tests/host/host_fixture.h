// A work directory and the real helper, headless, for the host library's tests.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "nimbra/host.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {

class HostTest : public ::testing::Test {
 protected:
  HostTest();
  // A helper a failed test left running would outlive its folder: stop whatever serves it.
  ~HostTest() override;

  host::Helper start() { return host::start(dir.path(), oneToolWheel(), options); }
  bool logged(const std::string& message) const {
    return readFile(dir.file("log.txt")).find("] " + message) != std::string::npos;
  }
  // The process id in pid.txt, once the first heartbeat is there.
  pid_t heartbeatPid() const;
  // Replaces cmd.txt the way the helper does: a finished temporary file renamed over it.
  void writeCmdLikeTheHelper(const std::string& content) const;
  // One segment with one tool, "copy", which is picked anywhere beyond the ring.
  static host::Wheel oneToolWheel();

  TempDir dir;
  host::Options options;
};

}  // namespace nimbra::testing
