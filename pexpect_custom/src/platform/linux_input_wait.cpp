// The Linux side of the platform seam: whether the program on a terminal waits for input, read
// from /proc.
#include "platform/platform.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pexpect_custom::detail::platform {

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
  ssize_t n = 1;
  while (have + 1 < size) {
    n = ::read(fd, into + have, size - 1 - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  const int saved = errno;
  ::close(fd);
  errno = saved;
  into[have] = '\0';
  // Access to some files is checked at the read, not at the open.
  return n < 0 ? -1 : static_cast<ssize_t>(have);
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
  // With the attributes the kernel has at hand: a file on a network file system whose server
  // does not answer must not hold up the send.
  struct statx target {};
  if (::statx(AT_FDCWD, path, AT_STATX_DONT_SYNC, STATX_TYPE, &target) != 0)
    return errno == EACCES || errno == EPERM ? member::unknown : member::asleep;
  const dev_t device = makedev(target.stx_rdev_major, target.stx_rdev_minor);
  const bool is_terminal = S_ISCHR(target.stx_mode) && (device == terminal || device == controlling_terminal);
  return is_terminal ? member::reading : member::asleep;
}

// Copies `size` bytes at `address` in the memory of `pid`; false when they cannot be read.
bool read_memory(pid_t pid, unsigned long long address, void* into, std::size_t size) {
  if (address == 0) return false;
  iovec local{into, size};
  // An address in the other process, never dereferenced here.
  iovec remote{std::bit_cast<void*>(static_cast<std::uintptr_t>(address)), size};
  return process_vm_readv(pid, &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

// Longest descriptor list of a poll or select that is looked into; a longer one counts as not
// waiting for the terminal.
constexpr unsigned long long most_watched = 64;

// poll(fds, nfds, ...) and ppoll: whether one of the descriptors watched for input is the terminal.
member polls_terminal(pid_t pid, unsigned long long fds, unsigned long long nfds, dev_t terminal) {
  if (nfds == 0 || nfds > most_watched) return member::asleep;
  pollfd watched[most_watched];
  if (!read_memory(pid, fds, watched, nfds * sizeof(pollfd))) return member::unknown;
  for (unsigned long long i = 0; i < nfds; ++i) {
    if (watched[i].fd < 0 || !(watched[i].events & POLLIN)) continue;
    const member verdict = terminal_read(pid, static_cast<unsigned long long>(watched[i].fd), terminal);
    if (verdict != member::asleep) return verdict;
  }
  return member::asleep;
}

// select(nfds, readfds, ...) and pselect6: the same for the set of descriptors read.
member selects_terminal(pid_t pid, unsigned long long nfds, unsigned long long readfds, dev_t terminal) {
  constexpr unsigned long long bits = 8 * sizeof(unsigned long);
  if (nfds == 0 || nfds > most_watched || readfds == 0) return member::asleep;
  unsigned long set[(most_watched + bits - 1) / bits] = {};
  if (!read_memory(pid, readfds, set, (nfds + bits - 1) / bits * sizeof(unsigned long)))
    return member::unknown;
  for (unsigned long long fd = 0; fd < nfds; ++fd) {
    if (!(set[fd / bits] >> (fd % bits) & 1UL)) continue;
    const member verdict = terminal_read(pid, fd, terminal);
    if (verdict != member::asleep) return verdict;
  }
  return member::asleep;
}

// epoll_wait(epfd, ...) and its kin: the same for the descriptors the epoll instance watches for
// input, listed in /proc/<pid>/fdinfo/<epfd> as "tfd: N events: HEX ...".
member epolls_terminal(pid_t pid, unsigned long long epfd, dev_t terminal) {
  char path[64], text[4096];
  std::snprintf(path, sizeof path, "/proc/%d/fdinfo/%llu", static_cast<int>(pid), epfd);
  if (read_proc_file(path, text, sizeof text) < 0) return errno == ENOENT ? member::asleep : member::unknown;
  for (const char* line = std::strstr(text, "tfd:"); line; line = std::strstr(line + 4, "tfd:")) {
    unsigned long long fd = 0;
    unsigned int events = 0;
    if (std::sscanf(line, "tfd: %llu events: %x", &fd, &events) != 2 || !(events & EPOLLIN)) continue;
    const member verdict = terminal_read(pid, fd, terminal);
    if (verdict != member::asleep) return verdict;
  }
  return member::asleep;
}

// For a process blocked in system call `number` with arguments `args`: whether it is reading the
// terminal or waiting for it to become readable.
member waits_on_terminal(pid_t pid, long number, const unsigned long long* args, dev_t terminal) {
  switch (number) {
    case SYS_read:
    case SYS_readv:
    case SYS_pread64:
    case SYS_preadv:
#ifdef SYS_preadv2
    case SYS_preadv2:
#endif
      return terminal_read(pid, args[0], terminal);
#ifdef SYS_poll
    case SYS_poll:
#endif
    case SYS_ppoll:
      return polls_terminal(pid, args[0], args[1], terminal);
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6:
      return selects_terminal(pid, args[0], args[1], terminal);
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait:
#ifdef SYS_epoll_pwait2
    case SYS_epoll_pwait2:
#endif
      return epolls_terminal(pid, args[0], terminal);
    default:
      return member::asleep;
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
  return waits_on_terminal(pid, number, args, terminal);
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

}  // namespace pexpect_custom::detail::platform
