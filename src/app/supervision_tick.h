#pragma once

namespace nimbra {

// Once a second: heartbeat, stop request, configuration reload, event-tap retry.
void supervisionTick();

}  // namespace nimbra
