#include "input/hot_keys.h"

#include <string>

#include "app/process_state.h"
#include "wheel/wheel.h"

namespace nimbra {

namespace {

void logSummonStatus(std::int32_t status) {
  if (status == 0) {
    log("hotkey Cmd+Alt+W registered");
  } else {
    log("hotkey Cmd+Alt+W REFUSED, status " + std::to_string(status));
  }
}

}  // namespace

void installHotKeys() {
  ProcessState& p = process();
  p.platform->installHotKeyHandler(&hotKeyHandler);
  p.platform->installHotKeyOutcomeHandler(&logSummonStatus);
  const HotKeyRegistration reg = p.platform->registerHotKey(kKeyCodeW, kModCommand | kModOption,
                                                            HotKeyId{kHotSig, kSummonHotKeyId});
  p.summonRef = reg.ref;
  if (!reg.pending) logSummonStatus(reg.status);
  // `nimbra-wheel --open` stands in for the hot key where the desktop grants none.
  p.platform->acceptOpenRequests(p.paths->dir, [] {
    hotKeyHandler(HotKeyEvent{HotKeyId{kHotSig, kSummonHotKeyId}});
  });
}

std::int32_t hotKeyHandler(const HotKeyEvent& event) {
  if (event.id) {
    const std::uint32_t id = event.id->id;
    process().platform->deferToMain([id] { dispatchHotKey(id); });
  }
  return 0;
}

void dispatchHotKey(std::uint32_t id) {
  Wheel* wheel = process().wheel.get();
  if (!wheel) return;
  if (id == kEscapeHotKeyId) {
    if (wheel->shown) wheel->hide(false);
  } else if (id == kSummonHotKeyId) {
    wheel->showByHotKey();
  }
}

}  // namespace nimbra
