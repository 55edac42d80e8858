#pragma once

namespace nimbra {

// True when the process may watch and post input. While it may not, "need_access.txt" holds
// "1" for the host application and each check is logged.
bool ensureAccessibility();

}  // namespace nimbra
