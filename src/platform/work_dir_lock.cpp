#include "platform/work_dir_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

namespace nimbra {

// Shared with the waiting thread, which may outlive the locker: the process can end while the
// thread still waits. The descriptor is never closed, as closing it would drop the lock.
struct WorkDirLocker::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  int fd = -1;
  // A second description of the same file: an OFD lock query from it sees this process's own
  // record lock, which a query from `fd` cannot. Never closed either.
  int probe = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  bool writable = false;  // a read-only descriptor sees the holder but can never take the lock
  bool started = false;   // the waiting thread was started (it is started once)
  bool waiting = false;   // and still waits
  bool acquired = false;
};

namespace {

using State = WorkDirLock::State;

struct flock wholeFile(short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0;
  fl.l_len = 0;  // to the end, however long the file grows
  return fl;
}

int openNoFollow(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The lock file, created when missing, read-only where it cannot be written. Only a regular
// file with one name is taken: nothing is ever locked through a link, and a FIFO or device
// planted under the name is never opened. -1 when there is no usable file.
int openLockFile(const std::string& path, bool& writable) {
  writable = true;
  bool created = true;
  int fd = openNoFollow(path, O_RDWR | O_CREAT | O_EXCL);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    fd = openNoFollow(path, O_RDWR);
    if (fd < 0 && (errno == EROFS || errno == EACCES || errno == EPERM)) {
      writable = false;
      fd = openNoFollow(path, O_RDONLY);
    }
  }
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    return -1;
  }
  if (created) ::fchmod(fd, 0644);  // whatever the umask, like every file the helper makes
  return fd;
}

bool tryLock(int fd) {
  struct flock fl = wholeFile(F_WRLCK);
  return ::fcntl(fd, F_SETLK, &fl) == 0;
}

// The process holding the lock; none when nobody else does (or the system cannot tell).
std::optional<std::int32_t> holderOf(int fd) {
  struct flock fl = wholeFile(F_WRLCK);
  if (::fcntl(fd, F_GETLK, &fl) != 0 || fl.l_type == F_UNLCK) return std::nullopt;
  return static_cast<std::int32_t>(fl.l_pid);
}

}  // namespace

WorkDirLocker::WorkDirLocker() : shared_(std::make_shared<Shared>()) {}
WorkDirLocker::~WorkDirLocker() = default;

WorkDirLock WorkDirLocker::lock(const std::string& lockFile) {
  if (shared_->fd >= 0) return {};  // one lock per process, taken once
  path_ = lockFile;
  bool writable = false;
  const int fd = openLockFile(lockFile, writable);
  if (fd < 0) return {};
  return adopt(fd, writable);
}

// Tries the lock on a freshly opened lock file; keeps the file when the lock is taken or held
// by another, closes it otherwise.
WorkDirLock WorkDirLocker::adopt(int fd, bool writable) {
  struct stat st {};
  ::fstat(fd, &st);
  // The holder may let go between the two calls; then the lock is tried again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    const bool taken = writable && tryLock(fd);
    if (!taken && writable && errno != EACCES && errno != EAGAIN) break;  // no locks here
    const std::optional<std::int32_t> holder = taken ? std::nullopt : holderOf(fd);
    if (taken || holder) {
      auto next = std::make_shared<Shared>();
      next->fd = fd;
      // Opened anew through /proc: the same file, another description (no /proc: no probe).
      const std::string self = "/proc/self/fd/" + std::to_string(fd);
      next->probe = ::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      next->dev = st.st_dev;
      next->ino = st.st_ino;
      next->writable = writable;
      next->acquired = taken;
      // A waiting thread keeps the old state (and its descriptor) to itself; otherwise the old
      // file, no longer at the name, is let go.
      const std::shared_ptr<Shared> old = std::exchange(shared_, std::move(next));
      std::lock_guard<std::mutex> guard(old->mutex);
      if (!old->waiting) {
        for (int* d : {&old->fd, &old->probe}) {
          if (*d >= 0) ::close(*d);
          *d = -1;
        }
      }
      if (taken) return {State::kAcquired, 0};
      return {State::kHeld, *holder};
    }
    if (!writable) break;  // nobody holds it, and it cannot be taken from here
  }
  ::close(fd);
  return {};
}

void WorkDirLocker::startWaiting() {
  Shared& s = *shared_;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.started || s.acquired || !s.writable || s.fd < 0) return;
    s.started = true;
    s.waiting = true;
  }
  // The thread takes no signal: signals stay with the main thread, and its blocking call is
  // never cut short.
  sigset_t all;
  sigset_t saved;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  try {
    std::thread([shared = shared_] {
      struct flock fl = wholeFile(F_WRLCK);
      int r;
      while ((r = ::fcntl(shared->fd, F_SETLKW, &fl)) != 0 && errno == EINTR) {
      }
      std::lock_guard<std::mutex> guard(shared->mutex);
      shared->waiting = false;
      // Refused (a deadlock report, say): the process goes on without the lock.
      shared->acquired = r == 0;
      shared->changed.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.waiting = false;  // no thread to spare: await falls back on trying once per call
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

WorkDirLock WorkDirLocker::await(double seconds) {
  Shared& s = *shared_;
  if (s.fd < 0) return {};
  startWaiting();
  const auto span = std::chrono::duration<double>(seconds > 0 ? seconds : 0);
  std::unique_lock<std::mutex> guard(s.mutex);
  if (s.changed.wait_for(guard, span, [&] { return s.acquired; })) return {State::kAcquired, 0};
  const bool waiting = s.waiting;
  guard.unlock();
  if (s.writable && !waiting && tryLock(s.fd)) {
    guard.lock();
    s.acquired = true;
    return {State::kAcquired, 0};
  }
  if (const auto holder = holderOf(s.fd)) return {State::kHeld, *holder};
  if (!s.writable) return {};  // it came free, but cannot be taken from here
  // Free a moment ago: the waiting thread is taking it, unless another process was quicker.
  guard.lock();
  if (s.changed.wait_for(guard, std::chrono::milliseconds(50), [&] { return s.acquired; }))
    return {State::kAcquired, 0};
  return {State::kHeld, 0};
}

void WorkDirLocker::takeWhenFree() {
  startWaiting();
}

WorkDirLock WorkDirLocker::check() {
  Shared& s = *shared_;
  if (s.fd < 0) return {};
  struct stat st {};
  const bool same = ::lstat(path_.c_str(), &st) == 0 && st.st_dev == s.dev && st.st_ino == s.ino;
  if (!same) {
    // Removed, replaced, or the folder made anew: the file at the name is the one that counts.
    bool writable = false;
    const int fd = openLockFile(path_, writable);
    if (fd < 0) return {};
    return adopt(fd, writable);
  }
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.acquired && !s.waiting) {
      // Our own lock is seen from the second description only; gone means a close dropped it.
      struct flock fl = wholeFile(F_WRLCK);
      if (s.probe >= 0 && ::fcntl(s.probe, F_OFD_GETLK, &fl) == 0) {
        if (fl.l_type != F_UNLCK && fl.l_pid == ::getpid()) return {State::kAcquired, 0};
        if (fl.l_type == F_UNLCK && tryLock(s.fd)) return {State::kAcquired, 0};
      }
    }
  }
  if (const auto holder = holderOf(s.fd)) {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (!s.waiting) s.acquired = false;
    return {State::kHeld, *holder};
  }
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.acquired) return {State::kAcquired, 0};
  if (s.waiting || !s.writable) return {};
  // Free and not ours: the last holder is gone while nobody waited for it.
  if (tryLock(s.fd)) {
    s.acquired = true;
    return {State::kAcquired, 0};
  }
  return {};
}

std::optional<std::int32_t> lockHolderOf(const std::string& lockFile) {
  const int fd =
      ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  const std::optional<std::int32_t> holder = holderOf(fd);
  ::close(fd);
  return holder;
}

}  // namespace nimbra
