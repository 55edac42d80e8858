// The handful of process-wide variables that start-up creates and every handler reaches.
// All of them are touched on the main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "files/paths.h"
#include "files/rewritten_file.h"
#include "platform/platform.h"

namespace nimbra {

class Wheel;

// 'NIMB': marks the clicks the helper posts itself, and signs its hot keys.
inline constexpr std::int64_t kSyntheticMark = 0x4E494D42;
inline constexpr std::uint32_t kHotSig = 0x4E494D42;

struct ProcessState {
  ProcessState();
  ~ProcessState();
  ProcessState(ProcessState&&) noexcept;
  ProcessState& operator=(ProcessState&&) noexcept;

  Platform* platform = nullptr;
  std::optional<Paths> paths;
  std::unique_ptr<RewrittenFile> heartbeat;  // "pid.txt", made by the first tick
  std::unique_ptr<Wheel> wheel;
  std::unique_ptr<EventTap> gTap;
  std::optional<HotKeyRef> summonRef;
  std::optional<HotKeyRef> escRef;
  bool tapReady = false;
  // The wedged helper sent SIGTERM at start-up, whose lock this one takes once it is gone.
  std::int32_t wedgedHolder = 0;
  bool sparesSwept = false;  // the spares of earlier helpers are gone
};

ProcessState& process();

// The two log calls of the helper; both read the clock (and `log` the work directory) from the
// process-wide state.
void log(std::string_view message);
void bootMark(std::string_view message);

}  // namespace nimbra
