// Work that runs once on the next turn of the GLib loop, however often it is asked for before
// then: one paint per turn, whatever number of changes asked for one.
#pragma once

#include <glib.h>

#include <functional>

namespace nimbra {

class CoalescedIdle {
 public:
  CoalescedIdle(GMainContext* context, std::function<void()> work)
      : context_(context), work_(std::move(work)) {}
  ~CoalescedIdle() { cancel(); }
  CoalescedIdle(const CoalescedIdle&) = delete;
  CoalescedIdle& operator=(const CoalescedIdle&) = delete;

  void schedule();
  void cancel();

 private:
  static gboolean run(gpointer self);

  GMainContext* context_;
  std::function<void()> work_;
  GSource* source_ = nullptr;
};

}  // namespace nimbra
