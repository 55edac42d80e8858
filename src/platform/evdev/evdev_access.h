// The input permission for the trigger over kernel devices: granted when this process can
// open /dev/uinput for writing and every mouse the system knows for reading.
#pragma once

namespace nimbra {

bool evdevAccessGranted();

}  // namespace nimbra
