// The library's own pseudo-terminal fork, and the child's window size.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "pexpect_custom/spawn.hpp"
#include "platform/platform.hpp"
#include "process/child_exec.hpp"
#include "process/pty_pair.hpp"

namespace pexpect_custom {

namespace {

using detail::child_failure;

namespace child_sys = detail::child_sys;

// `result` is a child system call's: -errno on failure.
PEXPECT_CHILD_CODE void fail_in_child(int error_fd, long result) {
  detail::report_child_failure(error_fd, {child_failure::system_error, static_cast<int>(-result)});
}

// In the child: makes the slave `child_name` the controlling terminal of a new session.
PEXPECT_CHILD_CODE void pty_make_controlling_tty(const char* child_name, int error_fd) {
  long fd = child_sys::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd >= 0) child_sys::close(static_cast<int>(fd));
  if (long result = child_sys::setsid(); result < 0) fail_in_child(error_fd, result);
  fd = child_sys::open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd >= 0) {
    child_sys::close(static_cast<int>(fd));
    detail::report_child_failure(error_fd, {child_failure::still_has_controlling_tty, 0});
  }
  fd = child_sys::open(child_name, O_RDWR);
  if (fd < 0) fail_in_child(error_fd, fd);
  child_sys::close(static_cast<int>(fd));
  fd = child_sys::open("/dev/tty", O_WRONLY);
  if (fd < 0) fail_in_child(error_fd, fd);
  child_sys::close(static_cast<int>(fd));
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
  pty.master.reset(platform::open_pty_master());
  if (!pty.master) throw_system_error();
  if (const int failed = platform::pty_slave_name(pty.master.get(), pty.slave_name); failed != 0)
    throw SystemError(failed);
  pty.slave.reset(::open(pty.slave_name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!pty.slave) throw_system_error();
  winsize size{};
  size.ws_row = static_cast<unsigned short>(rows);
  size.ws_col = static_cast<unsigned short>(cols);
  if (ioctl(pty.master.get(), TIOCSWINSZ, &size) != 0) throw_system_error();
  return pty;
}

PEXPECT_CHILD_CODE void slave_onto_standard_descriptors(int slave, int error_fd) {
  // Duplicating onto the descriptor itself would keep its close-on-exec flag: work from a copy
  // above 2, which is never the target.
  long source = slave;
  if (slave <= 2) {
    source = child_sys::dup_above(slave, 3);
    if (source < 0) fail_in_child(error_fd, source);
  }
  for (int target = 0; target <= 2; ++target) {
    if (long result = child_sys::dup_onto(static_cast<int>(source), target); result < 0)
      fail_in_child(error_fd, result);
  }
  child_sys::close(static_cast<int>(source));
}

PEXPECT_CHILD_CODE void attach_terminal(int slave, int error_fd) {
  long result = child_sys::setsid();
  if (result >= 0) result = child_sys::take_terminal(slave);
  if (result < 0) fail_in_child(error_fd, result);
  slave_onto_standard_descriptors(slave, error_fd);
}

}  // namespace detail

std::pair<pid_t, int> spawn::fork_pty(detail::child_launch& launch, int error_fd) {
  detail::pty_pair pty = detail::open_pty_pair(dimensions_.first, dimensions_.second);
  launch.set_terminal(attach_own, pty.slave.get(), pty.slave_name);
  const pid_t child_pid = detail::start_child(launch, error_fd, detail::child_memory_for(wait_for_exec));
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
