// The portable side of the platform seam: only what POSIX offers, as macOS and the BSDs have it.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/platform.hpp"

namespace pexpect_custom::detail::platform {

namespace {

// A descriptor number past every one a process can hold, where the system does not say.
constexpr int assumed_descriptor_limit = 1 << 16;
// The highest hard limit the child closes up to.
constexpr rlim_t highest_closed_limit = 1 << 16;

// The flag is set right after the descriptor is made. Until then a program that another thread
// starts at that very moment could inherit the descriptor: POSIX offers no atomic way for
// posix_openpt, nor for pipe on the systems that lack pipe2.
bool close_on_exec(int fd) {
  return fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void close_keeping_errno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

bool linux_mechanisms() {
  return false;
}

bool make_pipe(int ends[2], bool nonblocking) {
  if (::pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (!close_on_exec(ends[i]) || (nonblocking && fcntl(ends[i], F_SETFL, O_NONBLOCK) != 0)) {
      close_keeping_errno(ends[0]);
      close_keeping_errno(ends[1]);
      return false;
    }
  }
  return true;
}

int open_pty_master() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return -1;
  if (!close_on_exec(master) || grantpt(master) != 0 || unlockpt(master) != 0) {
    close_keeping_errno(master);
    return -1;
  }
  return master;
}

// ptsname answers in a buffer of its own, so the library's own calls take turns.
int pty_slave_name(int master, std::string& name) {
  static std::mutex turn;
  const std::lock_guard<std::mutex> hold(turn);
  errno = 0;
  const char* path = ptsname(master);
  if (!path) return errno != 0 ? errno : ENOTTY;
  name = path;
  return 0;
}

// The larger of the two limits: a descriptor opened before the soft limit was lowered lies
// above it. An unlimited or very high hard limit is cut at `highest_closed_limit`, so that a
// start does not make millions of calls.
int descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return assumed_descriptor_limit;
  const rlim_t highest =
      std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, highest_closed_limit));
  if (highest != RLIM_INFINITY && highest <= static_cast<rlim_t>(INT_MAX)) return static_cast<int>(highest);
  const long open_max = sysconf(_SC_OPEN_MAX);
  return open_max > 0 && open_max < INT_MAX ? static_cast<int>(open_max) : assumed_descriptor_limit;
}

// No descriptor tells of a child's end here: waiters look with waitpid after growing naps.
int open_end_notice(pid_t) {
  return -1;
}

bool can_share_memory() {
  return false;
}

// fork runs the handlers registered with pthread_atfork: they are the caller's own affair.
PEXPECT_CHILD_CODE pid_t fork_child(int (*main)(void*), void* argument) {
  const pid_t pid = ::fork();
  if (pid == 0) main(argument);
  return pid;
}

pid_t share_child(int (*)(void*), void*, void*, bool) {
  errno = ENOSYS;
  return -1;
}

// The state of other processes cannot be read here: the pause before a send is taken in full.
std::optional<dev_t> terminal_device(int) {
  return std::nullopt;
}

input_wait foreground_input_wait(int, pid_t, dev_t) {
  return input_wait::unknown;
}

}  // namespace pexpect_custom::detail::platform
