#include "io/window_follow.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

#include "pexpect_custom/errors.hpp"
#include "platform/platform.hpp"

namespace pexpect_custom::detail {

namespace {

std::atomic<int> wake_write_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void on_window_change(int) {
  int saved_errno = errno;
  int fd = wake_write_fd.load();
  if (fd >= 0) {
    ssize_t ignored = ::write(fd, "w", 1);  // a full pipe already holds a notice
    (void)ignored;
  }
  errno = saved_errno;
}

}  // namespace

window_follower::window_follower(int user_fd, int child_fd) : user_fd_(user_fd), child_fd_(child_fd) {
  int ends[2];
  if (!platform::make_pipe(ends, true)) throw_system_error();
  wake_read_.reset(ends[0]);
  wake_write_.reset(ends[1]);
  int expected = -1;
  if (!wake_write_fd.compare_exchange_strong(expected, wake_write_.get())) {
    throw std::logic_error("another relay is already following the window size");
  }
  struct sigaction action {};
  action.sa_handler = on_window_change;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGWINCH, &action, &previous_) != 0) {
    wake_write_fd.store(-1);
    throw_system_error();
  }
  installed_ = true;
  copy_size();
}

window_follower::~window_follower() {
  if (!installed_) return;
  sigaction(SIGWINCH, &previous_, nullptr);
  wake_write_fd.store(-1);
}

void window_follower::follow() {
  char notices[64];
  while (::read(wake_read_.get(), notices, sizeof notices) > 0) {
  }
  copy_size();
}

void window_follower::catch_up() {
  char notices[64];
  bool pending = false;
  while (::read(wake_read_.get(), notices, sizeof notices) > 0) pending = true;
  if (pending) copy_size();
}

// A user side that is not a terminal has no size to copy; the child's stays as it is.
void window_follower::copy_size() const {
  winsize size{};
  if (ioctl(user_fd_, TIOCGWINSZ, &size) == 0) ioctl(child_fd_, TIOCSWINSZ, &size);
}

}  // namespace pexpect_custom::detail
