#include "app/startup.h"

#include <sys/stat.h>

#include <memory>

#include "app/log_text.h"
#include "app/process_state.h"
#include "app/supervision_tick.h"
#include "app/take_over.h"
#include "config/config.h"
#include "input/accessibility.h"
#include "input/event_tap.h"
#include "input/hot_keys.h"
#include "wheel/wheel.h"

namespace nimbra {
namespace {

// Exists and is a directory, following symbolic links.
bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

[[noreturn]] void refuse(Platform& platform, const std::string& bootLine,
                         const std::string& stderrLine) {
  bootMark(bootLine);
  platform.writeStandardError(stderrLine + "\n");
  platform.exitProcess(2);
  __builtin_unreachable();  // exitProcess never returns, though the compiler cannot see it
}

}  // namespace

std::string dirArgument(const std::vector<std::string>& args) {
  std::string dir;
  std::size_t i = 1;
  while (i < args.size()) {
    const bool option = args[i] == "-Dir" || args[i] == "--dir";
    if (option && i + 1 < args.size()) {
      dir = args[i + 1];
      i += 2;
    } else {
      ++i;
    }
  }
  return dir;
}

void startHelper(const std::vector<std::string>& args, Platform& platform) {
  ProcessState& p = process();
  p.platform = &platform;
  const std::string pid = std::to_string(platform.processId());
  bootMark("boot: pid " + pid);

  const std::string dir = dirArgument(args);
  if (dir.empty()) {
    refuse(platform, "exit 2: no -Dir",
           "NIMBRA Radial: \u0442\u0440\u0435\u0431\u0443\u0435\u0442\u0441\u044f -Dir "
           "<\u043f\u0430\u043f\u043a\u0430>");
  }
  if (!isDirectory(dir)) {
    refuse(platform, "exit 2: dir not found " + dir,
           "NIMBRA Radial: \u043f\u0430\u043f\u043a\u0430 \u043d\u0435 "
           "\u043d\u0430\u0439\u0434\u0435\u043d\u0430: " +
               dir);
  }

  p.paths.emplace(dir);
  log("helper starting, pid " + pid + ", dir " + dir);
  if (!takeOverIfNeeded()) platform.exitProcess(0);
  // A stop request left from an earlier run must not end this one.
  p.paths->remove("stop.txt");
  platform.setAccessoryActivationPolicy();

  auto cfg0 = std::make_shared<const Config>(Config::load(*p.paths));
  p.wheel = std::make_unique<Wheel>(cfg0);
  p.wheel->cfgStamp = p.paths->mtime("wheel.cfg");
  log("config: " + configSummary(*cfg0));

  // The painting caches (fonts, every label's glyphs, the ring's masks and picture) and the
  // window's pixel buffers, at the size the wheel opens at, are made before the triggers go in:
  // the first opening then waits for nothing, and nothing is still at work once ready. The
  // window comes first: the display server takes its side of the buffers meanwhile.
  p.wheel->prepareForPainting();

  installHotKeys();
  p.tapReady = false;
  if (ensureAccessibility()) p.tapReady = installTap();

  platform.scheduleRepeating(1.0, &supervisionTick);
}

int runHelper(const std::vector<std::string>& args, Platform& platform) {
  startHelper(args, platform);
  platform.run();
  return 0;
}

}  // namespace nimbra
