#include "platform/posix_platform.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace nimbra {

PosixPlatform::PosixPlatform() : pid_(static_cast<std::int32_t>(::getpid())) {}

std::int32_t PosixPlatform::processId() {
  return pid_;
}

double PosixPlatform::now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(since).count();
}

int PosixPlatform::signalProbe(std::int32_t pid) {
  return ::kill(pid, 0) == 0 ? 0 : errno;
}

void PosixPlatform::terminate(std::int32_t pid) {
  ::kill(pid, SIGTERM);
}

bool runsSameExecutable(std::int32_t pid) {
  if (pid <= 0) return false;
  struct stat self {};
  struct stat other {};
  const std::string path = "/proc/" + std::to_string(pid) + "/exe";
  if (::stat("/proc/self/exe", &self) != 0 || ::stat(path.c_str(), &other) != 0) return false;
  return self.st_dev == other.st_dev && self.st_ino == other.st_ino;
}

bool PosixPlatform::isSameProgram(std::int32_t pid) {
  return runsSameExecutable(pid);
}

void PosixPlatform::writeStandardError(const std::string& bytes) {
  // One write, as the message must arrive whole; a short write is not retried.
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
}

void PosixPlatform::exitProcess(int status) {
  std::fflush(nullptr);
  std::exit(status);
}

void PosixPlatform::run() {
  loop_.run();
}

TimerId PosixPlatform::scheduleRepeating(double seconds, std::function<void()> fire) {
  return loop_.scheduleRepeating(seconds, std::move(fire));
}

TimerId PosixPlatform::scheduleOnce(double seconds, std::function<void()> fire) {
  return loop_.scheduleOnce(seconds, std::move(fire));
}

void PosixPlatform::invalidateTimer(TimerId timer) {
  loop_.invalidateTimer(timer);
}

void PosixPlatform::deferToMain(std::function<void()> work) {
  loop_.deferToMain(std::move(work));
}

}  // namespace nimbra
