// The library's own pseudo-terminal fork, and the child's window size.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "pexpect_custom/spawn.hpp"
#include "process/child_exec.hpp"
#include "process/pty_pair.hpp"

namespace pexpect_custom {

namespace {

using detail::child_failure;

PEXPECT_CHILD_CODE void fail_in_child(int error_fd, child_failure::kind_t kind) {
  detail::report_child_failure(error_fd, {kind, errno});
}

// In the child: makes the slave `child_name` the controlling terminal of a new session.
PEXPECT_CHILD_CODE void pty_make_controlling_tty(const char* child_name, int error_fd) {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd >= 0) ::close(fd);
  if (setsid() < 0) fail_in_child(error_fd, child_failure::system_error);
  fd = ::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    ::close(fd);
    fail_in_child(error_fd, child_failure::still_has_controlling_tty);
  }
  fd = ::open(child_name, O_RDWR);
  if (fd < 0) fail_in_child(error_fd, child_failure::system_error);
  ::close(fd);
  fd = ::open("/dev/tty", O_WRONLY);
  if (fd < 0) fail_in_child(error_fd, child_failure::system_error);
  ::close(fd);
}

// In the child: takes the slave by name as the controlling terminal of a new session, and puts
// it on the standard descriptors.
PEXPECT_CHILD_CODE void attach_own(const detail::terminal_handover& terminal, int error_fd) {
  pty_make_controlling_tty(terminal.slave_name, error_fd);
  detail::slave_onto_standard_descriptors(terminal.slave, error_fd);
}

}  // namespace

namespace detail {

pty_pair open_pty_pair(int rows, int cols) {
  pty_pair pty;
  pty.master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.master || grantpt(pty.master.get()) != 0 || unlockpt(pty.master.get()) != 0) throw_system_error();
  char name[PATH_MAX] = {};
  const int failed = ptsname_r(pty.master.get(), name, sizeof name);
  if (failed != 0) throw SystemError(failed);
  pty.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.slave) throw_system_error();
  pty.slave_name = name;
  winsize size{};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(cols);
  if (ioctl(pty.master.get(), TIOCSWINSZ, &size) != 0) throw_system_error();
  return pty;
}

PEXPECT_CHILD_CODE void slave_onto_standard_descriptors(int slave, int error_fd) {
  // dup2 onto the descriptor itself would keep its close-on-exec flag: work from a copy above 2.
  int source = slave;
  if (slave <= 2) {
    source = fcntl(slave, F_DUPFD, 3);
    if (source < 0) fail_in_child(error_fd, child_failure::system_error);
  }
  for (int target = 0; target <= 2; ++target) {
    if (dup2(source, target) < 0) fail_in_child(error_fd, child_failure::system_error);
  }
  ::close(source);
}

PEXPECT_CHILD_CODE void attach_terminal(int slave, int error_fd) {
  if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) fail_in_child(error_fd, child_failure::system_error);
  slave_onto_standard_descriptors(slave, error_fd);
}

}  // namespace detail

std::pair<pid_t, int> spawn::fork_pty(const detail::exec_plan& plan, int error_fd) {
  detail::pty_pair pty = detail::open_pty_pair(dimensions_.first, dimensions_.second);
  const detail::terminal_handover terminal{attach_own, pty.slave.get(), pty.slave_name.c_str()};
  const pid_t child_pid =
      detail::start_child(plan, terminal, error_fd, detail::child_memory_for(wait_for_exec));
  if (child_pid < 0) throw_system_error();
  return {child_pid, pty.master.release()};
}

std::pair<int, int> spawn::getwinsize() const {
  winsize size{};
  if (ioctl(child_fd, TIOCGWINSZ, &size) != 0) throw_system_error();
  return {size.ws_row, size.ws_col};
}

void spawn::note_window_size() {
  winsize size{};
  if (ioctl(child_fd, TIOCGWINSZ, &size) == 0) terminal_resized(size.ws_row, size.ws_col);
}

void spawn::setwinsize(long rows, long cols) {
  if (rows < 0 || rows > 65535 || cols < 0 || cols > 65535) {
    throw std::out_of_range("setwinsize: rows and columns must lie in 0..65535");
  }
  winsize size{};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(cols);
  if (ioctl(child_fd, TIOCSWINSZ, &size) != 0) throw_system_error();
  terminal_resized(static_cast<int>(rows), static_cast<int>(cols));
}

}  // namespace pexpect_custom
