// The host's side of the work directory's files.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra::host {

std::string join(const std::string& dir, std::string_view name);

// The content of a regular file from byte `from` on; none when it is missing or anything else.
// `st`, when given, receives the attributes of the file that was read.
std::optional<std::string> read_regular(const std::string& path, struct stat* st = nullptr,
                                        off_t from = 0);

// Replaces dir/name by a finished file (temporary + rename), so a reader never sees part of
// it. With `newer`, its modification time is made to read strictly later than the file it
// replaces, as the helper compares times exactly. Throws std::system_error.
void write_atomically(const std::string& dir, std::string_view name, std::string_view text,
                      bool newer);

struct Heartbeat {
  pid_t pid = 0;
  std::int64_t stamp_ms = 0;
};

// The record of pid.txt, "pid|milliseconds"; none when missing or malformed.
std::optional<Heartbeat> read_heartbeat(const std::string& dir);

std::int64_t now_ms();

// Heartbeats at least this old are stale, as the helper itself judges them.
inline constexpr std::int64_t kStaleAfterMs = 5000;

}  // namespace nimbra::host
