#pragma once

namespace nimbra {

// Decides at start-up whether this instance carries on (true) or leaves the work directory to
// a healthy helper already serving it (false). A wedged helper is sent SIGTERM.
bool takeOverIfNeeded();

// A record older than this belongs to a wedged helper.
inline constexpr long long kWedgedAfterMs = 5000;

}  // namespace nimbra
