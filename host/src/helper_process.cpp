#include "helper_process.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

pid_t spawn_helper(const std::string& binary, const std::string& dir, int& stderr_fd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    throw StartError("pipe: " + std::string(std::strerror(errno)), -1, "");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // It writes nothing to standard output, and must not hold the host's output open.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A host that blocks or ignores signals must not hand that on: SIGTERM has to end a helper.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  std::vector<char*> argv{const_cast<char*>(binary.c_str()), const_cast<char*>("-Dir"),
                          const_cast<char*>(dir.c_str()), nullptr};
  pid_t pid = -1;
  const int error = ::posix_spawnp(&pid, binary.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(fds[1]);
  if (error != 0) {
    ::close(fds[0]);
    throw StartError("cannot run " + binary + ": " + std::strerror(error), -1, "");
  }
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  stderr_fd = fds[0];
  return pid;
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
