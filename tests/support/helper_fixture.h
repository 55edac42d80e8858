// Runs the helper's start-up in-process on a fake platform and a fresh work directory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/process_state.h"
#include "platform/fake_platform.h"
#include "support/temp_dir.h"

namespace nimbra::testing {

class HelperTest : public ::testing::Test {
 protected:
  HelperTest() { process() = ProcessState{}; }
  ~HelperTest() override { process() = ProcessState{}; }

  // Writes wheel.cfg (unless `cfg` is null) and runs start-up; the event loop is the fake.
  void start(const char* cfg);
  void writeConfig(const std::string& text) { writeFile(dir.file("wheel.cfg"), text); }
  // Gives wheel.cfg a new modification time, long past, that the tick will notice.
  void touchConfig();

  std::string file(const std::string& name) const { return readFile(dir.file(name)); }
  bool exists(const std::string& name) const { return fileExists(dir.file(name)); }
  std::vector<std::string> logMessages() const { return logMessagesOf(file("log.txt")); }
  bool logged(const std::string& message) const { return countLogged(message) > 0; }
  int countLogged(const std::string& message) const {
    const auto all = logMessages();
    return static_cast<int>(std::count(all.begin(), all.end(), message));
  }

  Wheel& wheel() { return *process().wheel; }
  int curSeg() const;
  int curTool() const;

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

// Four segments, radius 100, hold 300 ms: an arc segment, a grid segment, an empty one and a
// one-tool segment.
extern const char* const kFourSegments;

}  // namespace nimbra::testing
