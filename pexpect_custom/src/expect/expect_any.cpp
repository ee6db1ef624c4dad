// One wait on several sessions: a pending expect per session, stepped when its descriptors turn
// readable, under one deadline kept here.
#include "pexpect_custom/expect_any.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <set>
#include <stdexcept>

#include "io/clock.hpp"
#include "pexpect_custom/errors.hpp"
#include "pexpect_custom/pending_expect.hpp"

namespace pexpect_custom {

namespace {

int poll_milliseconds(std::optional<double> seconds) {
  if (!seconds) return -1;
  if (!(*seconds > 0)) return 0;
  const double ms = std::ceil(*seconds * 1000.0);
  return ms > 2147483647.0 ? 2147483647 : static_cast<int>(ms);
}

void check_requests(const std::vector<expect_request>& requests) {
  if (requests.empty()) throw std::invalid_argument("expect_any() needs at least one session.");
  std::set<const expect_base*> seen;
  for (const expect_request& request : requests) {
    if (!request.session) throw std::invalid_argument("expect_any() got a request without a session.");
    if (!seen.insert(request.session).second) {
      throw std::invalid_argument("expect_any() got the same session twice.");
    }
  }
}

// The sessions whose descriptors poll found readable, marked in `due`.
void mark_readable(const std::vector<pollfd>& fds, const std::vector<std::size_t>& owners,
                   std::vector<char>& due) {
  for (std::size_t k = 0; k < fds.size(); ++k) {
    if (fds[k].revents != 0) due[owners[k]] = 1;
  }
}

// Sleeps until a descriptor of a pending session is readable or `seconds` pass.
void wait_for_any(std::vector<pending_expect>& pending, std::optional<double> seconds,
                  std::vector<char>& due) {
  std::vector<pollfd> fds;
  std::vector<std::size_t> owners;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    for (int fd : pending[i].watch_fds()) {
      fds.push_back({fd, POLLIN, 0});
      owners.push_back(i);
    }
  }
  const int count = ::poll(fds.data(), fds.size(), poll_milliseconds(seconds));
  if (count < 0 && errno != EINTR) throw_system_error();
  if (count > 0) mark_readable(fds, owners, due);
}

// How long the round may sleep: until the deadline, and no later than the next look at a session
// whose child's end nothing announces.
std::optional<double> round_limit(const std::vector<pending_expect>& pending, std::optional<double> left) {
  for (const pending_expect& one : pending) {
    if (std::optional<double> look = one.seconds_left()) left = left ? std::min(*left, *look) : *look;
  }
  return left;
}

// The sessions whose look is due, marked in `due`.
void mark_looks_due(const std::vector<pending_expect>& pending, std::vector<char>& due) {
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (std::optional<double> look = pending[i].seconds_left(); look && *look <= 0) due[i] = 1;
  }
}

// The time-out of the whole call: the first list with a TIMEOUT marker takes it; without one,
// the first session times out as its own expect would.
expect_any_result time_out(std::vector<pending_expect>& pending) {
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (pending[i].session().searcher->timeout_index >= 0) return {i, pending[i].time_out()};
  }
  return {0, pending.front().time_out()};
}

}  // namespace

expect_request on(expect_base& session, const pattern_list& patterns, std::optional<long> searchwindowsize) {
  return {&session, std::make_shared<searcher_re>(session.compile_pattern_list(patterns)), searchwindowsize};
}

expect_request on_exact(expect_base& session, const pattern_list& patterns,
                        std::optional<long> searchwindowsize) {
  return {&session, std::make_shared<searcher_string>(patterns), searchwindowsize};
}

// Each round steps every session that may have something new (all of them the first time, so
// that what is already buffered is searched before anything is read), then sleeps in poll
// unless a session just read and may hold more.
expect_any_result expect_any(const std::vector<expect_request>& requests, timeout_arg timeout) {
  check_requests(requests);
  const std::optional<double> limit =
      detail::checked_timeout(timeout.resolve(requests.front().session->timeout));
  const double end_time = limit ? detail::now() + *limit : 0;

  std::vector<pending_expect> pending;
  pending.reserve(requests.size());
  for (const expect_request& request : requests) {
    pending.emplace_back(*request.session, request.searcher, std::nullopt, request.searchwindowsize);
  }
  std::vector<char> due(pending.size(), 1);
  while (true) {
    bool more = false;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      if (!due[i]) continue;
      if (std::optional<long> index = pending[i].step()) return {i, *index};
      due[i] = pending[i].took_bytes() ? 1 : 0;
      more = more || due[i];
    }
    std::optional<double> left;
    if (limit) {
      left = end_time - detail::now();
      if (*left <= 0) return time_out(pending);
    }
    wait_for_any(pending, more ? std::optional<double>(0) : round_limit(pending, left), due);
    mark_looks_due(pending, due);
  }
}

}  // namespace pexpect_custom
