// The heartbeat record in "pid.txt": "<pid>|<milliseconds since 1970>", no spaces, no line end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

struct HeartbeatRecord {
  std::int32_t pid = 0;
  std::int64_t stampMs = 0;
  bool operator==(const HeartbeatRecord&) const = default;
};

std::string formatHeartbeat(std::int32_t pid, std::int64_t stampMs);
// Tolerant of white space and line ends around the whole record only; none when malformed.
std::optional<HeartbeatRecord> parseHeartbeat(std::string_view text);

// Seconds since 1970 as whole milliseconds, truncated toward zero and kept within int64.
std::int64_t toEpochMs(double seconds);

// An optional sign and one or more ASCII digits, the whole text, within the type's range.
std::optional<std::int64_t> parseDecimalInt64(std::string_view text);

}  // namespace nimbra
