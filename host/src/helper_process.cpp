#include "helper_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "nimbra/host.h"
#include "work_dir.h"

extern char** environ;

namespace nimbra::host {

std::string default_helper() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&default_helper), &info) != 0 && info.dli_fname) {
    std::string lib = info.dli_fname;
    const std::string beside =
        lib.substr(0, lib.rfind('/') + 1) + NIMBRA_HOST_BIN_FROM_LIB "/nimbra-wheel";
    if (lib.find('/') != std::string::npos && ::access(beside.c_str(), X_OK) == 0) return beside;
  }
  return "nimbra-wheel";
}

namespace {

// The program `binary` names: itself when it holds a "/", else the first executable of that
// name on PATH, as posix_spawnp would find it.
std::string onPath(const std::string& binary) {
  if (binary.find('/') != std::string::npos) return binary;
  const char* path = std::getenv("PATH");
  std::string_view rest = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (;;) {
    const std::size_t colon = rest.find(':');
    std::string dir(rest.substr(0, colon));
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + binary;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string_view::npos) return binary;
    rest.remove_prefix(colon + 1);
  }
}

struct Child {
  const char* path;
  char** argv;
  int err_write;   // becomes its standard error
  int exec_write;  // reports a failed exec (its errno); closes on a good one
  pid_t host;
  bool end_with_host;
};

// In the child, before exec: only async-signal-safe calls.
[[noreturn]] void becomeHelper(const Child& c) {
  int error = 0;
  if (c.end_with_host) {
    // Raced: the host may have ended before the signal was armed.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != c.host) ::_exit(127);
  }
  ::setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  // A host that ignores signals must not hand that on: SIGTERM has to end a helper.
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &standard, nullptr);
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(null, STDOUT_FILENO) < 0 ||
      ::dup2(c.err_write, STDERR_FILENO) < 0) {
    error = errno;
  } else {
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(c.path, c.argv, environ);
    error = errno;
  }
  while (::write(c.exec_write, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// The parent-death signal follows the thread that forks, not the process: helpers are forked
// by this thread, which the library starts once and never ends.
class Spawner {
 public:
  static Spawner& instance() {
    // Never destroyed: its thread outlives main. A forked child of the host has no thread of
    // its parent's, so it gets a spawner of its own.
    static Spawner* spawner = nullptr;
    static pid_t owner = 0;
    static std::mutex made;
    const std::lock_guard lock(made);
    if (!spawner || owner != ::getpid()) {
      spawner = new Spawner;
      owner = ::getpid();
    }
    return *spawner;
  }
  // fork() on the spawner's thread: the child's pid, or -1 with `error` set.
  pid_t fork(const Child& child, int& error) {
    Job job{&child};
    std::unique_lock lock(mutex_);
    turn_.wait(lock, [&] { return !job_; });
    job_ = &job;
    turn_.notify_all();
    turn_.wait(lock, [&] { return job.done; });
    error = job.error;
    return job.pid;
  }

 private:
  Spawner() {
    std::thread([this] { run(); }).detach();
  }
  struct Job {
    const Child* child;
    pid_t pid = -1;
    int error = 0;
    bool done = false;
  };
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      turn_.wait(lock, [&] { return job_ != nullptr; });
      job_->pid = ::fork();
      if (job_->pid == 0) becomeHelper(*job_->child);
      job_->error = errno;
      job_->done = true;
      job_ = nullptr;
      turn_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable turn_;
  Job* job_ = nullptr;  // the one job being done; the next caller waits for it to go
};

}  // namespace

pid_t spawn_helper(const std::string& binary, const std::string& dir, int& stderr_fd,
                   bool end_with_host) {
  int err[2], exec[2];
  if (::pipe2(err, O_CLOEXEC) != 0)
    throw StartError("pipe: " + std::string(std::strerror(errno)), -1, "");
  if (::pipe2(exec, O_CLOEXEC) != 0) {
    const int error = errno;
    ::close(err[0]);
    ::close(err[1]);
    throw StartError("pipe: " + std::string(std::strerror(error)), -1, "");
  }
  const std::string path = onPath(binary);
  std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>("-Dir"),
                          const_cast<char*>(dir.c_str()), nullptr};
  const Child child{path.c_str(), argv.data(), err[1], exec[1], ::getpid(), end_with_host};
  int forkError = 0;
  const pid_t pid = end_with_host ? Spawner::instance().fork(child, forkError) : ::fork();
  if (pid == 0) becomeHelper(child);
  if (!end_with_host) forkError = errno;
  ::close(err[1]);
  ::close(exec[1]);
  int execError = 0;
  ssize_t n = 0;
  if (pid > 0) {
    while ((n = ::read(exec[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
    }
  }
  ::close(exec[0]);
  if (pid < 0 || n > 0) {
    ::close(err[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    throw StartError("cannot run " + binary + ": " + std::strerror(pid < 0 ? forkError : execError),
                     -1, "");
  }
  ::fcntl(err[0], F_SETFL, O_NONBLOCK);
  stderr_fd = err[0];
  return pid;
}

pid_t serving_helper(const std::string& dir) {
  const std::optional<Heartbeat> record = read_heartbeat(dir);
  const bool stale = record && now_ms() - record->stamp_ms >= kStaleAfterMs;
  // The lock on helper.lock names its holder even before its first heartbeat.
  const int fd =
      ::open(join(dir, "helper.lock").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    // A holder whose own record has gone stale is wedged: a new helper takes over from it.
    if (held && probe.l_pid > 0) return stale && record->pid == probe.l_pid ? 0 : probe.l_pid;
  }
  if (record && !stale && process_alive(record->pid) && is_helper_process(record->pid)) {
    return record->pid;
  }
  return 0;
}

bool drain_pipe(int fd, std::string& text) {
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      text.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return false;
    } else if (errno != EINTR) {
      return errno == EAGAIN;
    }
  }
}

bool process_alive(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) return false;
  // A zombie has ended; only its parent has not collected it yet.
  const std::optional<std::string> stat = read_regular("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t name_end = stat ? stat->rfind(')') : std::string::npos;
  return name_end == std::string::npos || name_end + 2 >= stat->size() ||
         (*stat)[name_end + 2] != 'Z';
}

bool is_helper_process(pid_t pid) {
  char target[4096];
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  std::string path(target, static_cast<std::size_t>(n));
  // A binary replaced by an upgrade while it runs reads "... (deleted)".
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.ends_with(kDeleted)) path.resize(path.size() - kDeleted.size());
  return path.substr(path.rfind('/') + 1) == "nimbra-wheel";
}

int reap(pid_t pid) {
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &raw, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return -1;
  if (r < 0) return 128;  // not ours to wait for any more
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace nimbra::host
