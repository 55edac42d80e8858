// The mouse trigger: hold the right button to open the wheel; a short click is handed back.
#pragma once

#include "platform/platform.h"

namespace nimbra {

// Creates, attaches and enables the tap; false (silently) when the platform gives none.
bool installTap();
// Sees every right-button event and pointer move of the session.
TapVerdict tapCallback(const TapEvent& event);
// Runs when the hold timer fires with the button still down.
void holdAction();
// Posts a marked right press and release at `at`, so a short click still reaches its target.
void passThroughClick(Point at);

}  // namespace nimbra
