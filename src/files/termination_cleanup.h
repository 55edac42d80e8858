// Temporary files to delete should a termination signal (SIGTERM, SIGINT, SIGHUP) end the
// process: a newer instance ends a wedged one with SIGTERM, and a file kept open for reuse
// would otherwise stay behind in the work directory.
#pragma once

#include <string>

namespace nimbra {

// Marks `path` for deletion on a termination signal; answers a slot for forgetRemoval, or -1
// when no slot is free or the path is too long (the file may then stay behind). The first call
// installs the handlers, only for signals whose action is still the default one; the handler
// deletes the marked files and ends the process by the same signal.
int removeOnTermination(const std::string& path);
void forgetRemoval(int slot);

}  // namespace nimbra
