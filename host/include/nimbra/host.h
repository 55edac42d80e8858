// libnimbra-host: drives a nimbra-wheel helper from a host application.
//
//   nimbra::host::Wheel wheel;
//   wheel.segments.push_back({"Edit", "#3a7", {{"Copy", "copy"}, {"Paste", "paste"}}});
//   nimbra::host::Helper helper = nimbra::host::start("/tmp/my-app-wheel", wheel);
//   while (std::optional<nimbra::host::Event> e = helper.next_event())
//     if (e->kind == nimbra::host::Event::Kind::pick) run(e->command);
//   helper.stop();  // or let the Helper go out of scope
//
// One thread drives a Helper. Everything passes through the work directory's files, as the
// manual pages nimbra-host(3) and nimbra-wheel(1) describe. Build with C++20 or later.
//
// Compatibility: programs built against this header keep working with every later library of
// the same NIMBRA_HOST_SOVERSION (the number in libnimbra-host.so.N). Within it, functions and
// members are only added, never removed or changed, and no struct or class here changes its
// layout; anything else (a new member of Options, a changed signature) comes with a new
// soname. What is not promised: the wording of exception messages, and anything under
// host/src, which is not installed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#define NIMBRA_HOST_VERSION_MAJOR 0
#define NIMBRA_HOST_VERSION_MINOR 2
#define NIMBRA_HOST_VERSION_PATCH 0
#define NIMBRA_HOST_VERSION "0.2.0"
// The soname's number: a program built against one library runs with another of the same.
#define NIMBRA_HOST_SOVERSION 1

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
// `serving_pid` names the helper of another host that already serves the folder (see
// Options::join), else 0.
class NIMBRA_HOST_API StartError : public std::runtime_error {
 public:
  StartError(const std::string& what, int status, std::string message, pid_t serving_pid = 0)
      : std::runtime_error(what),
        status(status),
        message(std::move(message)),
        serving_pid(serving_pid) {}
  int status;
  std::string message;
  pid_t serving_pid;
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
  // A folder already served by a helper (another host's, say) is refused with StartError;
  // with `join` the new wheel replaces its wheel and the Helper returned drives that helper.
  bool join = false;
  // The helper is sent SIGTERM when this process ends, however it ends (the kernel's
  // parent-death signal, set from a thread of the library's that lives as long as the
  // process). False: it runs on until stop.txt.
  bool end_with_host = true;
};

// Why next_event returned.
enum class Wait { event, timeout, interrupted, ended };

class NIMBRA_HOST_API Helper {
 public:
  Helper(Helper&&) noexcept;
  // Stops the helper this Helper drove, as the destructor does, then takes over `other`'s.
  Helper& operator=(Helper&&) noexcept;
  // Stops the helper, as stop() with its default timeout does (nothing once it has ended).
  ~Helper();

  // Every call below on a Helper that was moved from throws std::logic_error.
  const std::string& dir() const;

  // Rewrites wheel.cfg atomically with a modification time newer than the last one, so the
  // helper reloads it at its next tick even when two writes fall in the same second. Throws
  // WheelError, or std::system_error when the file cannot be written.
  void set_wheel(const Wheel& wheel);

  // Waits for the next write of cmd.txt. None when the timeout passes, a signal handled by
  // this thread interrupts the wait (one installed without SA_RESTART or with it: a signal
  // that comes at any point of the call ends it), or the helper has ended (after every write
  // it made has been delivered); `why`, when given, tells which.
  std::optional<Event> next_event(
      std::chrono::milliseconds timeout = std::chrono::milliseconds::max(), Wait* why = nullptr);

  // need_access.txt holds "1": the desktop refuses the input permission.
  bool needs_permission() const;

  // The serving helper's heartbeat is under 5 s old and its process alive (a helper just
  // started counts until its first heartbeat is due).
  bool healthy();

  // Creates stop.txt and waits for the helper to exit and remove pid.txt. After `timeout` it
  // is sent SIGTERM (and SIGCONT, should it be stopped). True when it ended on request; false
  // when it had to be terminated or was not running any more.
  bool stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

 private:
  friend Helper start(const std::string&, const Wheel&, const Options&);
  struct State;
  explicit Helper(std::unique_ptr<State> state);
  State& state() const;
  std::unique_ptr<State> state_;
};

// Creates `dir` if needed, writes wheel.cfg, starts the helper on it and returns once it
// serves the folder. Throws StartError (the helper refused or did not start in time, or
// another helper serves the folder and `options.join` is false, in which case wheel.cfg is
// left as it was), WheelError, or std::system_error when the folder or wheel.cfg cannot be
// written.
NIMBRA_HOST_API Helper start(const std::string& dir, const Wheel& wheel,
                             const Options& options = {});

// For a host's own tests, without a display or a helper: replaces dir/cmd.txt by `command` as
// the helper does (a finished file renamed over the name), so a Helper on `dir` reports it.
// kOpen is what the helper writes when the wheel opens. Throws std::system_error.
inline constexpr const char* kOpen = "~open";
NIMBRA_HOST_API void write_cmd(const std::string& dir, const std::string& command);

}  // namespace nimbra::host
