#pragma once
// The launcher's exit status, chosen from how its child ended.

#include "pexpect_custom/spawn.hpp"

namespace launcher {

/// The child's own non-zero exit code; 128 + N for a child signal N ended; else 0 (the child
/// exited with 0, or it has not been collected).
int status_of(const pexpect_custom::spawn& child);

/// The status after a relay that failed: never 0, since the launcher did not do its job. The
/// child's own non-zero status where it is known, else 1.
int status_after_failed_relay(const pexpect_custom::spawn& child);

}  // namespace launcher
