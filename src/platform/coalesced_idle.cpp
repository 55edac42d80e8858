#include "platform/coalesced_idle.h"

namespace nimbra {

void CoalescedIdle::schedule() {
  if (source_) return;
  source_ = g_idle_source_new();
  g_source_set_priority(source_, G_PRIORITY_DEFAULT);
  g_source_set_callback(source_, &CoalescedIdle::run, this, nullptr);
  g_source_attach(source_, context_);
}

void CoalescedIdle::cancel() {
  if (!source_) return;
  g_source_destroy(source_);
  g_source_unref(source_);
  source_ = nullptr;
}

gboolean CoalescedIdle::run(gpointer self) {
  auto* idle = static_cast<CoalescedIdle*>(self);
  // Done before the work, which may ask for the next turn.
  g_source_unref(idle->source_);
  idle->source_ = nullptr;
  idle->work_();
  return G_SOURCE_REMOVE;
}

}  // namespace nimbra
