#include "support/helper_fixture.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <sstream>

#include "app/startup.h"
#include "wheel/wheel.h"

namespace nimbra::testing {

const char* const kFourSegments =
    "HOLD|300\n"
    "SIZE|100\n"
    "SEG|Edit|#ff0000\n"
    "TOOL|Copy|copy\n"
    "TOOL|Paste|paste\n"
    "TOOL|Cut|cut\n"
    "SEG|Place|#00ff00\n"
    "TOOL|TL|anchor:0,0\n"
    "TOOL|C|anchor:0.5,0.5\n"
    "TOOL|BR|anchor:1,1\n"
    "SEG|Empty|#0000ff\n"
    "SEG|One|#ffff00\n"
    "TOOL|Only|only\n";

HelperTest::HelperTest() {
  process() = ProcessState{};
}

HelperTest::~HelperTest() {
  process() = ProcessState{};
}

void HelperTest::writeConfig(const std::string& text) {
  writeFile(dir.file("wheel.cfg"), text);
}

void HelperTest::touchConfig() {
  // Modification times far apart, so that a rewrite within the same instant still differs.
  static long long next = 1'600'000'000;
  next += 7;
  const struct timeval times[2] = {{next, 0}, {next, 0}};
  ::utimes(dir.file("wheel.cfg").c_str(), times);
}

void HelperTest::start(const char* cfg) {
  if (cfg) writeConfig(cfg);
  startHelper({"nimbra-wheel", "-Dir", dir.path()}, fake);
}

std::vector<std::string> HelperTest::logMessages() const {
  std::vector<std::string> out;
  std::istringstream in(file("log.txt"));
  std::string line;
  while (std::getline(in, line)) {
    const auto close = line.find("] ");
    out.push_back(close == std::string::npos ? line : line.substr(close + 2));
  }
  return out;
}

bool HelperTest::logged(const std::string& message) const {
  return countLogged(message) > 0;
}

int HelperTest::countLogged(const std::string& message) const {
  int n = 0;
  for (const auto& m : logMessages()) n += m == message;
  return n;
}

int HelperTest::curSeg() const {
  return process().wheel->view->curSeg;
}
int HelperTest::curTool() const {
  return process().wheel->view->curTool;
}

}  // namespace nimbra::testing
