#pragma once
// ssh_connection: one SSH connection (one handshake, one sign-in) that several remote sessions
// share, each on a channel of its own.

#include <memory>
#include <string>

#include "pexpect_custom/ssh_options.hpp"

namespace pexpect_custom {

namespace detail {
struct ssh_link;
}  // namespace detail

/// A connection to one host that sessions are opened on:
/// ```cpp
/// ssh_connection host({.host = "build-7", .user = "ci"});
/// ssh_spawn disk(host, {.command = "df -h /", .pty = false});
/// ssh_spawn shell(host);  // a login shell on a terminal, on the same connection
/// ```
/// The connection's settings (host, port, user, sign-in, host key, algorithms, keepalive,
/// configuration file, connect_timeout) are taken from `options`; its session fields (command,
/// pty, logs, ...) are not used: each session brings its own (ssh_session_options).
/// Every session keeps the connection alive: it closes when this object and the last session on
/// it are closed or gone. When the connection fails (the server goes away, or stops answering its
/// keepalives), every session on it comes to its end. Sessions of one connection are used from
/// one thread at a time. Movable, not copyable.
class ssh_connection {
 public:
  /// Connects, checks the host key and signs in; raises what ssh_spawn's constructor would.
  explicit ssh_connection(const ssh_options& options);
  ssh_connection(ssh_connection&& other) noexcept;
  ssh_connection& operator=(ssh_connection&& other) noexcept;
  ssh_connection(const ssh_connection&) = delete;
  ssh_connection& operator=(const ssh_connection&) = delete;
  /// Lets go of the connection, which closes once no session uses it; never throws.
  ~ssh_connection();

  /// Host, port and remote user the connection reached.
  const std::string& host() const;
  int port() const;
  const std::string& user() const;

  /// Copies a local file to the host (SFTP), as ssh_spawn::upload.
  void upload(const std::string& local_path, const std::string& remote_path,
              const transfer_progress& progress = {});
  /// Copies a file of the host here (SFTP), as ssh_spawn::download.
  void download(const std::string& remote_path, const std::string& local_path,
                const transfer_progress& progress = {});

  /// Lets go of the connection as the destructor does; sessions opened on it go on. A second call
  /// does nothing; opening a session or a transfer afterwards raises std::logic_error.
  void close();

 private:
  friend class pending_ssh_connect;
  const detail::ssh_link& link() const;
  std::shared_ptr<detail::ssh_link> link_;
};

}  // namespace pexpect_custom
