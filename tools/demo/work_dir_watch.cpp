#include "work_dir_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace nimbra::demo {

WorkDirWatch::WorkDirWatch(const std::string& dir) {
  fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd_ >= 0 && inotify_add_watch(fd_, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    close(fd_);
    fd_ = -1;
  }
}

WorkDirWatch::~WorkDirWatch() {
  if (fd_ >= 0) close(fd_);
}

std::vector<std::string> WorkDirWatch::changes(std::chrono::milliseconds timeout) {
  std::vector<std::string> names;
  if (fd_ < 0) return names;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return names;
  alignas(inotify_event) char buffer[8192];
  ssize_t n = 0;
  while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
    for (char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if (event->len > 0) names.emplace_back(event->name);
      at += sizeof(inotify_event) + event->len;
    }
  }
  return names;
}

}  // namespace nimbra::demo
