// expect over a caller's descriptor.
#include "pexpect_custom/fdspawn.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <stdexcept>

namespace pexpect_custom {

namespace {

bool is_socket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

// A write to a pipe whose reader is gone raises SIGPIPE in the writing thread, whose default
// action ends the whole process. Held back around the write, the failure is left to EPIPE, and
// the signal this write raised is taken off again (one that was already pending is left alone).
long write_without_sigpipe(int fd, std::string_view data) {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  const ssize_t written = ::write(fd, data.data(), data.size());
  const int saved_errno = errno;
  if (written < 0 && saved_errno == EPIPE && !was_pending) {
    const timespec no_wait{};
    while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved_errno;
  return written;
}

}  // namespace

fdspawn::fdspawn(int fd, std::optional<double> timeout_seconds, long maxread_bytes,
                 std::optional<long> window, std::ostream* log, fd_ownership owner)
    : ownership(owner) {
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) throw_system_error();
  child_fd = fd;
  socket_ = is_socket(fd);
  closed = false;
  timeout = timeout_seconds;
  maxread = maxread_bytes;
  searchwindowsize = window;
  logfile = log;
  name = "<file descriptor " + std::to_string(fd) + ">";
}

fdspawn::fdspawn(int fd, fdspawn_options options)
    : fdspawn(fd, options.timeout, options.maxread, options.searchwindowsize, options.logfile,
              options.ownership) {
  if (options.screen) attach_screen();
  recording = options.recording;
  strip_terminal_sequences = options.strip_terminal_sequences;
}

fdspawn::fdspawn(fdspawn&& other) noexcept
    : expect_base(std::move(other)), ownership(other.ownership), socket_(other.socket_) {}

fdspawn& fdspawn::operator=(fdspawn&& other) noexcept {
  if (this != &other) {
    release();
    ownership = other.ownership;
    socket_ = other.socket_;
    expect_base::operator=(std::move(other));
  }
  return *this;
}

fdspawn::~fdspawn() {
  release();
}

void fdspawn::release() noexcept {
  if (!closed && ownership == fd_ownership::owned) ::close(child_fd);
}

long fdspawn::write_to_descriptor(std::string_view data) {
  if (socket_) return ::send(child_fd, data.data(), data.size(), MSG_NOSIGNAL);
  return write_without_sigpipe(child_fd, data);
}

bool fdspawn::isalive() {
  return !closed && !flag_eof && fcntl(child_fd, F_GETFD) != -1;
}

void fdspawn::sendeof() {
  if (::isatty(child_fd)) {
    expect_base::sendeof();
    return;
  }
  if (socket_) {
    if (shutdown(child_fd, SHUT_WR) != 0) throw_system_error();
    return;
  }
  throw std::logic_error("sendeof() needs a terminal or a socket; this descriptor has no end-of-file signal");
}

void fdspawn::close() {
  if (closed) return;
  if (::close(child_fd) != 0) throw_system_error();
  child_fd = -1;
  closed = true;
}

expect_base::report_identity fdspawn::identity() const {
  return {"pexpect_custom::fdspawn", std::nullopt, std::nullopt, std::nullopt, std::nullopt};
}

}  // namespace pexpect_custom
