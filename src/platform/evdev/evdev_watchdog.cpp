#include "platform/evdev/evdev_watchdog.h"

#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace nimbra {

EvdevWatchdog::EvdevWatchdog(GMainContext* context, std::function<void()> resumed,
                             std::chrono::milliseconds limit)
    : context_(context), resumed_(std::move(resumed)), limit_(limit) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_ = std::thread([this] { run(); });
}

EvdevWatchdog::~EvdevWatchdog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  wakeThread();
  thread_.join();
  if (wakeFd_ >= 0) ::close(wakeFd_);
  // An answer still queued on the loop must not reach a watchdog that is gone.
  while (GSource* s = g_main_context_find_source_by_user_data(context_, this)) g_source_destroy(s);
}

void EvdevWatchdog::wakeThread() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void EvdevWatchdog::watch(int fd) {
  std::lock_guard lock(mutex_);
  fds_.insert(fd);
  wakeThread();
}

void EvdevWatchdog::forget(int fd) {
  std::lock_guard lock(mutex_);
  fds_.erase(fd);
  wakeThread();
}

bool EvdevWatchdog::lettingGo() {
  return letGo_.load();
}

gboolean EvdevWatchdog::answer(gpointer data) {
  auto* self = static_cast<EvdevWatchdog*>(data);
  bool wasLetGo = false;
  {
    std::lock_guard lock(self->mutex_);
    self->pingOut_ = false;
    wasLetGo = self->letGo_;
    self->letGo_ = false;
  }
  self->wake_.notify_all();
  if (wasLetGo) self->resumed_();
  return G_SOURCE_REMOVE;
}

void EvdevWatchdog::run() {
  std::set<int> hungUp;  // unplugged mice, left out until the loop forgets them
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::vector<pollfd> polled{{wakeFd_, POLLIN, 0}};
    for (int fd : fds_) {
      if (!hungUp.count(fd)) polled.push_back({fd, POLLIN, 0});
    }
    lock.unlock();
    const int ready = ::poll(polled.data(), polled.size(), -1);
    lock.lock();
    if (ready <= 0) continue;
    if (polled[0].revents & POLLIN) {
      std::uint64_t count = 0;
      (void)!::read(wakeFd_, &count, sizeof count);
      std::erase_if(hungUp, [&](int fd) { return !fds_.count(fd); });
    }
    bool input = false;
    for (std::size_t i = 1; i < polled.size(); ++i) {
      if (polled[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        hungUp.insert(polled[i].fd);
      } else if (polled[i].revents & POLLIN) {
        input = true;
      }
    }
    if (!input || stopping_) continue;
    // Input waits: the loop must turn within three quarters of the limit, or the mice go.
    pingOut_ = true;
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, &EvdevWatchdog::answer, this, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
    if (!wake_.wait_for(lock, limit_ * 3 / 4, [this] { return stopping_ || !pingOut_; })) {
      for (int fd : fds_) ::ioctl(fd, EVIOCGRAB, 0);
      letGo_ = true;
      wake_.wait(lock, [this] { return stopping_ || !letGo_; });
    }
    // While input flows, the loop is asked at most four times a second.
    wake_.wait_for(lock, limit_ / 4, [this] { return stopping_; });
  }
}

}  // namespace nimbra
