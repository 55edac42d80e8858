// Never a dead mouse: a thread that lets every grab go when input waits on a mouse and the main
// loop has not turned for about a second (a hang, a blocked call), and tells the loop when it
// turns again. With no input it sleeps in poll(): an idle helper is never woken by it.
#pragma once

#include <glib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace nimbra {

class EvdevWatchdog {
 public:
  // `resumed` runs on the main loop after a let-go, once the loop turns again.
  EvdevWatchdog(GMainContext* context, std::function<void()> resumed,
                std::chrono::milliseconds limit = std::chrono::milliseconds(1000));
  ~EvdevWatchdog();
  EvdevWatchdog(const EvdevWatchdog&) = delete;
  EvdevWatchdog& operator=(const EvdevWatchdog&) = delete;

  void watch(int fd);
  void forget(int fd);
  // True from a let-go until `resumed` has run: no grab may be taken meanwhile.
  bool lettingGo();

 private:
  void run();
  void wakeThread();
  static gboolean answer(gpointer self);

  GMainContext* context_;
  std::function<void()> resumed_;
  const std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::set<int> fds_;
  int wakeFd_ = -1;  // an eventfd: the set of mice changed, or the watchdog goes
  bool stopping_ = false;
  bool pingOut_ = false;
  // Written under the lock (the thread waits on it), read on every input frame without it.
  std::atomic<bool> letGo_{false};
  std::thread thread_;
};

}  // namespace nimbra
