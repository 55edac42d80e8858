#include "host/host_fixture.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>

namespace nimbra::testing {

HostTest::HostTest() {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  options.helper = helperBinary();
}

HostTest::~HostTest() {
  if (!fileExists(dir.file("log.txt"))) return;  // no helper ever started here
  writeFile(dir.file("stop.txt"), "");
  eventually([&] {
    const std::string record = readFile(dir.file("pid.txt"));
    return record.empty() ? logged("stop requested") : ::kill(std::stoi(record), 0) != 0;
  });
}

pid_t HostTest::heartbeatPid() const {
  std::string record;
  eventually([&] { return !(record = readFile(dir.file("pid.txt"))).empty(); });
  return record.empty() ? -1 : std::stoi(record);
}

void HostTest::writeCmdLikeTheHelper(const std::string& content) const {
  std::string temp = dir.file(".cmd.txt.XXXXXX");
  const int fd = ::mkstemp(temp.data());
  if (fd < 0 || ::write(fd, content.data(), content.size()) != ssize_t(content.size()) ||
      ::close(fd) != 0 || ::rename(temp.c_str(), dir.file("cmd.txt").c_str()) != 0) {
    throw std::runtime_error("cannot write cmd.txt");
  }
}

host::Wheel HostTest::oneToolWheel() {
  host::Wheel wheel;
  wheel.hold_ms = 120;
  wheel.segments = {{"Edit", "#3a7", {{"Copy", "copy"}}}};
  return wheel;
}

}  // namespace nimbra::testing
