// The event source of a backend that posts events itself: the events are plain values, made at
// once and handed to the backend's own poster.
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "platform/platform.h"

namespace nimbra {

class ForwardingEventSource final : public EventSource {
 public:
  explicit ForwardingEventSource(std::function<void(const MouseEvent&)> post)
      : post_(std::move(post)) {}
  std::optional<MouseEvent> createMouseEvent(TapEventType type, Point location) override {
    return MouseEvent{type, location, 0};
  }
  void post(const MouseEvent& event) override { post_(event); }

 private:
  std::function<void(const MouseEvent&)> post_;
};

}  // namespace nimbra
