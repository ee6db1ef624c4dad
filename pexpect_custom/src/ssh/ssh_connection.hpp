#pragma once
// What an ssh_spawn holds of libssh: the session, its one channel, and the remote end's state as
// the channel's callbacks report it. Internal: no public header includes libssh.

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/unique_fd.hpp"
#include "pexpect_custom/ssh_spawn.hpp"

namespace pexpect_custom {

namespace detail {

struct session_closer {
  void operator()(ssh_session session) const noexcept {
    if (ssh_is_connected(session)) ssh_disconnect(session);
    ssh_free(session);
  }
};

struct channel_closer {
  void operator()(ssh_channel channel) const noexcept {
    if (ssh_channel_is_open(channel)) ssh_channel_close(channel);
    ssh_channel_free(channel);
  }
};

struct key_closer {
  void operator()(ssh_key key) const noexcept { ssh_key_free(key); }
};

using session_handle = std::unique_ptr<ssh_session_struct, session_closer>;
using channel_handle = std::unique_ptr<ssh_channel_struct, channel_closer>;
using key_handle = std::unique_ptr<ssh_key_struct, key_closer>;

// Keepalive requests while the server says nothing, and the verdict that it has gone silent for
// good. A periodic timer descriptor wakes the session's waits once per interval.
class keepalive {
 public:
  /// Arms the timer; an interval of 0 leaves keepalives off.
  void start(double interval, int count);
  /// The timer's descriptor, or -1 when keepalives are off.
  int timer_fd() const { return timer_.get(); }
  /// Takes the timer's expirations, sends a keepalive request once the server has been silent for
  /// an interval, and returns whether it has been silent for interval x count.
  bool server_silent_too_long(ssh_session session);

 private:
  unique_fd timer_;
  double interval_ = 0;
  int count_ = 0;
};

// The channel, declared after the session, is freed before it.
struct ssh_connection {
  session_handle session;
  channel_handle channel;
  ssh_channel_callbacks_struct callbacks{};
  std::optional<int> exit_code;
  std::optional<int> exit_signal;
  /// Whether the command runs on a remote terminal, and, without one, whether its standard error
  /// is read with the output.
  bool pty = true;
  bool merge_stderr = false;
  keepalive alive_check;
  /// Set once the keepalives found the server gone.
  bool server_gone = false;
};

/// The libssh error text of `session`.
std::string error_text(ssh_session session);
/// "host port N", as messages name the place.
std::string where(const ssh_options& options);
[[noreturn]] void fail(const std::string& message);

/// The options as the configuration file completes them.
struct settled_options {
  std::string host;
  int port = 22;
  std::vector<std::string> identity_files;
  bool accept_new_host_key = false;
  double connect_timeout = 30;
};
/// Applies the caller's options to a new session, completed from the configuration file
/// (libssh's parser, then read_config_extras for what libssh keeps to itself); the caller's
/// options win. Raises when the configuration asks for a proxy program.
settled_options configure(ssh_session session, const ssh_options& options);
/// What the configuration file says for `host` of the keywords whose values libssh does not hand
/// back: the `Host` blocks that match it (and the lines before the first block) of the file itself.
struct config_extras {
  std::vector<std::string> identity_files;
  std::optional<std::string> strict_host_key_checking;
  std::optional<double> connect_timeout;
};
config_extras read_config_extras(const std::string& file, const std::string& host);
/// `path` with a leading "~" and the tokens %d (home), %h (host), %r (remote user), %% replaced.
std::string expand_path(const std::string& path, const std::string& host, const std::string& user);
/// How long libssh's blocking calls wait for the server.
void set_wait_limit(ssh_session session, double seconds);
/// Raises unless the key the server offered is the one on file (or a new one it may add).
void check_host_key(ssh_session session, const ssh_options& options);
/// Gives the answers to the keyboard-interactive prompts the server has just sent.
bool answer_prompts(ssh_session session, const ssh_options& options);
/// The message of an authentication that found no method the server accepted.
std::string authentication_failure(ssh_session session, const ssh_options& options, int methods,
                                   const std::vector<std::string>& tried);
/// Records the remote end (exit code or signal) in `link` as the server reports it.
void watch_remote_end(ssh_connection& link);

/// The opening of a session, from the connection to the start of the command, as a machine that
/// advances on libssh's non-blocking calls: `advance` goes as far as the server's answers allow,
/// each call that would wait being made again, with the same arguments, on the next advance.
class ssh_opening {
 public:
  explicit ssh_opening(const ssh_options& options);
  ssh_opening(const ssh_opening&) = delete;
  ssh_opening& operator=(const ssh_opening&) = delete;
  ~ssh_opening();
  /// Returns whether the session is open; raises what failed, or TIMEOUT after the deadline.
  bool advance();
  int socket() const;
  bool wants_write() const;
  double seconds_left() const;
  /// The open connection, in blocking mode; empty after a failure or a take.
  std::unique_ptr<ssh_connection> take();
  const ssh_options& options() const { return options_; }

 private:
  enum class stage {
    configure,
    connect,
    authenticate,
    open_channel,
    request_terminal,
    request_env,
    start,
    open
  };
  enum class method { key_file, agent, password, keyboard };
  struct attempt {
    method kind;
    std::size_t file = 0;
  };

  ssh_session session() const;
  bool advance_stage();
  void set_up();
  bool connect();
  bool authenticate();
  void plan_attempts(int methods);
  std::optional<bool> try_attempt(const attempt& next);
  bool load_key(const std::string& file);
  int agent_login();
  bool accepted(int result);
  bool open_channel();
  bool request_terminal();
  bool request_env();
  bool start();
  [[noreturn]] void time_out() const;
  void forget_secrets() noexcept;

  ssh_options options_;
  double started_;
  double deadline_;
  stage stage_ = stage::configure;
  bool failed_ = false;
  std::unique_ptr<ssh_connection> link_;
  bool none_tried_ = false;
  int methods_ = 0;
  std::vector<attempt> attempts_;
  std::size_t attempt_ = 0;
  bool attempt_started_ = false;
  key_handle key_;
  std::vector<std::string> tried_;
  std::size_t env_done_ = 0;
};

}  // namespace detail

}  // namespace pexpect_custom
