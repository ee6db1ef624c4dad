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
#include "pexpect_custom/timeout.hpp"

namespace pexpect_custom {

namespace detail {
struct ssh_connection;
}  // namespace detail

/// One prompt of a keyboard-interactive exchange: the text the server shows and whether the
/// answer would be echoed.
struct ssh_prompt {
  std::string name;
  std::string instruction;
  std::string prompt;
  bool echo = false;
};

/// Reports the progress of a file transfer: bytes done so far and the file's size.
using transfer_progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

/// Answers one keyboard-interactive prompt.
using ssh_answer_function = std::function<std::string(const ssh_prompt&)>;

/// Where and how to connect, and the session's fields. Designated-initialiser friendly:
/// ```cpp
/// ssh_spawn shell({.host = "build-7", .user = "ci", .identity_files = {"/home/ci/.ssh/id_ed25519"}});
/// ```
/// Authentication tries, in this order and as far as the server offers them: each identity file
/// (with `passphrase`), the agent named by SSH_AUTH_SOCK (`use_agent`), `password`, and
/// keyboard-interactive (answered by `answer`, or else every hidden prompt with `password`).
/// Fields left empty (or unset) are completed from the OpenSSH client configuration file
/// `config_file`, as the `ssh` client does; what the caller gives always wins.
struct ssh_options {
  /// Name or address of the host, or a `Host` alias of the configuration file.
  std::string host;
  /// nullopt: the configuration's `Port`, else 22.
  std::optional<int> port;
  /// Remote user; empty: the configuration's `User`, else the user this process runs as.
  std::string user;
  /// Private key files to offer; empty: the configuration's `IdentityFile` lines.
  std::vector<std::string> identity_files;
  /// Passphrase of the identity files, when they have one.
  std::optional<std::string> passphrase;
  bool use_agent = true;
  std::optional<std::string> password;
  ssh_answer_function answer;
  /// Known-hosts file the host key is checked against (with the system's
  /// /etc/ssh/ssh_known_hosts); empty: the configuration's `UserKnownHostsFile`, else
  /// ~/.ssh/known_hosts.
  std::string known_hosts;
  /// Adds the key of a host the file does not know yet, instead of refusing it (so does
  /// `StrictHostKeyChecking accept-new` or `no` in the configuration). A key that differs from the
  /// one on file is refused whatever this or the configuration says.
  bool accept_new_host_key = false;
  /// OpenSSH client configuration that completes the options of `host` (`Host` blocks,
  /// `HostName`, `User`, `Port`, `IdentityFile`, `UserKnownHostsFile`, `StrictHostKeyChecking`,
  /// `ConnectTimeout`); a missing file is no error. Empty: no file is read. A configuration that
  /// gives the host a `ProxyCommand` or `ProxyJump` is refused: no other program is started.
  std::string config_file = "~/.ssh/config";
  /// Algorithms the connection may use, each a comma-separated list of SSH names in the order of
  /// preference, which replaces libssh's secure defaults; empty: those defaults. An older device
  /// may need for example `.key_exchanges = "curve25519-sha256,diffie-hellman-group14-sha1"` and
  /// `.host_key_types = "ssh-ed25519,rsa-sha2-256,ssh-rsa"`.
  std::string key_exchanges;
  std::string host_key_types;
  std::string ciphers;
  std::string macs;
  /// Seconds of silence from the server after which a keepalive request is sent; 0: none. Once
  /// the server has said nothing for `keepalive_interval` x `keepalive_count` seconds the session
  /// is at its end (reads and expect see end of file, isalive() is false).
  double keepalive_interval = 0;
  int keepalive_count = 3;
  /// Whether the command runs on a remote pseudo-terminal. Without one (false) the output arrives
  /// byte for byte, standard error comes apart (read_stderr(), or mixed into the output with
  /// `merge_stderr`), and sendeof() ends the command's input. A screen needs the terminal.
  bool pty = true;
  /// Without a terminal: standard error is read with the output, as it arrives.
  bool merge_stderr = false;
  /// Rows and columns of the remote pseudo-terminal.
  std::pair<int, int> dimensions = {24, 80};
  /// Terminal type the remote side is told.
  std::string term = "xterm";
  /// Variables asked for through the channel (the server decides which it accepts).
  std::map<std::string, std::string> env;
  /// Remote command, run by the user's shell there; empty: a login shell.
  std::string command;
  /// Limit of the whole opening (connection, key exchange, authentication, channel and start of
  /// the command), in seconds; -1: the configuration's `ConnectTimeout`, else 30.
  double connect_timeout = -1;

  std::optional<double> timeout = 30;
  long maxread = 2000;
  std::optional<long> searchwindowsize = std::nullopt;
  std::ostream* logfile = nullptr;
  std::ostream* logfile_read = nullptr;
  std::ostream* logfile_send = nullptr;
  bool ignorecase = false;
  /// Attach a screen of the remote terminal's size (see expect_base::attach_screen).
  bool screen = false;
  delay_arg delaybeforesend = defaults::delaybeforesend;
  delay_arg delayafterclose = defaults::delayafterclose;
  delay_arg delayafterterminate = defaults::delayafterterminate;
  delay_arg delayafterread = defaults::delayafterread;
  /// Sets the `recording` field once the session runs.
  recorder* recording = nullptr;
  /// Sets the `strip_terminal_sequences` field: expect on the output's text.
  bool strip_terminal_sequences = false;
};

/// A remote session: reading, sending, the expect family, the readers, logs and the state report
/// of expect_base, over an SSH channel with a remote pseudo-terminal (or none, see `pty`). The descriptor
/// (`child_fd`) is the connection's socket, which is what an event loop waits on; expect_any, pending_expect
/// and the Asio adapter's async_expect work on it as on a local child. The terminal is remote:
/// `sendeof` and `sendintr` send the usual characters (Ctrl-D, Ctrl-C), and the local terminal
/// calls (getecho, setecho, waitnoecho) do not apply. Movable, not copyable.
class ssh_spawn : public expect_base {
 public:
  /// Connects, checks the host key, authenticates and starts the command or shell. Throws
  /// ExceptionPexpect naming what failed (connection, name resolution, host key, authentication,
  /// channel), or TIMEOUT when the connection does not complete within `connect_timeout`.
  /// pending_ssh_connect does the same without blocking.
  explicit ssh_spawn(const ssh_options& options);

  ssh_spawn(ssh_spawn&& other) noexcept;
  ssh_spawn& operator=(ssh_spawn&& other) noexcept;
  /// Closes the channel and the connection; never throws.
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
  /// Closes the channel and the connection. A second call does nothing.
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
  // Takes over a connection whose command or shell has started.
  ssh_spawn(const ssh_options& options, std::unique_ptr<detail::ssh_connection> link);

  void take_end_state();
  bool wait_for_end(std::optional<double> seconds);
  bool server_gone();

  void collect_stderr();

  std::pair<int, int> dimensions_{24, 80};
  std::string stderr_text_;
  std::unique_ptr<detail::ssh_connection> connection_;
};

}  // namespace pexpect_custom
