#pragma once
// ssh_spawn: a command or login shell on a remote host, on a pseudo-terminal of the remote
// system (or without one, for byte-exact data), reached over SSH and driven by the same expect
// engine as a local child.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/ssh_connection.hpp"
#include "pexpect_custom/ssh_options.hpp"

namespace pexpect_custom {

namespace detail {
struct ssh_channel_link;
}  // namespace detail

/// A remote session: reading, sending, the expect family, the readers, logs and the state report
/// of expect_base, over an SSH channel with a remote pseudo-terminal (or none, see `pty`). The
/// channel is the only one of its connection, or one of several on a shared ssh_connection. The
/// descriptor (`child_fd`) is the connection's socket (on a shared connection, the session's own
/// copy of it), which is what an event loop waits on, with the descriptors of watch_fds();
/// expect_any, pending_expect and the Asio adapter work on it as on a local child. The terminal is remote:
/// `sendeof` and `sendintr` send the usual characters (Ctrl-D, Ctrl-C), and the local terminal
/// calls (getecho, setecho, waitnoecho) do not apply. Movable, not copyable.
class ssh_spawn : public expect_base {
 public:
  /// Connects, checks the host key, authenticates and starts the command or shell. Throws
  /// ExceptionPexpect naming what failed (connection, name resolution, host key, authentication,
  /// channel), or TIMEOUT when the connection does not complete within `connect_timeout`.
  /// pending_ssh_connect does the same without blocking.
  explicit ssh_spawn(const ssh_options& options);
  /// Opens a channel on a shared connection and starts the command or shell there; raises
  /// ExceptionPexpect naming what the server refused, TIMEOUT after the connection's
  /// `connect_timeout`. The session keeps the connection alive.
  explicit ssh_spawn(ssh_connection& connection, const ssh_session_options& session = {});

  ssh_spawn(ssh_spawn&& other) noexcept;
  ssh_spawn& operator=(ssh_spawn&& other) noexcept;
  /// Closes the channel, and the connection unless others use it; never throws.
  ~ssh_spawn() override;

  /// Host, port and remote user the session reached.
  std::string host;
  int port = 22;
  std::string user;
  /// The remote command; empty for a login shell.
  std::string command;
  /// False until the remote side has ended.
  bool terminated = false;
  /// The remote command's exit code, once it has ended with one.
  std::optional<int> exitstatus;
  /// The signal that ended the remote command, once known (0 for a signal this system has no
  /// number for).
  std::optional<int> signalstatus;

  /// Whether the remote command still runs. Never blocks; collects the exit code or signal once
  /// it has ended.
  bool isalive() override;
  /// Waits until the remote side has ended and returns its exit code (nullopt after a signal).
  /// Output still unread stays unread.
  std::optional<int> wait();
  /// The descriptors a wait for this session watches (readable when something may have come):
  /// its socket, then its end notice if it has one (a session of a shared connection, or with
  /// keepalives), which wakes when another session of the connection took this one's output or
  /// end off the socket, or a keepalive found the server gone.
  std::vector<int> watch_fds();
  /// With a terminal, sends Ctrl-D, its usual end-of-file character; without one, ends the
  /// channel's input (the command reads end of file; nothing more can be sent).
  void sendeof() override;
  /// The standard error that has arrived so far and was not taken yet; never waits. Empty with a
  /// terminal or with `merge_stderr`, where it arrives with the output.
  std::string read_stderr();
  /// Rows and columns of the remote terminal, as last set.
  std::pair<int, int> getwinsize() const;
  /// Asks the remote side to change its terminal's size (it sends the programs there SIGWINCH).
  void setwinsize(long rows, long cols);
  /// Asks the server to signal the remote command (HUP, then INT; KILL too when `force`), each
  /// followed by a wait of up to `delayafterterminate` for its end; with `force`, closes the
  /// channel when that was not enough. Returns whether the remote side has ended. Servers that do
  /// not pass signals on leave only the forced close.
  bool terminate(bool force = false);
  /// Closes the channel, and the connection unless others use it. A second call does nothing.
  /// Once the output has ended, it first waits (up to a second) for the report of how the command
  /// ended, which the server sends just after, so that `exitstatus`/`signalstatus` are set.
  void close();

  /// Copies the local file `local_path` to `remote_path` over the same connection (SFTP), with the
  /// local file's permission bits; replaces a file there. `progress` is called after every block.
  /// Blocks until done, each wait bounded by `connect_timeout`. Raises ExceptionPexpect naming
  /// the file and the cause ("permission denied", "no such file", ...); the session goes on.
  void upload(const std::string& local_path, const std::string& remote_path,
              const transfer_progress& progress = {});
  /// Copies the remote file `remote_path` to `local_path`, with its permission bits, as upload.
  void download(const std::string& remote_path, const std::string& local_path,
                const transfer_progress& progress = {});

 protected:
  report_identity identity() const override;
  bool alive_without_blocking() override;
  long write_to_descriptor(std::string_view data) override;
  long read_from_descriptor(char* into, std::size_t size) override;
  bool input_buffered() override;
  int end_notice_fd() override;
  char terminal_character(int which) const override;
  std::pair<int, int> terminal_size() const override { return dimensions_; }

 private:
  friend class pending_ssh_connect;
  // Takes over a channel whose command or shell has started.
  ssh_spawn(const ssh_options& options, std::unique_ptr<detail::ssh_channel_link> link);

  void take_end_state();
  bool wait_for_end(std::optional<double> seconds);
  bool server_gone();

  void collect_stderr();

  std::pair<int, int> dimensions_{24, 80};
  std::string stderr_text_;
  std::unique_ptr<detail::ssh_channel_link> channel_;
};

}  // namespace pexpect_custom
