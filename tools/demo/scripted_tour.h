// The demo without a display: a private X server, the helper on it, and two picks made with
// XTest input while the demo prints what the helper writes and saves screenshots as PNG.
#pragma once

#include <string>

namespace nimbra::demo {

// Runs the tour in the work directory `dir`; the process exit status.
int runScriptedTour(const std::string& dir);

}  // namespace nimbra::demo
