// The helper's start-up, from the boot mark to the event loop.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace nimbra {

// The work directory named by the last complete "-Dir"/"--dir" pair; empty when none.
std::string dirArgument(const std::vector<std::string>& args);

// Runs start-up on `platform` and then its event loop; ends the process through
// Platform::exitProcess (status 2 without a usable work directory, 0 on yield or stop).
int runHelper(const std::vector<std::string>& args, Platform& platform);

// Start-up up to (not including) the event loop; what the tests drive.
void startHelper(const std::vector<std::string>& args, Platform& platform);

}  // namespace nimbra
