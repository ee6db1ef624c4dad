#pragma once
// A new pseudo-terminal pair whose two descriptors are close-on-exec from the moment they exist,
// so that a program another thread starts meanwhile inherits neither.

#include <string>

#include "io/unique_fd.hpp"

namespace pexpect_custom::detail {

struct pty_pair {
  unique_fd master;
  unique_fd slave;
  std::string slave_name;
};

/// Opens the master and then the slave (not as a controlling terminal), with a window of `rows`
/// by `cols`. Throws SystemError.
pty_pair open_pty_pair(int rows, int cols);

/// In a child that has just started a new session: makes `slave` its controlling terminal and
/// its descriptors 0, 1 and 2, and closes the original descriptor. Only async-signal-safe calls;
/// a failure is reported on `error_fd` and ends the child.
void attach_terminal(int slave, int error_fd);

/// In the child: puts `slave` on descriptors 0, 1 and 2 (without close-on-exec) and closes the
/// original when it lies above them. Only async-signal-safe calls.
void slave_onto_standard_descriptors(int slave, int error_fd);

}  // namespace pexpect_custom::detail
