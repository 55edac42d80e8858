// The main loop both desktop backends share: GLib's GMainLoop with its timers and idle queue.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>

#include <glib.h>

#include "platform/platform.h"

namespace nimbra {

class GlibLoop {
 public:
  GlibLoop();
  ~GlibLoop();
  GlibLoop(const GlibLoop&) = delete;
  GlibLoop& operator=(const GlibLoop&) = delete;

  void run();
  void quit();
  TimerId scheduleRepeating(double seconds, std::function<void()> fire);
  TimerId scheduleOnce(double seconds, std::function<void()> fire);
  void invalidateTimer(TimerId timer);
  void deferToMain(std::function<void()> work);

  GMainContext* context() const { return context_; }

  // Milliseconds for a delay in seconds: rounded, at least 0, clamped to what a GLib timeout
  // can hold (never wrapped).
  static guint delayMs(double seconds);

 private:
  struct Timer;
  TimerId schedule(double seconds, bool repeating, std::function<void()> fire);
  static gboolean onTimer(gpointer data);
  static void onTimerDestroyed(gpointer data);

  GMainContext* context_;
  GMainLoop* loop_;
  TimerId nextId_ = 1;
  std::unordered_map<TimerId, guint> sources_;  // live timers: our id -> GLib source id
};

}  // namespace nimbra
