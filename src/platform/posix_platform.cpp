#include "platform/posix_platform.h"

#include <signal.h>
#include <unistd.h>

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

void PosixPlatform::terminate(std::int32_t pid) {
  ::kill(pid, SIGTERM);
}

WorkDirLock PosixPlatform::lockWorkDirectory(const std::string& lockFile) {
  return workDirLock_.lock(lockFile);
}

WorkDirLock PosixPlatform::awaitWorkDirectoryLock(double seconds) {
  return workDirLock_.await(seconds);
}

void PosixPlatform::takeWorkDirectoryLockWhenFree() {
  workDirLock_.takeWhenFree();
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

void PosixPlatform::acceptOpenRequests(const std::string& dir, std::function<void()> open) {
  openRequests_ = std::make_unique<OpenRequestListener>(
      loop_.context(), dir, [this, open = std::move(open)] { summon(open); });
}

void PosixPlatform::deferToMain(std::function<void()> work) {
  loop_.deferToMain(std::move(work));
}

}  // namespace nimbra
