#include "files/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>

namespace nimbra {
namespace {

// Truncates toward zero; a clock reading outside the signed 64-bit range (or NaN) is clamped
// rather than converted, which would be undefined.
std::int64_t wholeSeconds(double seconds) {
  if (std::isnan(seconds)) return 0;
  constexpr double kTwo63 = 9223372036854775808.0;
  if (seconds >= kTwo63) return std::numeric_limits<std::int64_t>::max();
  if (seconds < -kTwo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::trunc(seconds));
}

}  // namespace

std::string formatLogLine(double nowSeconds, std::string_view message) {
  std::string line = "[";
  line.append(std::to_string(wholeSeconds(nowSeconds))).append("] ");
  line.append(message).append("\n");
  return line;
}

void appendLogLine(const std::string& path, double nowSeconds, std::string_view message,
                   bool noFollow) {
  const std::string line = formatLogLine(nowSeconds, message);
  // O_APPEND makes each write land at the current end even with another process appending;
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the open or the write.
  int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  if (noFollow) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;  // the line is lost; an existing file is never replaced
  // A hard link is a link too: a file with a second name elsewhere (or not a regular file at
  // all) may belong to something else, so nothing is written to it.
  struct stat st;
  if (noFollow && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    ::close(fd);
    return;
  }
  // One write per line, so lines of two processes never mix; a short write is not resumed, as
  // its tail could land after another process's line.
  while (::write(fd, line.data(), line.size()) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace nimbra
