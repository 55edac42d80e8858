#include "cmd_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "work_dir.h"

namespace nimbra::host {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kPollPeriod{5};

std::int64_t nanoseconds(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

CmdWatch::CmdWatch(const std::string& dir) : path_(join(dir, "cmd.txt")) {
  // The helper renames each finished cmd.txt into place (IN_MOVED_TO); a writer that rewrites
  // the file in place is seen when it closes it (IN_CLOSE_WRITE).
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ >= 0 && ::inotify_add_watch(fd_, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
    ::close(fd_);
    fd_ = -1;
  }
  last_ = readVersion();  // what an earlier run left is not news
}

CmdWatch::~CmdWatch() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<CmdWatch::Version> CmdWatch::readVersion() const {
  struct stat st;
  std::optional<std::string> content = read_regular(path_, &st);
  if (!content) return std::nullopt;
  return Version{st.st_dev, st.st_ino, nanoseconds(st.st_mtim), nanoseconds(st.st_ctim),
                 std::move(*content)};
}

void CmdWatch::readNotices() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (const char* at = buffer; at < buffer + n;) {
      inotify_event event;
      std::memcpy(&event, at, sizeof event);
      const char* name = at + sizeof event;
      if (event.mask & IN_Q_OVERFLOW) overflowed_ = true;
      if (event.len > 0 && std::strcmp(name, "cmd.txt") == 0) ++notices_;
      at += sizeof event + event.len;
    }
  }
}

bool CmdWatch::take(Event& event) {
  std::optional<Version> now = readVersion();
  // A notice that arrives after its content was already delivered (a write landing while the
  // one before it was being read) stays counted and goes with the next event, so the counts
  // add up; it never delivers the same write twice.
  if (!now || now == last_) return false;
  last_ = std::move(now);
  event.command = last_->content;
  event.kind = event.command == "~open" ? Event::Kind::open : Event::Kind::pick;
  // Each notice is one write, and only the last of them could still be read.
  event.missed = overflowed_ ? -1 : std::max(0, notices_ - 1);
  notices_ = 0;
  overflowed_ = false;
  return true;
}

CmdWatch::Outcome CmdWatch::wait(std::chrono::milliseconds timeout, Event& event,
                                 const sigset_t* mask) {
  const auto deadline =
      timeout >= std::chrono::hours(24) ? Clock::time_point::max() : Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::min(deadline, Clock::now()));
    if (polling()) {
      // Polling sees that the content changed, never how many writes the change hid.
      if (take(event)) return Outcome::event;
      if (left.count() <= 0) return Outcome::timeout;
      const timespec pause{0, std::chrono::nanoseconds(std::min(left, kPollPeriod)).count()};
      if (::ppoll(nullptr, 0, &pause, mask) < 0 && errno == EINTR) return Outcome::interrupted;
      continue;
    }
    pollfd p{fd_, POLLIN, 0};
    const timespec wait{std::min<std::int64_t>(left.count() / 1000, 1 << 30),
                        static_cast<long>(left.count() % 1000) * 1000000};
    const int ready = ::ppoll(&p, 1, deadline == Clock::time_point::max() ? nullptr : &wait, mask);
    if (ready < 0 && errno == EINTR) return Outcome::interrupted;
    if (ready > 0) {
      const int before = notices_;
      readNotices();
      if ((notices_ > before || overflowed_) && take(event)) return Outcome::event;
    }
    if (ready == 0 || Clock::now() >= deadline) return Outcome::timeout;
  }
}

}  // namespace nimbra::host
