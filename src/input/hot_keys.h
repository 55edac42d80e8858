// The global hot keys: Cmd+Alt+W (Super+Alt+W on Linux) opens and closes the wheel; Escape
// closes it while it is open by hot key.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace nimbra {

inline constexpr std::uint32_t kSummonHotKeyId = 1;
inline constexpr std::uint32_t kEscapeHotKeyId = 2;

void installHotKeys();
// Reports every press as handled; the work runs later on the main loop.
std::int32_t hotKeyHandler(const HotKeyEvent& event);
void dispatchHotKey(std::uint32_t id);

}  // namespace nimbra
