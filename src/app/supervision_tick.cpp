#include "app/supervision_tick.h"

#include "app/heartbeat.h"
#include "app/process_state.h"
#include "app/take_over.h"
#include "input/accessibility.h"
#include "input/event_tap.h"
#include "wheel/wheel.h"

namespace nimbra {

void supervisionTick() {
  ProcessState& p = process();
  Platform& platform = *p.platform;
  const Paths& paths = *p.paths;

  const bool holdsLock = yieldIfAnotherServes();

  if (!p.heartbeat) p.heartbeat = std::make_unique<RewrittenFile>(paths, "pid.txt");
  p.heartbeat->write(formatHeartbeat(platform.processId(), toEpochMs(platform.now())));
  // Helpers that were killed left their spares behind; nobody else keeps one while this
  // instance holds the lock.
  if (holdsLock && !p.sparesSwept) p.sparesSwept = p.heartbeat->removeOtherSpares();

  if (paths.exists("stop.txt")) {
    log("stop requested \u2014 exiting");
    paths.remove("stop.txt");
    paths.remove("pid.txt");
    p.heartbeat.reset();  // and its spare
    platform.exitProcess(0);
  }

  p.wheel->reloadConfigIfChanged();

  if (!p.tapReady && ensureAccessibility()) p.tapReady = installTap();
}

}  // namespace nimbra
