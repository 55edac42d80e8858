#include "app/process_state.h"

#include "files/log.h"
#include "wheel/wheel.h"

namespace nimbra {

ProcessState::ProcessState() = default;
ProcessState::~ProcessState() = default;
ProcessState::ProcessState(ProcessState&&) noexcept = default;
ProcessState& ProcessState::operator=(ProcessState&&) noexcept = default;

ProcessState& process() {
  static ProcessState state;
  return state;
}

void log(std::string_view message) {
  ProcessState& p = process();
  if (!p.paths || !p.platform) return;
  // Never through a link planted as log.txt: it could append to, or create, a file elsewhere.
  appendLogLine(p.paths->join("log.txt"), p.platform->now(), message, /*noFollow=*/true);
}

void bootMark(std::string_view message) {
  ProcessState& p = process();
  if (!p.platform) return;
  appendLogLine(kBootLogPath, p.platform->now(), message, /*noFollow=*/true);
}

}  // namespace nimbra
