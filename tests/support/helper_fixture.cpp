#include "support/helper_fixture.h"

#include <sys/time.h>

#include "app/startup.h"
#include "wheel/wheel.h"

namespace nimbra::testing {

const char* const kFourSegments =
    "HOLD|300\nSIZE|100\n"
    "SEG|Edit|#ff0000\nTOOL|Copy|copy\nTOOL|Paste|paste\nTOOL|Cut|cut\n"
    "SEG|Place|#00ff00\nTOOL|TL|anchor:0,0\nTOOL|C|anchor:0.5,0.5\nTOOL|BR|anchor:1,1\n"
    "SEG|Empty|#0000ff\n"
    "SEG|One|#ffff00\nTOOL|Only|only\n";

void HelperTest::start(const char* cfg) {
  if (cfg) writeConfig(cfg);
  startHelper({"nimbra-wheel", "-Dir", dir.path()}, fake);
}

void HelperTest::touchConfig() {
  // Times far apart, so that a rewrite within the same instant still differs.
  static long long next = 1'600'000'000;
  next += 7;
  const struct timeval times[2] = {{next, 0}, {next, 0}};
  ::utimes(dir.file("wheel.cfg").c_str(), times);
}

int HelperTest::curSeg() const {
  return process().wheel->view->curSeg;
}
int HelperTest::curTool() const {
  return process().wheel->view->curTool;
}

}  // namespace nimbra::testing
