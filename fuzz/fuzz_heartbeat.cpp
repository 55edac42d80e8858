// Heartbeat records on arbitrary bytes: a record that reads re-formats to one that reads to the
// same value, and the number reader agrees with the decimal it prints.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app/heartbeat.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto record = nimbra::parseHeartbeat(text)) {
    const std::string again = nimbra::formatHeartbeat(record->pid, record->stampMs);
    check(nimbra::parseHeartbeat(again) == record);
    // The form written has no blanks, no line end and exactly one bar.
    check(again.find_first_of(" \t\r\n") == std::string::npos);
  }

  if (const auto n = nimbra::parseDecimalInt64(text)) {
    check(nimbra::parseDecimalInt64(std::to_string(*n)) == n);
  }

  // Any clock reading, NaN and infinities included, gives some whole number of milliseconds.
  if (size >= sizeof(double)) {
    double seconds;
    std::memcpy(&seconds, data, sizeof seconds);
    const std::int64_t ms = nimbra::toEpochMs(seconds);
    if (seconds >= 0 && seconds < 1e15) check(ms >= 0);
  }
  return 0;
}
