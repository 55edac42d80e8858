// Starting, watching and stopping one helper on one work directory.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "cmd_watch.h"
#include "helper_process.h"
#include "nimbra/host.h"
#include "work_dir.h"

namespace nimbra::host {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a stopped helper gets to die of SIGTERM before SIGKILL.
constexpr milliseconds kTermGrace{2000};

off_t fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

bool fresh(const std::optional<Heartbeat>& record) {
  return record && now_ms() - record->stamp_ms < kStaleAfterMs && process_alive(record->pid);
}

StartError servedBy(const std::string& dir, pid_t pid) {
  return StartError(dir + " is served by the helper of another host (pid " + std::to_string(pid) +
                        "); join it with Options::join",
                    0, "", pid);
}

// Blocks the signals that come from outside (not those a fault raises) for its lifetime;
// `waiting` is the mask to wait with, the one before.
struct SignalsHeld {
  sigset_t waiting;
  SignalsHeld() {
    sigset_t outside;
    sigfillset(&outside);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT})
      sigdelset(&outside, fault);
    ::pthread_sigmask(SIG_BLOCK, &outside, &waiting);
  }
  ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &waiting, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;
};

}  // namespace

struct Helper::State {
  std::string dir;
  pid_t child = -1;  // our own process until it has been collected
  Clock::time_point started;
  std::unique_ptr<CmdWatch> watch;

  void collect() {
    if (child > 0 && reap(child) >= 0) child = -1;
  }
  // Every process serving this folder that we may signal: our child, and the helper the
  // heartbeat names (another one, when ours left the folder to it).
  std::vector<pid_t> serving() {
    collect();
    std::vector<pid_t> out;
    if (child > 0) out.push_back(child);
    const std::optional<Heartbeat> record = read_heartbeat(dir);
    if (record && record->pid != child && process_alive(record->pid) &&
        is_helper_process(record->pid)) {
      out.push_back(record->pid);
    }
    return out;
  }
};

Helper::Helper(std::unique_ptr<State> state) : state_(std::move(state)) {}
Helper::Helper(Helper&&) noexcept = default;

Helper& Helper::operator=(Helper&& other) noexcept {
  if (this != &other) {
    const Helper old(std::move(*this));  // stops the helper it drove on leaving
    state_ = std::move(other.state_);
  }
  return *this;
}

Helper::~Helper() {
  if (!state_) return;
  try {
    stop();
  } catch (...) {
    // A destructor cannot report it; the parent-death signal still ends the helper with us.
  }
}

Helper::State& Helper::state() const {
  if (!state_) throw std::logic_error("nimbra::host::Helper used after it was moved from");
  return *state_;
}

const std::string& Helper::dir() const {
  return state().dir;
}

void Helper::set_wheel(const Wheel& wheel) {
  write_atomically(state().dir, "wheel.cfg", wheel_cfg(wheel), /*newer=*/true);
}

std::optional<Event> Helper::next_event(milliseconds timeout, Wait* why) {
  State& s = state();
  Wait ignored;
  Wait& result = why ? *why : ignored;
  const bool forever = timeout >= std::chrono::hours(24);
  const auto deadline = forever ? Clock::time_point::max() : Clock::now() + timeout;
  // A signal that lands while the files are read waits, pending, for the next wait, which it
  // then interrupts: none is lost between two waits.
  const SignalsHeld held;
  Event event;
  for (;;) {
    // Wake now and then to see whether the helper is still there.
    const milliseconds slice =
        forever ? milliseconds(500)
                : std::min(milliseconds(500), std::chrono::duration_cast<milliseconds>(
                                                  deadline - std::min(deadline, Clock::now())));
    switch (s.watch->wait(slice, event, &held.waiting)) {
      case CmdWatch::Outcome::event:
        result = Wait::event;
        return event;
      case CmdWatch::Outcome::interrupted:
        result = Wait::interrupted;
        return std::nullopt;
      case CmdWatch::Outcome::timeout:
        break;
    }
    if (s.serving().empty()) {
      // Whatever it wrote before it went is still delivered.
      if (s.watch->wait(milliseconds(0), event, &held.waiting) == CmdWatch::Outcome::event) {
        result = Wait::event;
        return event;
      }
      result = Wait::ended;
      return std::nullopt;
    }
    if (Clock::now() >= deadline) {
      result = Wait::timeout;
      return std::nullopt;
    }
  }
}

bool Helper::needs_permission() const {
  const std::optional<std::string> text = read_regular(join(state().dir, "need_access.txt"));
  return text && trimmed(*text) == "1";
}

bool Helper::healthy() {
  State& s = state();
  s.collect();
  if (fresh(read_heartbeat(s.dir))) return true;
  // Its first heartbeat comes a second after it starts.
  return s.child > 0 && Clock::now() - s.started < milliseconds(kStaleAfterMs);
}

bool Helper::stop(milliseconds timeout) {
  State& s = state();
  const std::vector<pid_t> pids = s.serving();
  if (pids.empty()) return false;  // nothing ended on this request
  const int fd = ::open(join(s.dir, "stop.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);

  const pid_t child = s.child;
  auto gone = [&] {
    s.collect();
    for (pid_t pid : pids) {
      if (pid == child ? s.child > 0 : process_alive(pid)) return false;
    }
    return true;
  };
  auto waitGone = [&](milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!gone()) {
      if (Clock::now() >= end) return false;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
  };
  if (waitGone(timeout)) return true;
  // SIGCONT lets a stopped helper act on the SIGTERM at all.
  for (pid_t pid : pids) {
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
  }
  if (!waitGone(kTermGrace)) {
    for (pid_t pid : pids) ::kill(pid, SIGKILL);
    waitGone(kTermGrace);
  }
  return false;
}

Helper start(const std::string& dir, const Wheel& wheel, const Options& options) {
  const std::string cfg = wheel_cfg(wheel);
  std::filesystem::create_directories(dir);
  // Another host's helper keeps its wheel unless this host asked to join it.
  if (const pid_t other = serving_helper(dir); other > 0 && !options.join)
    throw servedBy(dir, other);
  auto state = std::make_unique<Helper::State>();
  state->dir = dir;
  // Watching before the helper runs, so that not even its first opening is missed.
  state->watch = std::make_unique<CmdWatch>(dir);
  write_atomically(dir, "wheel.cfg", cfg, /*newer=*/true);

  const std::string logPath = join(dir, "log.txt");
  const off_t logStart = fileSize(logPath);
  const std::string binary = options.helper.empty() ? default_helper() : options.helper;
  int errFd = -1;
  const pid_t pid = spawn_helper(binary, dir, errFd, options.end_with_host);
  state->child = pid;
  state->started = Clock::now();
  const std::string serving = "] helper starting, pid " + std::to_string(pid) + ", dir ";
  std::string errText;
  const auto deadline = state->started + options.start_timeout;
  bool errOpen = true;
  for (;;) {
    errOpen = errOpen && drain_pipe(errFd, errText);
    if (const int status = reap(pid); status >= 0) {
      state->child = -1;
      while (drain_pipe(errFd, errText)) {
      }
      ::close(errFd);
      if (status != 0) {
        throw StartError(
            binary + " exited with status " + std::to_string(status) + ": " + trimmed(errText),
            status, trimmed(errText));
      }
      // Status 0 at once: it found a healthy helper serving the folder (one that came since
      // the look above) and left it to it.
      std::optional<Heartbeat> record;
      while (!fresh(record = read_heartbeat(dir))) {
        if (Clock::now() >= deadline)
          throw StartError(binary + " exited at once, and no helper serves " + dir, 0,
                           trimmed(errText));
        std::this_thread::sleep_for(milliseconds(5));
      }
      if (!options.join) throw servedBy(dir, record->pid);
      return Helper(std::move(state));
    }
    // It serves once it has logged its wheel: by then it has removed any stale stop.txt, so a
    // stop() that follows at once is not lost.
    const std::string log = read_regular(logPath, nullptr, logStart).value_or("");
    const std::size_t at = log.find(serving);
    const std::optional<Heartbeat> record = read_heartbeat(dir);
    if ((at != std::string::npos && log.find("] config: ", at) != std::string::npos) ||
        (record && record->pid == pid)) {
      break;
    }
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      ::close(errFd);
      throw StartError(
          binary + " did not start within " + std::to_string(options.start_timeout.count()) + " ms",
          -1, trimmed(errText));
    }
    pollfd p{errFd, POLLIN, 0};
    ::poll(&p, errOpen ? 1 : 0, 5);
  }
  // From here on it tells log.txt, not standard error; it ignores SIGPIPE.
  ::close(errFd);
  return Helper(std::move(state));
}

}  // namespace nimbra::host
