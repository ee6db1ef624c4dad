#include "process/foreground_input.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pexpect_custom::detail {

namespace {

// A tree larger than this is not looked at: the pause is then taken in full.
constexpr std::size_t most_processes = 64;

// /dev/tty: whoever opened it reads its own controlling terminal, which for a process of the
// terminal's foreground group is that terminal.
const dev_t controlling_terminal = makedev(5, 0);

// Reads the small /proc file `path` into `into` (NUL-terminated); its length, or -1 with errno.
ssize_t read_proc_file(const char* path, char* into, std::size_t size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::size_t have = 0;
  while (have + 1 < size) {
    const ssize_t n = ::read(fd, into + have, size - 1 - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  into[have] = '\0';
  return static_cast<ssize_t>(have);
}

struct process_status {
  char state;
  pid_t pgrp;
};

// State and process group from /proc/<pid>/stat; false when the process is gone.
bool read_status(pid_t pid, process_status& status) {
  char path[48], text[512];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  if (read_proc_file(path, text, sizeof text) <= 0) return false;
  // "pid (name) S ppid pgrp ...": the name may itself hold blanks and parentheses.
  const char* after_name = std::strrchr(text, ')');
  int ppid = 0, pgrp = 0;
  if (!after_name || std::sscanf(after_name + 1, " %c %d %d", &status.state, &ppid, &pgrp) != 3) return false;
  status.pgrp = pgrp;
  return true;
}

enum class member { reading, asleep, busy, unknown };

// Whether descriptor `fd` of `pid` is the terminal.
member terminal_read(pid_t pid, unsigned long long fd, dev_t terminal) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/fd/%llu", static_cast<int>(pid), fd);
  struct stat target {};
  if (::stat(path, &target) != 0) return errno == EACCES || errno == EPERM ? member::unknown : member::asleep;
  const bool is_terminal =
      S_ISCHR(target.st_mode) && (target.st_rdev == terminal || target.st_rdev == controlling_terminal);
  return is_terminal ? member::reading : member::asleep;
}

bool reads_descriptor(long number) {
  switch (number) {
    case SYS_read:
    case SYS_readv:
    case SYS_pread64:
    case SYS_preadv:
#ifdef SYS_preadv2
    case SYS_preadv2:
#endif
      return true;
    default:
      return false;
  }
}

// The waits on several descriptors, with the argument that counts them (-1: none does). Called
// with no descriptor at all they are only sleeps.
int waits_for_input(long number) {
  switch (number) {
#ifdef SYS_poll
    case SYS_poll:
#endif
    case SYS_ppoll:
      return 1;
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6:
      return 0;
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait:
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
#endif
      return -1;
    default:
      return -2;
  }
}

// Where a sleeping process is blocked, from /proc/<pid>/syscall: "number arg0 ... arg5 sp pc",
// "-1 sp pc" outside a system call, or "running".
member blocked_in(pid_t pid, dev_t terminal) {
  char path[48], text[256];
  std::snprintf(path, sizeof path, "/proc/%d/syscall", static_cast<int>(pid));
  if (read_proc_file(path, text, sizeof text) < 0)
    return errno == ENOENT || errno == ESRCH ? member::asleep : member::unknown;
  if (std::strncmp(text, "running", 7) == 0) return member::busy;
  char* rest = nullptr;
  const long number = std::strtol(text, &rest, 10);
  if (rest == text) return member::unknown;
  unsigned long long args[2] = {0, 0};
  for (auto& arg : args) arg = std::strtoull(rest, &rest, 16);
  if (reads_descriptor(number)) return terminal_read(pid, args[0], terminal);
  const int count_at = waits_for_input(number);
  if (count_at == -1 || (count_at >= 0 && args[count_at] > 0)) return member::reading;
  return member::asleep;
}

// How a process of the tree counts; nullopt when it is not in the foreground group (or gone).
std::optional<member> judge(pid_t pid, bool leader, pid_t foreground, dev_t terminal) {
  // A session leader's process group is its own process id, so only its children's need reading.
  if (leader) return pid == foreground ? std::optional<member>(blocked_in(pid, terminal)) : std::nullopt;
  process_status status{};
  if (!read_status(pid, status) || status.pgrp != foreground) return std::nullopt;
  switch (status.state) {
    case 'S':
      return blocked_in(pid, terminal);
    case 'Z':
    case 'X':
    case 'x':
      return member::asleep;  // ended: it reads nothing and sets up nothing
    default:
      return member::busy;  // running, in uninterruptible I/O, or stopped
  }
}

// Appends the children of `pid` to `pending`; false when they cannot be listed (a process other
// than the leader that has just ended has none).
bool add_children(pid_t pid, bool leader, pid_t* pending, std::size_t& count) {
  char path[64], text[4096];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid), static_cast<int>(pid));
  if (read_proc_file(path, text, sizeof text) < 0) return !leader && (errno == ENOENT || errno == ESRCH);
  char* at = text;
  while (true) {
    char* end = nullptr;
    const long child = std::strtol(at, &end, 10);
    if (end == at) return true;
    if (count == most_processes) return false;
    pending[count++] = static_cast<pid_t>(child);
    at = end;
  }
}

}  // namespace

std::optional<dev_t> terminal_device(int master_fd) {
  char name[64];
  struct stat slave {};
  if (ptsname_r(master_fd, name, sizeof name) != 0 || ::stat(name, &slave) != 0) return std::nullopt;
  return slave.st_rdev;
}

input_wait foreground_input_wait(int master_fd, pid_t leader, dev_t terminal) {
  const pid_t foreground = tcgetpgrp(master_fd);
  if (foreground <= 0) return input_wait::unknown;
  pid_t pending[most_processes];
  std::size_t count = 0;
  pending[count++] = leader;
  bool reading = false;
  for (std::size_t next = 0; next < count; ++next) {
    const pid_t pid = pending[next];
    switch (judge(pid, pid == leader, foreground, terminal).value_or(member::asleep)) {
      case member::busy:
        return input_wait::busy;
      case member::unknown:
        return input_wait::unknown;
      case member::reading:
        reading = true;
        break;
      case member::asleep:
        break;
    }
    if (!add_children(pid, pid == leader, pending, count)) return input_wait::unknown;
  }
  return reading ? input_wait::waiting : input_wait::busy;
}

}  // namespace pexpect_custom::detail
