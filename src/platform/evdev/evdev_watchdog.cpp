#include "platform/evdev/evdev_watchdog.h"

#include <linux/input.h>
#include <sys/ioctl.h>

namespace nimbra {

EvdevWatchdog::EvdevWatchdog(GMainContext* context, std::function<void()> resumed,
                             std::chrono::milliseconds limit)
    : context_(context), resumed_(std::move(resumed)), limit_(limit) {
  thread_ = std::thread([this] { run(); });
}

EvdevWatchdog::~EvdevWatchdog() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // An answer still queued on the loop must not reach a watchdog that is gone.
  while (GSource* s = g_main_context_find_source_by_user_data(context_, this)) g_source_destroy(s);
}

void EvdevWatchdog::watch(int fd) {
  std::lock_guard lock(mutex_);
  fds_.insert(fd);
}

void EvdevWatchdog::forget(int fd) {
  std::lock_guard lock(mutex_);
  fds_.erase(fd);
}

bool EvdevWatchdog::lettingGo() {
  std::lock_guard lock(mutex_);
  return letGo_;
}

gboolean EvdevWatchdog::answer(gpointer data) {
  auto* self = static_cast<EvdevWatchdog*>(data);
  bool wasLetGo = false;
  {
    std::lock_guard lock(self->mutex_);
    self->pingOut_ = false;
    self->answered_ = std::chrono::steady_clock::now();
    wasLetGo = self->letGo_;
    self->letGo_ = false;
  }
  if (wasLetGo) self->resumed_();
  return G_SOURCE_REMOVE;
}

void EvdevWatchdog::run() {
  // Pings the loop four times a second; a ping unanswered for three quarters of the limit
  // means a stalled loop, which then loses its grabs within about the limit.
  const auto period = limit_ / 4;
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (!pingOut_ && now - answered_ >= period) {
      pingOut_ = true;
      pingSent_ = now;
      GSource* source = g_idle_source_new();
      g_source_set_priority(source, G_PRIORITY_DEFAULT);
      g_source_set_callback(source, &EvdevWatchdog::answer, this, nullptr);
      g_source_attach(source, context_);
      g_source_unref(source);
    } else if (!letGo_ && now - pingSent_ >= limit_ * 3 / 4) {
      for (int fd : fds_) ::ioctl(fd, EVIOCGRAB, 0);
      letGo_ = true;
    }
    wake_.wait_for(lock, limit_ / 10);
  }
}

}  // namespace nimbra
