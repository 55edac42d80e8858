// Number formats shared by the log messages.
#pragma once

#include <string>

namespace nimbra {

class Config;

// `value` truncated toward zero, in plain decimal, exactly, whatever its size ("-0" never
// appears).
std::string wholeNumber(double value);

// "N sections, R=R, hold=Hms", the tail of the "config: " and "config reloaded: " lines.
std::string configSummary(const Config& cfg);

}  // namespace nimbra
