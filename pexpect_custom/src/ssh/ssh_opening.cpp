// The opening of a remote session as steps that never wait: connection and key exchange, host key
// check, authentication, channel, terminal, variables and the start of the command or shell.
#include <fcntl.h>
#include <poll.h>
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "io/clock.hpp"
#include "pexpect_custom/pending_ssh_connect.hpp"
#include "ssh/ssh_connection.hpp"

namespace pexpect_custom {

namespace detail {

namespace {

void overwrite(std::optional<std::string>& secret) noexcept {
  if (!secret) return;
  std::string& text = *secret;
  const std::size_t size = text.size();
  explicit_bzero(text.data(), size);  // a store the compiler may not drop
  secret.reset();
}

void close_on_exec(int fd) {
  if (fd < 0) return;
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) throw_system_error();
}

std::string remote_user(ssh_session session) {
  char* user = nullptr;
  if (ssh_options_get(session, SSH_OPTIONS_USER, &user) != SSH_OK) return {};
  std::string text = user;
  ssh_string_free_char(user);
  return text;
}

}  // namespace

// The deadline is final once the configuration has given its time-out, at the first step.
ssh_opening::ssh_opening(const ssh_options& options, opening_kind kind)
    : options_(options),
      kind_(kind),
      started_(now()),
      deadline_(started_ + (options.connect_timeout >= 0 ? options.connect_timeout : 30)) {}

// The connection's settled options, with the session's own.
ssh_opening::ssh_opening(std::shared_ptr<ssh_link> connection, const ssh_session_options& session)
    : options_(with_session(connection->options, session)),
      kind_(opening_kind::channel),
      started_(now()),
      deadline_(started_ + options_.connect_timeout),
      stage_(stage::open_channel),
      connection_(std::move(connection)) {
  check_session_fields(options_);
}

ssh_opening::~ssh_opening() {
  forget_secrets();
}

// The copy of the secrets lives only as long as the authentication.
void ssh_opening::forget_secrets() noexcept {
  overwrite(options_.password);
  overwrite(options_.passphrase);
  options_.answer = nullptr;
}

bool ssh_opening::advance() {
  if (stage_ == stage::open) return true;
  if (failed_) throw std::logic_error("step() after the opening of an ssh session has failed");
  // Other sessions of a shared connection call libssh between the steps, in blocking mode.
  auto blocking = [this](int on) {
    if (connection_ && connection_->session) ssh_set_blocking(session(), on);
  };
  try {
    blocking(0);
    while (stage_ != stage::open) {
      if (advance_stage()) continue;
      if (now() >= deadline_) time_out();
      blocking(1);
      return false;
    }
  } catch (...) {
    failed_ = true;
    blocking(1);
    channel_.reset();
    if (kind_ != opening_kind::channel) connection_.reset();  // the session and its socket
    throw;
  }
  blocking(1);
  return true;
}

// Each stage returns false while it waits for the server, true once done.
bool ssh_opening::advance_stage() {
  auto next = [this](bool done, stage after) {
    if (done) stage_ = after;
    return done;
  };
  switch (stage_) {
    case stage::configure:
      settle();
      return true;
    case stage::connect:
      return next(connect(), stage::authenticate);
    case stage::authenticate:
      if (!authenticate()) return false;
      forget_secrets();
      connection_->options = options_;
      connection_->user = remote_user(session());
      connection_->alive_check.start(options_.keepalive_interval, options_.keepalive_count);
      return next(true, kind_ == opening_kind::connection ? stage::open : stage::open_channel);
    case stage::open_channel:
      return next(open_channel(), stage::request_terminal);
    case stage::request_terminal:
      return next(request_terminal(), stage::request_env);
    case stage::request_env:
      return next(request_env(), stage::start);
    case stage::start:
      return next(start(), stage::open);
    case stage::open:
      break;
  }
  return true;
}

ssh_session ssh_opening::session() const {
  return connection_->session.get();
}

void ssh_opening::settle() {
  if (stage_ != stage::configure) return;
  set_up();
  stage_ = stage::connect;
}

void ssh_opening::use_socket(unique_fd socket) {
  const int fd = socket.get();
  if (ssh_options_set(session(), SSH_OPTIONS_FD, &fd) != SSH_OK) fail("cannot use a jump host's forward");
  connection_->through_socket = std::move(socket);
}

// The session with the caller's options, completed from the configuration file; over the jump
// hosts, when there are any.
void ssh_opening::set_up() {
  connection_ = std::make_shared<ssh_link>();
  connection_->session.reset(ssh_new());
  if (!connection_->session) fail("cannot create a session");
  const ssh_options given = options_;
  const settled_options settled = configure(session(), options_);
  options_.host = settled.host;
  options_.port = settled.port;
  options_.identity_files = settled.identity_files;
  options_.accept_new_host_key = settled.accept_new_host_key;
  options_.connect_timeout = settled.connect_timeout;
  options_.proxy_jump = settled.proxy_jump;
  deadline_ = started_ + settled.connect_timeout;
  if (!settled.proxy_jump.empty()) {
    unique_fd socket;
    connection_->through = open_jump_hosts(given, settled.proxy_jump, settled.host, settled.port, socket);
    use_socket(std::move(socket));
  }
  ssh_set_blocking(session(), 0);
}

bool ssh_opening::connect() {
  const int result = ssh_connect(session());
  close_on_exec(ssh_get_fd(session()));
  if (result == SSH_AGAIN) return false;
  if (result != SSH_OK) {
    const std::string cause = error_text(session());
    // A key exchange that found no common algorithm: libssh's text lists both sides' offers.
    const bool no_common_algorithm = cause.find("no match for method") != std::string::npos;
    fail("cannot connect to " + where(options_) + ": " + cause +
         (no_common_algorithm ? " (key_exchanges, host_key_types, ciphers and macs allow others)" : ""));
  }
  check_host_key(session(), options_);
  return true;
}

bool ssh_opening::authenticate() {
  if (!none_tried_) {
    const int result = ssh_userauth_none(session(), nullptr);
    if (result == SSH_AUTH_AGAIN) return false;
    none_tried_ = true;
    if (accepted(result)) return true;
    plan_attempts(ssh_userauth_list(session(), nullptr));
  }
  for (; attempt_ < attempts_.size(); ++attempt_) {
    const std::optional<bool> outcome = try_attempt(attempts_[attempt_]);
    if (!outcome) return false;
    if (*outcome) return true;
    attempt_started_ = false;
    key_.reset();
  }
  fail(authentication_failure(session(), options_, methods_, tried_));
}

// The methods the options allow and the server offers, in their order.
void ssh_opening::plan_attempts(int methods) {
  methods_ = methods;
  if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
    for (std::size_t i = 0; i < options_.identity_files.size(); ++i)
      attempts_.push_back({method::key_file, i});
    if (options_.use_agent && std::getenv("SSH_AUTH_SOCK") != nullptr) attempts_.push_back({method::agent});
  }
  if ((methods & SSH_AUTH_METHOD_PASSWORD) && options_.password) attempts_.push_back({method::password});
  if ((methods & SSH_AUTH_METHOD_INTERACTIVE) && (options_.answer || options_.password)) {
    attempts_.push_back({method::keyboard});
  }
}

// nullopt while the server's answer is awaited; otherwise whether it let the user in.
std::optional<bool> ssh_opening::try_attempt(const attempt& next) {
  static const char* const names[] = {"publickey", "agent", "password", "keyboard-interactive"};
  int result = SSH_AUTH_DENIED;
  if (!attempt_started_) {
    attempt_started_ = true;
    if (next.kind == method::key_file) {
      const std::string& file = options_.identity_files[next.file];
      if (!load_key(file)) {
        tried_.push_back("publickey " + file + " (cannot be read or decrypted)");
        return false;
      }
      tried_.push_back("publickey " + file);
    } else {
      tried_.emplace_back(names[static_cast<int>(next.kind)]);
    }
  }
  switch (next.kind) {
    case method::key_file:
      result = ssh_userauth_publickey(session(), nullptr, key_.get());
      break;
    case method::agent:
      result = agent_login();
      break;
    case method::password:
      result = ssh_userauth_password(session(), nullptr, options_.password->c_str());
      break;
    case method::keyboard:
      result = ssh_userauth_kbdint(session(), nullptr, nullptr);
      while (result == SSH_AUTH_INFO) {
        if (!answer_prompts(session(), options_)) return accepted(SSH_AUTH_ERROR);
        result = ssh_userauth_kbdint(session(), nullptr, nullptr);
      }
      break;
  }
  if (result == SSH_AUTH_AGAIN) return std::nullopt;
  return accepted(result);
}

bool ssh_opening::load_key(const std::string& file) {
  ssh_key key = nullptr;
  const char* passphrase = options_.passphrase ? options_.passphrase->c_str() : nullptr;
  if (ssh_pki_import_privkey_file(file.c_str(), passphrase, nullptr, nullptr, &key) != SSH_OK) return false;
  key_.reset(key);
  return true;
}

// libssh asks the agent with blocking calls only: this one attempt waits, up to the deadline.
int ssh_opening::agent_login() {
  set_wait_limit(session(), seconds_left());
  ssh_set_blocking(session(), 1);
  const int result = ssh_userauth_agent(session(), nullptr);
  ssh_set_blocking(session(), 0);
  set_wait_limit(session(), options_.connect_timeout);
  return result;
}

// A broken connection ends the whole authentication; a refusal moves on to the next method.
bool ssh_opening::accepted(int result) {
  if (result == SSH_AUTH_SUCCESS) return true;
  if (result == SSH_AUTH_ERROR) {
    fail("authentication on " + where(options_) + " broke off: " + error_text(session()));
  }
  return false;
}

bool ssh_opening::open_channel() {
  if (!channel_) {
    channel_ = std::make_unique<ssh_channel_link>();
    channel_->connection = connection_;
    channel_->pty = options_.pty;
    channel_->merge_stderr = options_.merge_stderr;
    channel_->channel.reset(ssh_channel_new(session()));
    if (!channel_->channel) fail("cannot create a channel: " + error_text(session()));
    // A connection of one session's own has no other channel to take its data: its socket and
    // keepalive timer serve as they are.
    if (kind_ == opening_kind::channel) channel_->make_descriptors();
  }
  const int result = ssh_channel_open_session(channel_->channel.get());
  if (result == SSH_AGAIN) return false;
  if (result != SSH_OK) fail("the server refused a session channel: " + error_text(session()));
  watch_channel(*channel_);
  return true;
}

bool ssh_opening::request_terminal() {
  if (!options_.pty) return true;
  const auto [rows, cols] = options_.dimensions;
  const int result = ssh_channel_request_pty_size(channel_->channel.get(), options_.term.c_str(), cols, rows);
  if (result == SSH_AGAIN) return false;
  if (result != SSH_OK) fail("the server refused a terminal: " + error_text(session()));
  return true;
}

// The server accepts only the variables its configuration lets through; a refusal of one is not
// a failure of the session.
bool ssh_opening::request_env() {
  auto variable = std::next(options_.env.begin(), static_cast<long>(env_done_));
  for (; variable != options_.env.end(); ++variable, ++env_done_) {
    const auto& [name, value] = *variable;
    if (ssh_channel_request_env(channel_->channel.get(), name.c_str(), value.c_str()) == SSH_AGAIN)
      return false;
  }
  return true;
}

bool ssh_opening::start() {
  ssh_channel channel = channel_->channel.get();
  const bool shell = options_.command.empty();
  const int result = shell ? ssh_channel_request_shell(channel)
                           : ssh_channel_request_exec(channel, options_.command.c_str());
  if (result == SSH_AGAIN) return false;
  if (result != SSH_OK) {
    fail(std::string("the server refused to start ") + (shell ? "a shell" : "the command") + ": " +
         error_text(session()));
  }
  return true;
}

void ssh_opening::time_out() const {
  static const char* const waits[] = {"the configuration",
                                      "the connection and key exchange",
                                      "authentication",
                                      "the channel's opening",
                                      "the terminal",
                                      "the environment variables",
                                      "the start of the command"};
  std::ostringstream text;
  text << "Timeout exceeded in ssh_spawn() connecting to " << where(options_) << ": no answer within "
       << options_.connect_timeout << " seconds during " << waits[static_cast<int>(stage_)];
  throw TIMEOUT(text.str());
}

int ssh_opening::socket() const {
  return connection_ && connection_->session ? ssh_get_fd(session()) : -1;
}

bool ssh_opening::wants_write() const {
  return connection_ && connection_->session && (ssh_get_poll_flags(session()) & SSH_WRITE_PENDING) != 0;
}

double ssh_opening::seconds_left() const {
  const double left = deadline_ - now();
  return left > 0 ? left : 0;
}

std::unique_ptr<ssh_channel_link> ssh_opening::take() {
  if (stage_ != stage::open || !channel_) throw std::logic_error("take() of an ssh session that is not open");
  return std::move(channel_);
}

void open_blocking(ssh_opening& opening) {
  while (!opening.advance()) {
    const short events = static_cast<short>(POLLIN | (opening.wants_write() ? POLLOUT : 0));
    pollfd socket{opening.socket(), events, 0};
    const int wait_ms = static_cast<int>(std::min(opening.seconds_left() * 1000 + 1, double{INT32_MAX}));
    if (::poll(&socket, 1, wait_ms) < 0 && errno != EINTR) throw_system_error();
  }
}

}  // namespace detail

pending_ssh_connect::pending_ssh_connect(const ssh_options& options)
    : opening_(std::make_unique<detail::ssh_opening>(options)) {}

pending_ssh_connect::pending_ssh_connect(ssh_connection& connection, const ssh_session_options& session) {
  connection.link();  // raises for a closed connection
  opening_ = std::make_unique<detail::ssh_opening>(connection.link_, session);
}

pending_ssh_connect::pending_ssh_connect(pending_ssh_connect&& other) noexcept = default;
pending_ssh_connect& pending_ssh_connect::operator=(pending_ssh_connect&& other) noexcept = default;
pending_ssh_connect::~pending_ssh_connect() = default;

bool pending_ssh_connect::step() {
  if (!opening_) throw std::logic_error("step() on a moved-from pending_ssh_connect");
  return opening_->advance();
}

std::vector<int> pending_ssh_connect::watch_fds() const {
  const int fd = opening_ ? opening_->socket() : -1;
  if (fd < 0) return {};
  return {fd};
}

bool pending_ssh_connect::wants_write() const {
  return opening_ && opening_->wants_write();
}

double pending_ssh_connect::seconds_left() const {
  return opening_ ? opening_->seconds_left() : 0;
}

ssh_spawn pending_ssh_connect::take() {
  if (!opening_) throw std::logic_error("take() on a moved-from pending_ssh_connect");
  std::unique_ptr<detail::ssh_channel_link> link = opening_->take();
  return ssh_spawn(opening_->options(), std::move(link));
}

}  // namespace pexpect_custom
