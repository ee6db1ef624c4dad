// Jump hosts: each hop is a connection of its own, reached over a channel that the hop before
// forwards (direct-tcpip) to it, the last one forwarding to the target. libssh runs a connection
// over any socket it is given, so each forward gets a socket pair: the next connection runs over
// one end, and a thread per jump host carries bytes between the other end and the channel.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom::detail {

namespace {

struct jump_host {
  std::string user;
  std::string host;
  std::optional<int> port;
};

int port_number(const std::string& text, const std::string& hop) {
  char* end = nullptr;
  const long port = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || port < 1 || port > 65535) {
    throw std::invalid_argument("ssh_spawn: the jump host \"" + hop + "\" has no valid port");
  }
  return static_cast<int>(port);
}

// "[user@]host[:port]", the host in brackets when it holds colons itself.
jump_host parse_hop(const std::string& hop) {
  jump_host parsed;
  std::string rest = hop;
  if (const std::size_t at = rest.rfind('@'); at != std::string::npos) {
    parsed.user = rest.substr(0, at);
    rest.erase(0, at + 1);
  }
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos)
      throw std::invalid_argument("ssh_spawn: the jump host \"" + hop + "\" lacks a ']'");
    parsed.host = rest.substr(1, close - 1);
    rest.erase(0, close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':')
        throw std::invalid_argument("ssh_spawn: the jump host \"" + hop + "\" is malformed");
      parsed.port = port_number(rest.substr(1), hop);
    }
  } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
    parsed.host = rest.substr(0, colon);
    parsed.port = port_number(rest.substr(colon + 1), hop);
  } else {
    parsed.host = rest;
  }
  if (parsed.host.empty())
    throw std::invalid_argument("ssh_spawn: the jump host \"" + hop + "\" has no host");
  return parsed;
}

std::vector<jump_host> parse_hops(const std::string& list) {
  std::vector<jump_host> hops;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    hops.push_back(parse_hop(list.substr(start, comma - start)));
    start = comma + 1;
  }
  return hops;
}

// The caller's sign-in, known hosts, algorithms and time-out, for the hop's own name.
ssh_options hop_options(const ssh_options& given, const jump_host& hop) {
  ssh_options options = given;
  options.host = hop.host;
  options.port = hop.port;
  options.user = hop.user;
  options.proxy_jump = "none";
  options.keepalive_interval = 0;
  return options;
}

[[noreturn]] void fail_at_hop(const std::string& hop) {
  const std::string prefix = "ssh: ";
  auto named = [&hop, &prefix](const std::string& message) {
    const std::string cause = message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
    return prefix + "jump host " + hop + ": " + cause;
  };
  try {
    throw;
  } catch (const TIMEOUT& error) {
    throw TIMEOUT(named(error.what()));
  } catch (const ExceptionPexpect& error) {
    throw ExceptionPexpect(named(error.what()));
  }
}

// A channel of `connection` forwarded to `host` port `port`, and the socket pair around it.
std::unique_ptr<jump_link> forward_to(const std::shared_ptr<ssh_link>& connection, const std::string& host,
                                      int port, unique_fd& far_socket) {
  ssh_session session = connection->session.get();
  channel_handle channel(ssh_channel_new(session));
  if (!channel) fail("cannot create a channel: " + error_text(session));
  if (ssh_channel_open_forward(channel.get(), host.c_str(), port, "127.0.0.1", 0) != SSH_OK) {
    fail("the forwarding to " + host + " port " + std::to_string(port) +
         " was refused: " + error_text(session));
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw_system_error();
  far_socket.reset(pair[0]);
  return std::make_unique<jump_link>(connection, std::move(channel), unique_fd(pair[1]));
}

}  // namespace

// Each jump host's connection is used by its forward's thread once the forward exists, so every
// forward is made exactly once, after the connection's last call from this thread.
std::unique_ptr<jump_link> open_jump_hosts(const ssh_options& given, const std::string& jumps,
                                           const std::string& host, int port, unique_fd& socket) {
  std::shared_ptr<ssh_link> previous;
  std::string name;
  for (const jump_host& hop : parse_hops(jumps)) {
    ssh_opening opening(hop_options(given, hop), opening_kind::connection);
    name = hop.host + (hop.port ? " port " + std::to_string(*hop.port) : "");
    try {
      opening.settle();
      name = where(opening.options());
      std::unique_ptr<jump_link> forward;
      if (previous) {
        unique_fd through;
        forward = forward_to(previous, opening.options().host, opening.options().port.value_or(22), through);
        opening.use_socket(std::move(through));
      }
      open_blocking(opening);
      previous = opening.connection();
      previous->through = std::move(forward);
    } catch (const ExceptionPexpect&) {
      fail_at_hop(name);
    }
  }
  try {
    return forward_to(previous, host, port, socket);
  } catch (const ExceptionPexpect&) {
    fail_at_hop(name);
  }
}

jump_link::jump_link(std::shared_ptr<ssh_link> connection, channel_handle forward, unique_fd near_end)
    : connection_(std::move(connection)),
      forward_(std::move(forward)),
      near_end_(std::move(near_end)),
      stop_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!stop_) throw_system_error();
  thread_ = std::thread([this] { pump(); });
}

jump_link::~jump_link() {
  const std::uint64_t one = 1;
  if (::write(stop_.get(), &one, sizeof one) < 0) {
    // an event counter that cannot count further is readable already
  }
  thread_.join();
}

namespace {

// Bytes from the channel wait here for the next connection's socket up to this much; beyond it,
// the channel is not read and the far side waits for its window.
constexpr std::size_t held_at_most = std::size_t{1} << 20;

}  // namespace

// The thread owns the jump host's connection until it ends: nothing else calls libssh on it.
void jump_link::pump() noexcept {
  std::string to_near;
  bool far_end_passed = false;
  while (pump_once(to_near, far_end_passed)) {
  }
  // The next connection sees its end of file.
  ::shutdown(near_end_.get(), SHUT_RDWR);
}

// One round: moves what is ready each way, then sleeps in poll until something more is. Returns
// false once nothing can pass any more (the next connection closed its end, which libssh only
// ever closes whole; the channel or the jump host's connection ended), or when told to stop.
bool jump_link::pump_once(std::string& to_near, bool& far_end_passed) {
  ssh_channel channel = forward_.get();
  const int near = near_end_.get();
  char chunk[64 * 1024];
  int n = 0;
  while (to_near.size() < held_at_most &&
         (n = ssh_channel_read_nonblocking(channel, chunk, sizeof chunk, 0)) > 0) {
    to_near.append(chunk, static_cast<std::size_t>(n));
  }
  if (n == SSH_ERROR) return false;
  while (!to_near.empty()) {
    const ssize_t sent = ::send(near, to_near.data(), to_near.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (sent < 0) return false;
    to_near.erase(0, static_cast<std::size_t>(sent));
  }
  if (to_near.empty() && !far_end_passed && (ssh_channel_is_eof(channel) || ssh_channel_is_closed(channel))) {
    ::shutdown(near, SHUT_WR);
    far_end_passed = true;
  }
  if (far_end_passed && ssh_channel_is_closed(channel)) return false;

  const bool room = to_near.size() < held_at_most;
  pollfd wake[3] = {{stop_.get(), POLLIN, 0},
                    {ssh_get_fd(connection_->session.get()), static_cast<short>(room ? POLLIN : 0), 0},
                    {near, static_cast<short>(POLLIN | (to_near.empty() ? 0 : POLLOUT)), 0}};
  if (::poll(wake, 3, -1) < 0) return errno == EINTR;
  if (wake[0].revents != 0) return false;
  // A jump host connection that broke while its data could not be taken is of no further use.
  if (!room && (wake[1].revents & (POLLHUP | POLLERR))) return false;
  if (wake[2].revents & (POLLIN | POLLHUP | POLLERR)) {
    const ssize_t got = ::recv(near, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
      ssh_channel_send_eof(channel);
      return false;
    }
    // Blocking: waits for the far side's window, within the connection's time limit.
    if (ssh_channel_write(channel, chunk, static_cast<std::uint32_t>(got)) != got) return false;
  }
  return true;
}

}  // namespace pexpect_custom::detail
