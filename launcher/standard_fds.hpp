#pragma once
// The launcher's standard descriptors, whatever its parent left open.

namespace launcher {

/// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed, so that no descriptor
/// opened later (the child's terminal above all) takes one of their numbers. Returns whether
/// standard output was closed.
bool fill_closed_standard_fds();

}  // namespace launcher
