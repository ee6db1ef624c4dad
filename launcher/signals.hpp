#pragma once
// What the launcher does when a signal asks it to stop while it relays.

#include <sys/types.h>

namespace launcher {

/// From now on, SIGINT, SIGTERM, SIGHUP and SIGQUIT restore the user's terminal mode (as it is
/// now), end the child `child`, and end the launcher: SIGINT with a diagnostic on standard error
/// and status 1, the others the way the signal itself would. SIGPIPE is ignored, so a closed
/// output shows up as a write error.
void guard_relay(pid_t child);

/// The child has been collected or is about to be ended by its owner: signals no longer touch it.
void forget_child();

}  // namespace launcher
