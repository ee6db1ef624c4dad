#pragma once
// What remote sessions hold of libssh: the connection (a libssh session) shared by its channels,
// each channel with the remote end's state as its callbacks report it. Internal: no public header includes
// libssh.

#include <libssh/callbacks.h>
#include <libssh/libssh.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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

struct ssh_link;

// A jump host's forward: the channel a jump host's connection opened to the next host, and the
// thread that carries its bytes to and from the socket the next connection runs over. Stopping
// it (the destructor) ends the thread, then closes the channel and the jump host's connection.
class jump_link {
 public:
  jump_link(std::shared_ptr<ssh_link> connection, channel_handle forward, unique_fd near_end);
  ~jump_link();
  jump_link(const jump_link&) = delete;
  jump_link& operator=(const jump_link&) = delete;

 private:
  void pump() noexcept;
  bool pump_once(std::string& to_near, bool& far_end_passed);

  std::shared_ptr<ssh_link> connection_;
  channel_handle forward_;
  unique_fd near_end_;
  unique_fd stop_;
  std::thread thread_;
};

// The connection: one libssh session, which every channel on it shares. Its socket is read by
// whichever channel's call comes first; the channels' callbacks then wake the sessions whose data
// or end arrived.
struct ssh_link {
  /// The jump host's forward this connection runs over, if any: freed after the session.
  std::unique_ptr<jump_link> through;
  /// The socket of that forward, which libssh uses but leaves open.
  unique_fd through_socket;
  session_handle session;
  /// The connection's settled options (host, port, user, time-outs), secrets removed.
  ssh_options options;
  std::string user;
  keepalive alive_check;
  /// Set once the keepalives found the server gone.
  bool server_gone = false;
  /// The channel whose session is calling libssh now: it looks at its own buffers afterwards, so
  /// its callbacks need not wake it.
  ssh_channel serving = nullptr;
};

// One session's channel on a connection, and the remote end's state as the channel's callbacks
// report it. The channel is the last member: it is freed first, and its callbacks, which may run
// while it closes, find everything else still there.
struct ssh_channel_link {
  std::shared_ptr<ssh_link> connection;
  ssh_channel_callbacks_struct callbacks{};
  std::optional<int> exit_code;
  std::optional<int> exit_signal;
  /// Whether the command runs on a remote terminal, and, without one, whether its standard error
  /// is read with the output.
  bool pty = true;
  bool merge_stderr = false;
  /// The session's own copy of the connection's socket (event loops register descriptors, and
  /// one socket cannot be registered twice in one loop).
  unique_fd socket_copy;
  /// An event counter, readable once another session's call has taken this channel's output or
  /// end off the socket, and the notice the session's waits watch: this counter together with
  /// the connection's keepalive timer.
  unique_fd wake;
  unique_fd notice;
  bool woken = false;
  channel_handle channel;

  ssh_session session() const { return connection->session.get(); }
  /// Makes the descriptors above, for a channel of a shared connection; without them the
  /// session watches the connection's socket and keepalive timer themselves.
  void make_descriptors();
  /// Wakes the session's waits (once, until it looks at its buffers again).
  void wake_up() noexcept;
  /// Called before the session looks at its buffers: the wake-up it was due has come.
  void woke() noexcept;
};

// Marks the channel's own calls, during which its callbacks do not wake it.
class serving {
 public:
  explicit serving(ssh_channel_link& link)
      : connection_(*link.connection), before_(std::exchange(connection_.serving, link.channel.get())) {}
  ~serving() { connection_.serving = before_; }
  serving(const serving&) = delete;
  serving& operator=(const serving&) = delete;

 private:
  ssh_link& connection_;
  ssh_channel before_;
};

/// `base` with the session fields of `session`.
ssh_options with_session(ssh_options base, const ssh_session_options& session);
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
  std::string proxy_jump;
};
/// Raises std::invalid_argument for session fields that do not go together.
void check_session_fields(const ssh_options& options);
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
  /// The first of `ProxyJump` and `ProxyCommand` that applies: its keyword and value.
  std::optional<std::pair<std::string, std::string>> proxy;
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
/// Records the remote end (exit code or signal) in `link` as the server reports it, and wakes the
/// session when another session's call took its data or end off the socket.
void watch_channel(ssh_channel_link& link);
/// Copies files over the connection (SFTP); `host` names the host in messages.
void upload_file(ssh_link& connection, const std::string& local_path, const std::string& remote_path,
                 const transfer_progress& progress);
void download_file(ssh_link& connection, const std::string& remote_path, const std::string& local_path,
                   const transfer_progress& progress);

/// What an opening makes: a connection with one session's channel, the connection alone, or a
/// channel on a connection that is open already.
enum class opening_kind { session, connection, channel };

/// The opening of a session, from the connection to the start of the command, as a machine that
/// advances on libssh's non-blocking calls: `advance` goes as far as the server's answers allow,
/// each call that would wait being made again, with the same arguments, on the next advance.
class ssh_opening {
 public:
  /// A new connection, with a channel for `options`' session or (kind connection) none.
  explicit ssh_opening(const ssh_options& options, opening_kind kind = opening_kind::session);
  /// A channel for `session` on `connection`.
  ssh_opening(std::shared_ptr<ssh_link> connection, const ssh_session_options& session);
  ssh_opening(const ssh_opening&) = delete;
  ssh_opening& operator=(const ssh_opening&) = delete;
  ~ssh_opening();
  /// Reads the configuration and settles the options (host, port, ...), the first thing the
  /// first advance does; nothing is sent yet.
  void settle();
  /// The connection runs over `socket` (a jump host's forward) instead of one of its own; call
  /// after settle and before the next advance.
  void use_socket(unique_fd socket);
  /// Returns whether the session is open; raises what failed, or TIMEOUT after the deadline.
  /// The connection is left in blocking mode between steps, as its other sessions expect it.
  bool advance();
  int socket() const;
  bool wants_write() const;
  double seconds_left() const;
  /// The open channel; empty after a failure or a take.
  std::unique_ptr<ssh_channel_link> take();
  /// The open connection.
  std::shared_ptr<ssh_link> connection() const { return connection_; }
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
  opening_kind kind_;
  double started_;
  double deadline_;
  stage stage_ = stage::configure;
  bool failed_ = false;
  std::shared_ptr<ssh_link> connection_;
  std::unique_ptr<ssh_channel_link> channel_;
  bool none_tried_ = false;
  int methods_ = 0;
  std::vector<attempt> attempts_;
  std::size_t attempt_ = 0;
  bool attempt_started_ = false;
  key_handle key_;
  std::vector<std::string> tried_;
  std::size_t env_done_ = 0;
};

/// Opens the jump hosts `jumps` (as `proxy_jump` lists them), each over a forward of the one
/// before, with the caller's options `given` completed for each hop's own name, and a forward
/// from the last to `host` port `port`; `socket` receives the end of that forward that the
/// target's connection runs over. Raises with the failing hop named.
std::unique_ptr<jump_link> open_jump_hosts(const ssh_options& given, const std::string& jumps,
                                           const std::string& host, int port, unique_fd& socket);

/// Runs `opening` to its end, sleeping in poll on its socket between steps.
void open_blocking(ssh_opening& opening);

}  // namespace detail

}  // namespace pexpect_custom
