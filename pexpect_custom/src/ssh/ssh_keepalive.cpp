// Keepalive requests and the detection of a server that has gone silent: the kernel says how long
// ago the connection last brought data, and a timer descriptor wakes the session's waits.
#include <libssh/server.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <optional>

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom::detail {

namespace {

// Seconds since the socket last received data, where the system tells (Linux).
std::optional<double> seconds_since_data(int socket) {
#ifdef TCP_INFO
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) return info.tcpi_last_data_recv / 1000.0;
#endif
  (void)socket;
  return std::nullopt;
}

int periodic_timer(double interval) {
  const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) throw_system_error();
  itimerspec period{};
  double whole = 0;
  const double fraction = std::modf(interval, &whole);
  period.it_interval.tv_sec = static_cast<time_t>(whole);
  period.it_interval.tv_nsec = static_cast<long>(fraction * 1e9);
  period.it_value = period.it_interval;
  if (timerfd_settime(fd, 0, &period, nullptr) != 0) {
    ::close(fd);
    throw_system_error();
  }
  return fd;
}

}  // namespace

void keepalive::start(double interval, int count) {
  if (!(interval > 0)) return;
  if (count < 1) count = 1;
  timer_.reset(periodic_timer(interval));
  interval_ = interval;
  count_ = count;
}

bool keepalive::server_silent_too_long(ssh_session session) {
  if (!timer_) return false;
  std::uint64_t expirations = 0;
  while (::read(timer_.get(), &expirations, sizeof expirations) > 0) {
  }
  // Where the system cannot tell, keepalives still go out, but silence is never taken for an end.
  const std::optional<double> silence = seconds_since_data(ssh_get_fd(session));
  if (silence && *silence < interval_) return false;
  if (silence && *silence >= interval_ * count_) return true;
  // In non-blocking mode the request goes out without waiting for its answer, which any later
  // read of the socket collects.
  ssh_set_blocking(session, 0);
  ssh_send_keepalive(session);
  ssh_set_blocking(session, 1);
  return false;
}

}  // namespace pexpect_custom::detail
