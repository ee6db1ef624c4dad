#pragma once
// Whether the program in the foreground of a pseudo-terminal is waiting for input. Linux only:
// the answer comes from /proc.

#include <sys/types.h>

#include <optional>

namespace pexpect_custom::detail {

enum class input_wait {
  waiting,  // every process judged is asleep, and one is blocked reading or polling the terminal
  busy,     // not yet: a process runs, or none reads the terminal
  unknown,  // cannot be told (no /proc, no access to the processes, no foreground group)
};

/// The device number of the terminal whose master side is `master_fd`; nullopt when it cannot
/// be found.
std::optional<dev_t> terminal_device(int master_fd);

/// What the terminal's foreground process group is doing, judged from those of its processes
/// that are `leader` or descend from it; `terminal` is terminal_device(master_fd). Cheap: a few
/// small reads from /proc per process of the leader's tree.
input_wait foreground_input_wait(int master_fd, pid_t leader, dev_t terminal);

}  // namespace pexpect_custom::detail
