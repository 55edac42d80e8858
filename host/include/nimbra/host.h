// libnimbra-host: drives a nimbra-wheel helper from a host application.
//
//   nimbra::host::Wheel wheel;
//   wheel.segments.push_back({"Edit", "#3a7", {{"Copy", "copy"}, {"Paste", "paste"}}});
//   nimbra::host::Helper helper = nimbra::host::start("/tmp/my-app-wheel", wheel);
//   while (std::optional<nimbra::host::Event> e = helper.next_event())
//     if (e->kind == nimbra::host::Event::Kind::pick) run(e->command);
//   helper.stop();
//
// One thread drives a Helper. Everything passes through the work directory's files, as the
// manual page nimbra-wheel(1) describes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#define NIMBRA_HOST_API __attribute__((visibility("default")))

namespace nimbra::host {

// A wheel.cfg the helper would read differently from what was asked; the message names the
// segment or tool.
class NIMBRA_HOST_API WheelError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The helper could not be started. `status` is its exit status (2: it refused the work
// directory) or -1 when it did not exit; `message` is what it wrote to standard error.
class NIMBRA_HOST_API StartError : public std::runtime_error {
 public:
  StartError(const std::string& what, int status, std::string message)
      : std::runtime_error(what), status(status), message(std::move(message)) {}
  int status;
  std::string message;
};

struct NIMBRA_HOST_API Tool {
  std::string label;
  std::string command;  // written to cmd.txt, unchanged, when the tool is picked

  // A tool placed in a segment's 3x3 grid: x and y from 0 (left, top) to 1 (right, bottom).
  static Tool anchor(std::string label, double x, double y);
};

struct Segment {
  std::string name;
  std::string color;  // "#rgb" or "#rrggbb" (the "#" may be left out)
  std::vector<Tool> tools;
};

struct Wheel {
  std::vector<Segment> segments;
  std::optional<std::int64_t> hold_ms;  // the helper's default: 2000, at least 120
  std::optional<std::int64_t> size;     // radius in points; the helper's default: 190, at least 80
};

// The wheel.cfg text of `wheel`; throws WheelError for anything the helper would reject,
// split or change.
NIMBRA_HOST_API std::string wheel_cfg(const Wheel& wheel);

// One write of cmd.txt.
struct Event {
  enum class Kind { open, pick };
  Kind kind = Kind::open;
  std::string command;  // the picked tool's command; "~open" for an opening
  // Writes of cmd.txt noticed since the previous event that were replaced before they could
  // be read (their content is lost); -1 when the notices themselves were lost (the kernel's
  // queue overflowed), so the count is unknown. The counts add up: a write noticed only after
  // the content that replaced it was delivered is counted with the next event.
  int missed = 0;
};

struct Options {
  // The helper to run; empty: the one installed beside this library, else nimbra-wheel on PATH.
  std::string helper;
  std::chrono::milliseconds start_timeout{5000};
};

class NIMBRA_HOST_API Helper {
 public:
  Helper(Helper&&) noexcept;
  Helper& operator=(Helper&&) noexcept;
  ~Helper();  // leaves the helper running: stop() ends it

  const std::string& dir() const;

  // Rewrites wheel.cfg atomically with a modification time newer than the last one, so the
  // helper reloads it at its next tick even when two writes fall in the same second. Throws
  // WheelError, or std::system_error when the file cannot be written.
  void set_wheel(const Wheel& wheel);

  // Waits for the next write of cmd.txt. None when the timeout passes, a signal interrupts the
  // wait, or the helper has ended (after every write it made has been delivered).
  std::optional<Event> next_event(
      std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

  // need_access.txt holds "1": the desktop refuses the input permission.
  bool needs_permission() const;

  // The serving helper's heartbeat is under 5 s old and its process alive (a helper just
  // started counts until its first heartbeat is due).
  bool healthy();

  // Creates stop.txt and waits for the helper to exit and remove pid.txt. After `timeout` it
  // is sent SIGTERM (and SIGCONT, should it be stopped). True when it ended on request.
  bool stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

 private:
  friend Helper start(const std::string&, const Wheel&, const Options&);
  struct State;
  explicit Helper(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Creates `dir` if needed, writes wheel.cfg, starts the helper on it and returns once it
// serves the folder, or has left it to a healthy helper already serving it. Throws StartError
// (the helper refused or did not start in time), WheelError, or std::system_error when the
// folder or wheel.cfg cannot be written.
NIMBRA_HOST_API Helper start(const std::string& dir, const Wheel& wheel,
                             const Options& options = {});

}  // namespace nimbra::host
