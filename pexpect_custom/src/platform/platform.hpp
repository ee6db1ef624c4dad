#pragma once
// Every mechanism whose form differs between Linux and the other POSIX systems, behind one seam.
// A Linux build takes linux.cpp and linux_input_wait.cpp: pidfds, clone, close_range, /proc.
// Any other system, and a Linux build configured with PEXPECT_PORTABLE=ON, takes posix.cpp,
// which uses only what macOS and the BSDs offer: posix_openpt, fork, waitpid and poll. The
// library installs no signal handler on either path.

#include <sys/types.h>

#include <optional>
#include <string>

#if defined(__linux__) && !defined(PEXPECT_PORTABLE)
#define PEXPECT_LINUX_MECHANISMS 1
#else
#define PEXPECT_LINUX_MECHANISMS 0
#endif

// Marks code that runs in the child before its exec, on a stack the address sanitizer does not
// know: instrumenting it would make the sanitizer print warnings onto the child's terminal.
#if defined(__clang__) || defined(__GNUC__)
#define PEXPECT_CHILD_CODE __attribute__((no_sanitize("address")))
#else
#define PEXPECT_CHILD_CODE
#endif

namespace pexpect_custom::detail::platform {

/// Whether this build uses the Linux mechanisms; false on the portable path.
bool linux_mechanisms();

// ---- descriptors ---------------------------------------------------------------------------

/// Makes a pipe whose two ends are close-on-exec, and non-blocking with `nonblocking`. False
/// with errno set on failure.
bool make_pipe(int ends[2], bool nonblocking);

/// Opens a pseudo-terminal master (not as a controlling terminal), close-on-exec, and unlocks
/// its slave. -1 with errno set on failure.
int open_pty_master();

/// The path of the slave of pseudo-terminal `master`: 0, or an errno value on failure.
int pty_slave_name(int master, std::string& name);

/// One more than the highest descriptor number this process may hold, read before a start so
/// that the child can close what lies below it without asking.
int descriptor_limit();

// ---- the child's end -----------------------------------------------------------------------

/// A close-on-exec descriptor that turns readable once child `pid` has ended (its end is not
/// collected), or -1 where the system has no such descriptor. The caller owns it.
int open_end_notice(pid_t pid);

/// The naps between two looks at a child whose end no descriptor announces. A look is a
/// waitpid that collects nothing and a poll, tens of microseconds; the naps start short, for a
/// child that is about to end, and grow, so that a long-running one wakes its waiter at most four times a
/// second: the end of a child whose terminal something else keeps open is then seen within 250 ms.
class growing_nap {
 public:
  static constexpr double first = 0.001;
  static constexpr double longest = 0.25;

  /// The nap to take now; each call doubles the next one, up to `longest`.
  double next() {
    const double nap = nap_;
    nap_ = nap_ * 2 < longest ? nap_ * 2 : longest;
    return nap;
  }
  /// Starts again from the shortest nap (the child has just shown signs of life).
  void reset() { nap_ = first; }

 private:
  double nap_ = first;
};

// ---- the start -----------------------------------------------------------------------------

/// Whether a child can run on its parent's memory, on a stack of its own, until its exec (while
/// the parent runs on, too, only where child_sys::errno_free).
bool can_share_memory();

/// Starts a child with a copy-on-write copy of the caller's memory that runs `main(argument)`
/// and never returns from it. Returns its process id (in the parent), or -1 with errno set.
pid_t fork_child(int (*main)(void*), void* argument);

/// Starts a child on the caller's memory, on the stack whose top is `stack_top`, that runs
/// `main(argument)`; with `parent_waits`, the calling thread sleeps until the child has executed
/// a program or ended. Only where can_share_memory(); elsewhere -1 with errno ENOSYS.
pid_t share_child(int (*main)(void*), void* argument, void* stack_top, bool parent_waits);

// ---- whether the program on a terminal waits for input ------------------------------------

enum class input_wait {
  waiting,  // every process judged is asleep, and one is blocked reading or polling the terminal
  busy,     // not yet: a process runs, or none reads the terminal
  unknown,  // cannot be told (no access to the processes, no foreground group, no way to look)
};

/// The device number of the terminal whose master side is `master_fd`; nullopt when it cannot
/// be found, and always on a system where foreground_input_wait cannot tell.
std::optional<dev_t> terminal_device(int master_fd);

/// What the terminal's foreground process group is doing, judged from those of its processes
/// that are `leader` or descend from it; `terminal` is terminal_device(master_fd). Cheap: a few
/// small reads per process of the leader's tree.
input_wait foreground_input_wait(int master_fd, pid_t leader, dev_t terminal);

}  // namespace pexpect_custom::detail::platform

#include "platform/child_calls.hpp"
