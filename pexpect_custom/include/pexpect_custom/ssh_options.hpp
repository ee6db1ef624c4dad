#pragma once
// Where and how a remote session connects (ssh_options), and what a session on a shared
// connection sets for itself (ssh_session_options).

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/timeout.hpp"

namespace pexpect_custom {

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
  /// gives the host a `ProxyCommand` is refused: no other program is started. Its `ProxyJump`
  /// is followed as `proxy_jump` is.
  std::string config_file = "~/.ssh/config";
  /// Jump hosts the connection goes through, `[user@]host[:port]` separated by commas, as
  /// `ProxyJump` writes them: the first is reached directly, each next one and then `host` over a
  /// channel the one before forwards. Every hop is a connection of its own, with these options'
  /// sign-in, known-hosts file, algorithms and time-out (completed for its name from the
  /// configuration file), and its host key checked as strictly as the target's. A thread per hop
  /// carries the bytes of its channel until the connection closes. Empty: the configuration's
  /// `ProxyJump`; "none": no jump host. With jump hosts, the first step of a pending_ssh_connect
  /// opens them and waits for them.
  std::string proxy_jump;
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

/// The settings of one session on a shared connection (see ssh_connection); their meaning is that
/// of the fields of the same name in ssh_options. The connection's own settings (host, sign-in,
/// host key, algorithms, keepalive) are the connection's.
struct ssh_session_options {
  std::string command{};
  bool pty = true;
  bool merge_stderr = false;
  std::pair<int, int> dimensions = {24, 80};
  std::string term = "xterm";
  std::map<std::string, std::string> env{};

  std::optional<double> timeout = 30;
  long maxread = 2000;
  std::optional<long> searchwindowsize = std::nullopt;
  std::ostream* logfile = nullptr;
  std::ostream* logfile_read = nullptr;
  std::ostream* logfile_send = nullptr;
  bool ignorecase = false;
  bool screen = false;
  delay_arg delaybeforesend = defaults::delaybeforesend;
  delay_arg delayafterclose = defaults::delayafterclose;
  delay_arg delayafterterminate = defaults::delayafterterminate;
  delay_arg delayafterread = defaults::delayafterread;
  recorder* recording = nullptr;
  bool strip_terminal_sequences = false;
};

/// The session fields of `options`.
ssh_session_options session_part(const ssh_options& options);

}  // namespace pexpect_custom
