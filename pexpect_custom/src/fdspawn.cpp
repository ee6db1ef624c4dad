// expect over a caller's descriptor.
#include "pexpect_custom/fdspawn.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <stdexcept>

namespace pexpect_custom {

fdspawn::fdspawn(int fd, std::optional<double> timeout_seconds, long maxread_bytes,
                 std::optional<long> window, std::ostream* log, fd_ownership owner)
    : ownership(owner) {
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) throw_system_error();
  child_fd = fd;
  closed = false;
  timeout = timeout_seconds;
  maxread = maxread_bytes;
  searchwindowsize = window;
  logfile = log;
  name = "<file descriptor " + std::to_string(fd) + ">";
}

fdspawn::fdspawn(int fd, fdspawn_options options)
    : fdspawn(fd, options.timeout, options.maxread, options.searchwindowsize, options.logfile,
              options.ownership) {}

fdspawn::fdspawn(fdspawn&& other) noexcept : expect_base(std::move(other)), ownership(other.ownership) {}

fdspawn& fdspawn::operator=(fdspawn&& other) noexcept {
  if (this != &other) {
    this->~fdspawn();
    new (this) fdspawn(std::move(other));
  }
  return *this;
}

fdspawn::~fdspawn() {
  if (!closed && ownership == fd_ownership::owned) ::close(child_fd);
}

bool fdspawn::isalive() {
  return !closed && !flag_eof && fcntl(child_fd, F_GETFD) != -1;
}

void fdspawn::sendeof() {
  if (::isatty(child_fd)) {
    expect_base::sendeof();
    return;
  }
  int type = 0;
  socklen_t length = sizeof type;
  if (getsockopt(child_fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0) {
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
