// What the preview tells a host author about a configuration file.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"

namespace nimbra {

// "config: N sections, R=..., hold=...ms", as the helper logs it.
std::string configSummary(const Config& cfg);

// One "line N: <text> — <reason>" per line the loader passed over.
std::vector<std::string> skippedLineReport(const std::vector<SkippedLine>& skipped);

}  // namespace nimbra
