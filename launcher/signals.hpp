#pragma once
// What the launcher does when a signal asks it to stop while it relays.

#include <sys/types.h>

namespace launcher {

/// Sets the dispositions the launcher needs whatever its parent left: SIGCHLD at its default, so
/// that the child can be collected, and SIGPIPE ignored, so that a closed output shows up as a
/// write error instead of ending the launcher before its child. (The child starts with every
/// signal at its default.)
void set_own_dispositions();

/// From now on, SIGINT, SIGTERM, SIGHUP and SIGQUIT restore the user's terminal mode (as it is
/// now), end the child `child`, and end the launcher: SIGINT with a diagnostic on standard error
/// and status 1, the others the way the signal itself would.
void guard_relay(pid_t child);

/// The child has been collected or is about to be ended by its owner: signals no longer touch it.
void forget_child();

}  // namespace launcher
