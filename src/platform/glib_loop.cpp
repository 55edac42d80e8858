#include "platform/glib_loop.h"

#include <cmath>
#include <limits>
#include <memory>
#include <utility>

namespace nimbra {

struct GlibLoop::Timer {
  GlibLoop* loop;
  TimerId id;
  bool repeating;
  std::function<void()> fire;
};

GlibLoop::GlibLoop()
    : context_(g_main_context_ref(g_main_context_default())),
      loop_(g_main_loop_new(context_, FALSE)) {}

GlibLoop::~GlibLoop() {
  for (auto& [id, source] : sources_) {
    if (GSource* s = g_main_context_find_source_by_id(context_, source)) g_source_destroy(s);
  }
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GlibLoop::run() {
  g_main_loop_run(loop_);
}

void GlibLoop::quit() {
  g_main_loop_quit(loop_);
}

guint GlibLoop::delayMs(double seconds) {
  if (!(seconds > 0)) return 0;  // also NaN
  const double ms = std::round(seconds * 1000.0);
  constexpr double kMax = static_cast<double>(std::numeric_limits<guint>::max());
  return ms >= kMax ? std::numeric_limits<guint>::max() : static_cast<guint>(ms);
}

TimerId GlibLoop::schedule(double seconds, bool repeating, std::function<void()> fire) {
  const TimerId id = nextId_++;
  auto* timer = new Timer{this, id, repeating, std::move(fire)};
  GSource* source = g_timeout_source_new(delayMs(seconds));
  g_source_set_callback(source, &GlibLoop::onTimer, timer, &GlibLoop::onTimerDestroyed);
  sources_[id] = g_source_attach(source, context_);
  g_source_unref(source);
  return id;
}

TimerId GlibLoop::scheduleRepeating(double seconds, std::function<void()> fire) {
  return schedule(seconds, true, std::move(fire));
}

TimerId GlibLoop::scheduleOnce(double seconds, std::function<void()> fire) {
  return schedule(seconds, false, std::move(fire));
}

void GlibLoop::invalidateTimer(TimerId timer) {
  auto it = sources_.find(timer);
  if (it == sources_.end()) return;
  const guint source = it->second;
  sources_.erase(it);
  if (GSource* s = g_main_context_find_source_by_id(context_, source)) g_source_destroy(s);
}

gboolean GlibLoop::onTimer(gpointer data) {
  auto* timer = static_cast<Timer*>(data);
  // A one-shot timer is done before its work runs, so the work may schedule a new one.
  if (!timer->repeating) timer->loop->sources_.erase(timer->id);
  // The callback may invalidate this very timer; keep the function alive while it runs.
  const std::function<void()> fire = timer->fire;
  const bool repeating = timer->repeating;
  fire();
  return repeating ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void GlibLoop::onTimerDestroyed(gpointer data) {
  delete static_cast<Timer*>(data);
}

void GlibLoop::deferToMain(std::function<void()> work) {
  auto* job = new std::function<void()>(std::move(work));
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      job, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(source, context_);
  g_source_unref(source);
}

}  // namespace nimbra
