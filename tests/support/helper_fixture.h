// Runs the helper's start-up in-process on a fake platform and a fresh work directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "app/process_state.h"
#include "app/startup.h"
#include "platform/fake_platform.h"
#include "support/temp_dir.h"
#include "wheel/wheel.h"

namespace nimbra::testing {

// Four segments, radius 100, hold 300 ms: an arc segment, a grid segment, an empty one and a
// one-tool segment.
inline const char* const kFourSegments =
    "HOLD|300\nSIZE|100\n"
    "SEG|Edit|#ff0000\nTOOL|Copy|copy\nTOOL|Paste|paste\nTOOL|Cut|cut\n"
    "SEG|Place|#00ff00\nTOOL|TL|anchor:0,0\nTOOL|C|anchor:0.5,0.5\nTOOL|BR|anchor:1,1\n"
    "SEG|Empty|#0000ff\n"
    "SEG|One|#ffff00\nTOOL|Only|only\n";

class HelperTest : public ::testing::Test {
 protected:
  HelperTest() { process() = ProcessState{}; }
  ~HelperTest() override { process() = ProcessState{}; }

  // Writes wheel.cfg and runs start-up; the event loop is the fake.
  void start(const char* cfg) {
    writeConfig(cfg);
    startHelper({"nimbra-wheel", "-Dir", dir.path()}, fake);
  }
  void writeConfig(const std::string& text) { writeFile(dir.file("wheel.cfg"), text); }
  // Gives wheel.cfg a new modification time, long past, far from the last one.
  void touchConfig() {
    static long long next = 1'600'000'000;
    next += 7;
    const struct timeval times[2] = {{next, 0}, {next, 0}};
    ::utimes(dir.file("wheel.cfg").c_str(), times);
  }

  std::string file(const std::string& name) const { return readFile(dir.file(name)); }
  bool exists(const std::string& name) const { return fileExists(dir.file(name)); }
  std::vector<std::string> logMessages() const { return logMessagesOf(file("log.txt")); }
  bool logged(const std::string& message) const { return countLogged(message) > 0; }
  int countLogged(const std::string& message) const {
    return countMessages(file("log.txt"), message);
  }

  Wheel& wheel() { return *process().wheel; }
  int curSeg() const { return process().wheel->view->curSeg; }
  int curTool() const { return process().wheel->view->curTool; }

  // Global top-left points, as the tap reports them.
  TapVerdict press(Point at) { return inject(TapEventType::kRightMouseDown, at); }
  TapVerdict release(Point at) { return inject(TapEventType::kRightMouseUp, at); }
  TapVerdict move(Point at) { return inject(TapEventType::kMouseMoved, at); }
  TapVerdict drag(Point at) { return inject(TapEventType::kRightMouseDragged, at); }
  TapVerdict inject(TapEventType type, Point at) {
    fake.movePointerTo(at);
    return fake.inject(type, at);
  }

  TempDir dir;
  FakePlatform fake;
};

}  // namespace nimbra::testing
