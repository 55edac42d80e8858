// Where the pointer is, on a desktop that tells no client: a transparent layer surface over
// every output, taking the pointer, reports the place where the pointer enters it (or first
// moves on it) and is taken away at once.
#pragma once

#include <glib.h>

#include <functional>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/wayland/wayland_buffer.h"
#include "platform/wayland/wayland_connection.h"

namespace nimbra {

class WaylandPointerProbe {
 public:
  explicit WaylandPointerProbe(WaylandConnection& connection);
  ~WaylandPointerProbe();
  WaylandPointerProbe(const WaylandPointerProbe&) = delete;
  WaylandPointerProbe& operator=(const WaylandPointerProbe&) = delete;

  // Covers the outputs; `found` gets the pointer's place in layout points. False, with nothing
  // covered, when the seat has no pointer or no output is known. A probe already under way
  // keeps its first `found`. A pointer that neither enters nor moves within kPatienceMs leaves
  // the summons unanswered (`unanswered` runs then): the covers never linger.
  bool start(std::function<void(Point)> found, std::function<void()> unanswered = {});
  static constexpr guint kPatienceMs = 5000;
  bool active() const { return !surfaces_.empty(); }

 private:
  // Takes the surfaces away without an answer.
  void cancel();
  struct Cover;
  void finish(Point at);

  WaylandConnection& connection_;
  std::vector<std::unique_ptr<Cover>> surfaces_;
  std::vector<std::unique_ptr<WaylandBuffer>> clear_;  // kept for the next probe
  std::function<void(Point)> found_;
  std::function<void()> unanswered_;
  guint patience_ = 0;
};

}  // namespace nimbra
