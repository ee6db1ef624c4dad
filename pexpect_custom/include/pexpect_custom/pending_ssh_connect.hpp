#pragma once
// pending_ssh_connect: the opening of a remote session advanced by its caller without ever
// blocking, so that one thread can open many sessions at once in its own event loop.

#include <memory>
#include <vector>

#include "pexpect_custom/ssh_spawn.hpp"

namespace pexpect_custom {

namespace detail {
class ssh_opening;
}  // namespace detail

/// The connection, host key check, authentication and start of an ssh_spawn, cut into steps.
/// Every step does what the server's answers so far allow and says whether the session is open.
/// Between steps the caller waits, in its own loop, until the socket of `watch_fds()` is
/// readable (or writable, when `wants_write()`) or `seconds_left()` has passed:
/// ```cpp
/// // The program's own wait (poll, epoll, libuv...) on descriptors, for at most some seconds.
/// auto wait_ready = [](std::vector<int> fds, bool for_writing, double seconds) {};
/// pending_ssh_connect pending({.host = "127.0.0.1", .command = "uptime", .connect_timeout = 20});
/// while (!pending.step()) wait_ready(pending.watch_fds(), pending.wants_write(), pending.seconds_left());
/// ssh_spawn session = pending.take();
/// ```
/// The failures raised by `step` are those of the `ssh_spawn` constructor, which is built on this
/// class: ExceptionPexpect naming what failed (std::invalid_argument for options that do not go
/// together), TIMEOUT once `connect_timeout` (counted from this object's construction) has
/// passed. A failure, or destroying this object before `take`, closes everything opened so far.
/// Movable, not copyable.
class pending_ssh_connect {
 public:
  /// Starts the clock of `connect_timeout`; nothing is read or sent yet (the configuration file is
  /// read by the first step, which also raises what is wrong with the options).
  explicit pending_ssh_connect(const ssh_options& options);
  /// The opening of a session's channel on a shared connection (the channel, terminal, variables
  /// and start of the command); the deadline is the connection's `connect_timeout`.
  pending_ssh_connect(ssh_connection& connection, const ssh_session_options& session);
  pending_ssh_connect(pending_ssh_connect&& other) noexcept;
  pending_ssh_connect& operator=(pending_ssh_connect&& other) noexcept;
  pending_ssh_connect(const pending_ssh_connect&) = delete;
  pending_ssh_connect& operator=(const pending_ssh_connect&) = delete;
  ~pending_ssh_connect();

  /// Advances the opening as far as it goes without waiting; returns whether the session is open.
  /// Raises what the constructor of ssh_spawn would. A step after the end returns true again.
  bool step();

  /// The descriptors to wait on before the next step: the connection's socket, once the first
  /// step has created it (none before).
  std::vector<int> watch_fds() const;

  /// Whether the next step waits for the socket to take more data (rather than to have some).
  bool wants_write() const;

  /// Seconds until the connection deadline (0 once it has passed).
  double seconds_left() const;

  /// The open session; std::logic_error unless the last step returned true, or after a take.
  ssh_spawn take();

 private:
  std::unique_ptr<detail::ssh_opening> opening_;
};

}  // namespace pexpect_custom
