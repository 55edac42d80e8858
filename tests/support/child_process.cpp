#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "support/temp_dir.h"

namespace nimbra::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
  char path[] = "/tmp/nimbra-stderr-XXXXXX";
  const int errFd = ::mkstemp(path);
  stderrPath_ = path;
  pid_ = errFd < 0 ? -1 : ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot start " + args[0]);
  if (pid_ == 0) {
    // A test that dies must not leave helpers behind: they outlive their display on purpose.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (const std::string& e : env) {
      const auto eq = e.find('=');
      eq == std::string::npos ? ::unsetenv(e.c_str())
                              : ::setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
    }
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(errFd);
}

ChildProcess::~ChildProcess() {
  signal(SIGKILL);
  waitExit(std::chrono::seconds(5));
  ::unlink(stderrPath_.c_str());
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds deadline) {
  int raw = 0;
  eventually(
      [&] {
        if (!status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_)
          status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
        return status_.has_value();
      },
      deadline);
  return status_;
}

void ChildProcess::signal(int sig) {
  if (!status_) ::kill(pid_, sig);
}

std::string ChildProcess::stderrText() const {
  return readFile(stderrPath_);
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace nimbra::testing
