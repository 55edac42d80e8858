// The two plain-text logs: "log.txt" in the work directory and the fixed boot log in /tmp.
#pragma once

#include <string>
#include <string_view>

namespace nimbra {

inline constexpr const char* kBootLogPath = "/tmp/nimbra-wheel-boot.log";

// "[" + whole seconds + "] " + message + "\n".
std::string formatLogLine(double nowSeconds, std::string_view message);

// Appends one line with a single write on an O_APPEND descriptor (created 0644 when missing).
// A file that exists but cannot be opened is left alone; every failure is silent. With
// `noFollow` a symbolic link at `path` is never followed, and a file with more than one name
// (or not a regular file) is not written.
void appendLogLine(const std::string& path, double nowSeconds, std::string_view message,
                   bool noFollow);

}  // namespace nimbra
