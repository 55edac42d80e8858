#pragma once

#include <string_view>

namespace nimbra {

// Decides at start-up whether this instance carries on (true) or leaves the work directory to
// a healthy helper already serving it (false). The serving helper is the one holding the work
// directory's lock; a wedged one is sent SIGTERM.
bool takeOverIfNeeded();

// Once a tick, before anything is written: ends this instance (status 0) when another helper
// now holds the lock of the work directory's lock file, taking the lock back where it can.
// True while this instance holds the lock.
bool yieldIfAnotherServes();

// A record older than this belongs to a wedged helper.
inline constexpr long long kWedgedAfterMs = 5000;

// The lock file in the work directory; no protocol file has this name.
inline constexpr std::string_view kLockFileName = "helper.lock";

}  // namespace nimbra
