#include "helper_process.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

namespace nimbra::demo {

std::string helperPath() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "nimbra-wheel";
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "nimbra-wheel";
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

HelperProcess::HelperProcess(const std::string& dir, const std::string& display) : dir_(dir) {
  const std::string binary = helperPath();
  pid_ = fork();
  if (pid_ == 0) {
    if (!display.empty()) setenv("DISPLAY", display.c_str(), 1);
    // Ctrl+C in the terminal is the demo's to handle: the helper stops through stop.txt.
    setpgid(0, 0);
    execl(binary.c_str(), binary.c_str(), "-Dir", dir_.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
}

HelperProcess::~HelperProcess() {
  if (!ended()) stop();
}

bool HelperProcess::ended() {
  if (pid_ <= 0) return true;
  int raw = 0;
  if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
  status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  pid_ = -1;
  return true;
}

int HelperProcess::stop(std::chrono::milliseconds grace) {
  if (ended()) return status_;
  std::ofstream(dir_ + "/stop.txt") << "";
  // The helper looks for stop.txt once a second.
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (!ended() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!ended()) {
    kill(pid_, SIGTERM);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    status_ = 128 + SIGTERM;
    pid_ = -1;
  }
  return status_;
}

}  // namespace nimbra::demo
