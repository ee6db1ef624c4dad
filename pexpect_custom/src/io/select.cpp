#include "io/select.hpp"

#include <poll.h>

#include <cerrno>
#include <cmath>

#include "io/clock.hpp"
#include "pexpect_custom/errors.hpp"

namespace pexpect_custom::detail {

namespace {

constexpr short readable_events = POLLIN | POLLHUP | POLLERR | POLLNVAL;
// A hung-up descriptor counts as writable: a write fails at once instead of waiting.
constexpr short writable_events = POLLOUT | POLLHUP | POLLERR | POLLNVAL;
constexpr short exceptional_events = POLLPRI;

void add_interest(std::vector<pollfd>& fds, int fd, short events) {
  for (auto& entry : fds) {
    if (entry.fd == fd) {
      entry.events |= events;
      return;
    }
  }
  fds.push_back({fd, events, 0});
}

int poll_milliseconds(std::optional<double> timeout) {
  if (!timeout) return -1;
  if (!(*timeout > 0)) return 0;  // also NaN: poll once rather than convert it
  double ms = std::ceil(*timeout * 1000.0);
  return ms > 2147483647.0 ? 2147483647 : static_cast<int>(ms);
}

void collect(const std::vector<int>& wanted, const std::vector<pollfd>& fds, short events,
             std::vector<int>& ready) {
  for (int fd : wanted) {
    for (const auto& entry : fds) {
      if (entry.fd == fd && (entry.revents & events)) {
        ready.push_back(fd);
        break;
      }
    }
  }
}

}  // namespace

ready_lists select(const std::vector<int>& iwtd, const std::vector<int>& owtd, const std::vector<int>& ewtd,
                   std::optional<double> timeout) {
  std::vector<pollfd> fds;
  for (int fd : iwtd) add_interest(fds, fd, POLLIN);
  for (int fd : owtd) add_interest(fds, fd, POLLOUT);
  for (int fd : ewtd) add_interest(fds, fd, POLLPRI);
  timeout = checked_timeout(timeout);
  const double end_time = timeout ? now() + *timeout : 0;
  while (true) {
    const int count = ::poll(fds.data(), fds.size(), poll_milliseconds(timeout));
    if (count > 0) break;
    if (count < 0 && errno != EINTR) throw_system_error();
    // A signal, or the end of one poll of a wait longer than poll can take at once.
    if (timeout) {
      timeout = end_time - now();
      if (*timeout < 0 || (count == 0 && *timeout == 0)) return {};
    }
  }
  ready_lists ready;
  collect(iwtd, fds, readable_events, ready.read);
  collect(owtd, fds, writable_events, ready.write);
  collect(ewtd, fds, exceptional_events, ready.except);
  return ready;
}

}  // namespace pexpect_custom::detail
