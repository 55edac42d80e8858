#include "platform/posix_platform.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
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

bool PosixPlatform::processExists(std::int32_t pid) {
  return ::kill(pid, 0) == 0;
}

double PosixPlatform::processAge(std::int32_t pid) {
  constexpr double kLongAgo = 1e9;
  // Field 22 of /proc/PID/stat is the start in clock ticks after boot; the name before it
  // may hold anything up to its last ')'.
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return kLongAgo;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
  }
  timespec boot{};
  const long ticks = ::sysconf(_SC_CLK_TCK);
  char* end = nullptr;
  const unsigned long long start = std::strtoull(field.c_str(), &end, 10);
  if (!fields || end == field.c_str() || ticks <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0)
    return kLongAgo;
  const double uptime = static_cast<double>(boot.tv_sec) + static_cast<double>(boot.tv_nsec) / 1e9;
  return uptime - static_cast<double>(start) / static_cast<double>(ticks);
}

WorkDirLock PosixPlatform::checkWorkDirectoryLock() {
  return workDirLock_.check();
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
