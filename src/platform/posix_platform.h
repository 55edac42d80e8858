// What every real backend shares: the process, the wall clock and the GLib main loop.
#pragma once

#include "platform/glib_loop.h"
#include "platform/platform.h"

namespace nimbra {

class PosixPlatform : public Platform {
 public:
  PosixPlatform();
  std::int32_t processId() override;
  double now() override;
  int signalProbe(std::int32_t pid) override;
  void terminate(std::int32_t pid) override;
  bool isSameProgram(std::int32_t pid) override;
  void writeStandardError(const std::string& bytes) override;
  [[noreturn]] void exitProcess(int status) override;

  void run() override;
  TimerId scheduleRepeating(double seconds, std::function<void()> fire) override;
  TimerId scheduleOnce(double seconds, std::function<void()> fire) override;
  void invalidateTimer(TimerId timer) override;
  void deferToMain(std::function<void()> work) override;

  GlibLoop& loop() { return loop_; }

 private:
  const std::int32_t pid_;  // asked once: the helper never forks
  GlibLoop loop_;
};

// Whether /proc/PID/exe is the same file as /proc/self/exe (same device and inode).
bool runsSameExecutable(std::int32_t pid);

}  // namespace nimbra
