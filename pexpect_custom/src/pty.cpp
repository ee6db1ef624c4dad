// The library's own pseudo-terminal fork, and the child's window size.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <climits>

#include "child_exec.hpp"
#include "pexpect_custom/spawn.hpp"
#include "unique_fd.hpp"

namespace pexpect_custom {

namespace {

using detail::child_failure;

void fail_in_child(int error_fd, child_failure::kind_t kind) {
  detail::report_child_failure(error_fd, {kind, errno});
}

// In the child: makes the slave `child_name` the controlling terminal of a new session.
void pty_make_controlling_tty(const char* child_name, int error_fd) {
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

}  // namespace

std::pair<pid_t, int> spawn::fork_pty(int error_fd) {
  int master = -1;
  int slave = -1;
  char child_name[PATH_MAX] = {};
  if (openpty(&master, &slave, child_name, nullptr, nullptr) != 0) throw_system_error();
  detail::unique_fd parent_fd(master);
  detail::unique_fd child_side(slave);
  if (fcntl(master, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave, F_SETFD, FD_CLOEXEC) != 0) {
    throw_system_error();
  }
  pid_t child_pid = fork();
  if (child_pid < 0) throw_system_error();
  if (child_pid == 0) {
    parent_fd.reset();
    pty_make_controlling_tty(child_name, error_fd);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    if (slave > 2)
      child_side.reset();
    else
      child_side.release();
    return {0, -1};
  }
  return {child_pid, parent_fd.release()};
}

std::pair<int, int> spawn::getwinsize() const {
  winsize size{};
  if (ioctl(child_fd, TIOCGWINSZ, &size) != 0) throw_system_error();
  return {size.ws_row, size.ws_col};
}

void spawn::setwinsize(long rows, long cols) {
  if (rows < 0 || rows > 65535 || cols < 0 || cols > 65535) {
    throw std::out_of_range("setwinsize: rows and columns must lie in 0..65535");
  }
  winsize size{};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(cols);
  if (ioctl(child_fd, TIOCSWINSZ, &size) != 0) throw_system_error();
}

}  // namespace pexpect_custom
