// The Linux side of the platform seam.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/platform.hpp"

namespace pexpect_custom::detail::platform {

bool linux_mechanisms() {
  return true;
}

bool make_pipe(int ends[2], bool nonblocking) {
  return pipe2(ends, O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0)) == 0;
}

int open_pty_master() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return -1;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    const int saved = errno;
    ::close(master);
    errno = saved;
    return -1;
  }
  return master;
}

int pty_slave_name(int master, std::string& name) {
  char path[PATH_MAX] = {};
  const int failed = ptsname_r(master, path, sizeof path);
  if (failed == 0) name = path;
  return failed;
}

int descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > INT_MAX) return INT_MAX;
  return static_cast<int>(limit.rlim_cur);
}

// A pidfd: readable once the process has ended, whether or not its end has been collected.
int open_end_notice(pid_t pid) {
#ifdef SYS_pidfd_open
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd < 0) return -1;
  // pidfds are close-on-exec from the start; the flag is set again for kernels that forgot.
  if (fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) == 0) return static_cast<int>(fd);
  ::close(static_cast<int>(fd));
#else
  (void)pid;
#endif
  return -1;
}

bool can_share_memory() {
  return true;
}

// _Fork runs no fork handler of the caller in the child.
PEXPECT_CHILD_CODE pid_t fork_child(int (*main)(void*), void* argument) {
  const pid_t pid = _Fork();
  if (pid == 0) main(argument);
  return pid;
}

pid_t share_child(int (*main)(void*), void* argument, void* stack_top, bool parent_waits) {
  const int sharing = parent_waits ? CLONE_VM | CLONE_VFORK : CLONE_VM;
  return clone(main, stack_top, sharing | SIGCHLD, argument);
}

}  // namespace pexpect_custom::detail::platform
