// What every real backend shares: the process, the wall clock and the GLib main loop.
#pragma once

#include <memory>

#include "platform/glib_loop.h"
#include "platform/open_request.h"
#include "platform/platform.h"
#include "platform/work_dir_lock.h"

namespace nimbra {

class PosixPlatform : public Platform {
 public:
  PosixPlatform();
  std::int32_t processId() override;
  double now() override;
  void terminate(std::int32_t pid) override;
  bool processExists(std::int32_t pid) override;
  double processAge(std::int32_t pid) override;
  void writeStandardError(const std::string& bytes) override;
  [[noreturn]] void exitProcess(int status) override;

  WorkDirLock lockWorkDirectory(const std::string& lockFile) override;
  WorkDirLock awaitWorkDirectoryLock(double seconds) override;
  void takeWorkDirectoryLockWhenFree() override;
  WorkDirLock checkWorkDirectoryLock() override;

  void run() override;
  TimerId scheduleRepeating(double seconds, std::function<void()> fire) override;
  TimerId scheduleOnce(double seconds, std::function<void()> fire) override;
  void invalidateTimer(TimerId timer) override;
  void deferToMain(std::function<void()> work) override;
  void acceptOpenRequests(const std::string& dir, std::function<void()> open) override;

  GlibLoop& loop() { return loop_; }

 protected:
  // An open request, or the summoning hot key, arrived: a backend that must first learn where
  // the pointer is does so, then runs `open`.
  virtual void summon(std::function<void()> open) { open(); }

 private:
  const std::int32_t pid_;  // asked once: the helper never forks
  GlibLoop loop_;
  WorkDirLocker workDirLock_;
  std::unique_ptr<OpenRequestListener> openRequests_;
};

}  // namespace nimbra
