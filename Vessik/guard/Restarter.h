#pragma once

#include <string>
#include <vector>

// The guard where the compositor keeps the lock itself (a Wayland session): no
// shield and no grab, only the lock's state. It follows the link: LockState
// keeps the state, Unlock forgets it. When Vessik ends while a lock is in force
// (the compositor keeps every output covered then), Vessik is started again at
// once with that state, and takes the lock over. If it ends three times within
// a minute of being started again, the guard stops: the session stays locked
// by the compositor, and the log says how to go on. Without a lock in force the
// end of the link ends the guard.
//
// `link` is the guard's end of the link; `command` starts Vessik. Returns the
// guard's exit status.
int keepLocksWithoutDisplay(int link, const std::vector<std::string>& command);
