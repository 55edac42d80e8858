#include "work_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <system_error>

#include "nimbra/host.h"

namespace nimbra::host {
namespace {

// The helper reads a modification time as this double and compares it exactly.
double seconds(const timespec& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

timespec plus(timespec t, long nanoseconds) {
  t.tv_sec += nanoseconds / 1000000000;
  t.tv_nsec += nanoseconds % 1000000000;
  if (t.tv_nsec >= 1000000000) {
    t.tv_nsec -= 1000000000;
    ++t.tv_sec;
  }
  return t;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Two writes within one clock tick, or on a file system that keeps whole seconds, would give
// the same time: step past the old one by the smallest amount that both the file system and
// the helper's double can tell apart.
void makeNewer(int fd, const timespec& old) {
  struct stat st;
  for (long step : {1000L, 1000000L, 1000000000L, 2000000000L}) {
    if (::fstat(fd, &st) != 0) fail("fstat");
    if (seconds(st.st_mtim) > seconds(old)) return;
    const timespec times[2] = {{0, UTIME_OMIT}, plus(old, step)};
    if (::futimens(fd, times) != 0) fail("futimens");
  }
}

}  // namespace

std::string join(const std::string& dir, std::string_view name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path.append(name);
}

std::optional<std::string> read_regular(const std::string& path, struct stat* st, off_t from) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat own;
  if (!st) st = &own;
  std::optional<std::string> text;
  if (::fstat(fd, st) == 0 && S_ISREG(st->st_mode) && ::lseek(fd, from, SEEK_SET) == from) {
    text.emplace();
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) text->append(buf, static_cast<std::size_t>(n));
    }
    if (n < 0) text.reset();
  }
  ::close(fd);
  return text;
}

void write_atomically(const std::string& dir, std::string_view name, std::string_view text,
                      bool newer) {
  const std::string target = join(dir, name);
  struct stat old;
  const bool replacing = newer && ::stat(target.c_str(), &old) == 0;
  std::string temp = join(dir, std::string(".").append(name).append(".XXXXXX"));
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) fail("cannot create a file in " + dir);
  try {
    if (::fchmod(fd, 0644) != 0) fail("fchmod " + temp);
    for (std::string_view rest = text; !rest.empty();) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("cannot write " + temp);
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    if (replacing) makeNewer(fd, old.st_mtim);
    if (::close(fd) != 0) fail("cannot write " + temp);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    errno = error;
    fail("cannot replace " + target);
  }
}

std::optional<Heartbeat> read_heartbeat(const std::string& dir) {
  const std::optional<std::string> text = read_regular(join(dir, "pid.txt"));
  if (!text) return std::nullopt;
  std::string_view s = *text;
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  const std::size_t bar = s.find('|');
  if (bar == std::string_view::npos) return std::nullopt;
  Heartbeat record;
  const char* end = s.data() + s.size();
  const auto pid = std::from_chars(s.data(), s.data() + bar, record.pid);
  const auto stamp = std::from_chars(s.data() + bar + 1, end, record.stamp_ms);
  if (pid.ec != std::errc() || pid.ptr != s.data() + bar || stamp.ec != std::errc() ||
      stamp.ptr != end || record.pid <= 0) {
    return std::nullopt;
  }
  return record;
}

void write_cmd(const std::string& dir, const std::string& command) {
  // As the helper writes it: a reader sees the old content or the new, and a new inode.
  write_atomically(dir, "cmd.txt", command, /*newer=*/false);
}

std::int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace nimbra::host
