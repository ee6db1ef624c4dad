// A remote session over SSH: its channel and terminal, reads and writes through libssh, and the
// remote end's exit code or signal.
#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "io/clock.hpp"
#include "pexpect_custom/pending_ssh_connect.hpp"
#include "ssh/ssh_connection.hpp"

namespace pexpect_custom {

namespace {

// How long close() waits for the report of a command's end once its output has ended.
constexpr double exit_report_wait = 1.0;

using detail::serving;
using detail::ssh_channel_link;

// A pass over what the socket holds now, without waiting: the exit code, signal and close that
// have arrived are recorded. (In non-blocking mode, asking for the exit status does exactly one
// such pass.)
void handle_waiting_packets(ssh_channel_link& link) {
  const serving own_call(link);
  ssh_session session = link.session();
  ssh_set_blocking(session, 0);
  ssh_channel_get_exit_status(link.channel.get());
  ssh_set_blocking(session, 1);
}

// Sleeps in poll until the socket is ready for the opening's next step or its deadline passes.
void wait_for_socket(const pending_ssh_connect& pending) {
  const std::vector<int> fds = pending.watch_fds();
  const short events = static_cast<short>(POLLIN | (pending.wants_write() ? POLLOUT : 0));
  pollfd socket{fds.empty() ? -1 : fds.front(), events, 0};
  const int wait_ms = static_cast<int>(std::min(pending.seconds_left() * 1000 + 1, double{INT32_MAX}));
  if (::poll(&socket, 1, wait_ms) < 0 && errno != EINTR) throw_system_error();
}

ssh_spawn open_blocking(pending_ssh_connect&& pending) {
  while (!pending.step()) wait_for_socket(pending);
  return pending.take();
}

}  // namespace

ssh_spawn::ssh_spawn(const ssh_options& options) : ssh_spawn(open_blocking(pending_ssh_connect(options))) {}

ssh_spawn::ssh_spawn(ssh_connection& connection, const ssh_session_options& session)
    : ssh_spawn(open_blocking(pending_ssh_connect(connection, session))) {}

ssh_spawn::ssh_spawn(const ssh_options& options, std::unique_ptr<ssh_channel_link> link)
    : host(options.host),
      port(options.port.value_or(22)),
      user(link->connection->user),
      command(options.command),
      dimensions_(options.dimensions),
      channel_(std::move(link)) {
  timeout = options.timeout;
  maxread = options.maxread;
  searchwindowsize = options.searchwindowsize;
  logfile = options.logfile;
  logfile_read = options.logfile_read;
  logfile_send = options.logfile_send;
  ignorecase = options.ignorecase;
  delaybeforesend = options.delaybeforesend;
  delayafterclose = options.delayafterclose;
  delayafterterminate = options.delayafterterminate;
  delayafterread = options.delayafterread;
  child_fd = channel_->socket_copy ? channel_->socket_copy.get() : ssh_get_fd(channel_->session());
  closed = false;
  name = "<ssh " + user + "@" + host + ":" + std::to_string(port) + ">";
  if (options.screen) attach_screen();
  recording = options.recording;
  strip_terminal_sequences = options.strip_terminal_sequences;
}

ssh_spawn::ssh_spawn(ssh_spawn&& other) noexcept
    : expect_base(std::move(other)),
      host(std::move(other.host)),
      port(other.port),
      user(std::move(other.user)),
      command(std::move(other.command)),
      terminated(other.terminated),
      exitstatus(other.exitstatus),
      signalstatus(other.signalstatus),
      dimensions_(other.dimensions_),
      stderr_text_(std::move(other.stderr_text_)),
      channel_(std::move(other.channel_)) {}

ssh_spawn& ssh_spawn::operator=(ssh_spawn&& other) noexcept {
  if (this != &other) {
    channel_.reset();
    host = std::move(other.host);
    port = other.port;
    user = std::move(other.user);
    command = std::move(other.command);
    terminated = other.terminated;
    exitstatus = other.exitstatus;
    signalstatus = other.signalstatus;
    dimensions_ = other.dimensions_;
    stderr_text_ = std::move(other.stderr_text_);
    channel_ = std::move(other.channel_);
    expect_base::operator=(std::move(other));
  }
  return *this;
}

ssh_spawn::~ssh_spawn() {
  channel_.reset();
}

// A server that stopped answering the keepalives has ended the session, as a closed connection
// would.
bool ssh_spawn::server_gone() {
  if (!channel_) return true;
  detail::ssh_link& link = *channel_->connection;
  if (!link.server_gone && link.alive_check.server_silent_too_long(link.session.get())) {
    link.server_gone = true;
  }
  return link.server_gone;
}

std::vector<int> ssh_spawn::watch_fds() {
  if (!channel_) return {};
  const int notice = end_notice_fd();
  if (notice < 0) return {child_fd};
  return {child_fd, notice};
}

int ssh_spawn::end_notice_fd() {
  if (!channel_) return -1;
  return channel_->notice ? channel_->notice.get() : channel_->connection->alive_check.timer_fd();
}

// Every wait looks at the channel's buffers before it sleeps, so the wake-up this pass may have
// been woken for is taken here too.
void ssh_spawn::take_end_state() {
  if (terminated || !channel_) return;
  channel_->woke();
  if (server_gone()) {
    terminated = true;
    return;
  }
  ssh_channel_link& link = *channel_;
  handle_waiting_packets(link);
  if (link.exit_code || link.exit_signal) {
    exitstatus = link.exit_code;
    signalstatus = link.exit_signal;
    terminated = true;
  } else if (ssh_channel_is_closed(link.channel.get()) || !ssh_is_connected(link.session())) {
    terminated = true;  // ended without saying how
  }
}

bool ssh_spawn::isalive() {
  take_end_state();
  return !terminated;
}

// Reads ask whether output can still come, which ends with the channel's end of file; the exit
// status may arrive before the last of the output.
bool ssh_spawn::alive_without_blocking() {
  if (!channel_) return false;
  take_end_state();
  if (channel_->connection->server_gone) return false;
  ssh_channel channel = channel_->channel.get();
  return ssh_is_connected(channel_->session()) && !ssh_channel_is_eof(channel) &&
         !ssh_channel_is_closed(channel);
}

// Sleeps in poll on the socket until the remote end is known or `seconds` (nullopt: no limit)
// have passed; returns whether it ended.
bool ssh_spawn::wait_for_end(std::optional<double> seconds) {
  const double end_time = seconds ? detail::now() + *seconds : 0;
  while (true) {
    take_end_state();
    if (terminated) return true;
    int wait_ms = -1;
    if (seconds) {
      const double left = end_time - detail::now();
      if (left <= 0) return false;
      wait_ms = static_cast<int>(std::min(left * 1000 + 1, double{INT32_MAX}));
    }
    pollfd wake[2] = {{child_fd, POLLIN, 0}, {end_notice_fd(), POLLIN, 0}};
    if (::poll(wake, 2, wait_ms) < 0 && errno != EINTR) throw_system_error();
  }
}

std::optional<int> ssh_spawn::wait() {
  if (!channel_ && !terminated) throw ExceptionPexpect("Cannot wait for a closed ssh session.");
  wait_for_end(std::nullopt);
  return exitstatus;
}

bool ssh_spawn::terminate(bool force) {
  if (!isalive()) return true;
  ssh_channel channel = channel_->channel.get();
  for (const char* signal : {"HUP", "INT"}) {
    ssh_channel_request_send_signal(channel, signal);
    if (wait_for_end(delayafterterminate)) return true;
  }
  if (!force) return false;
  ssh_channel_request_send_signal(channel, "KILL");
  if (wait_for_end(delayafterterminate)) return true;
  // Closing the channel hangs up the remote terminal, which is as far as a client can go.
  ssh_channel_close(channel);
  terminated = true;
  return true;
}

void ssh_spawn::close() {
  if (closed) return;
  take_end_state();
  // The server reports how the command ended right after the end of its output: once the output
  // has ended, the report is waited for (it wakes the wait), so that a close() right after end
  // of file does not lose it. A command that closed its output and runs on is not waited for long.
  if (!terminated && channel_ && ssh_channel_is_eof(channel_->channel.get())) wait_for_end(exit_report_wait);
  channel_.reset();
  child_fd = -1;
  closed = true;
  terminated = true;
}

void ssh_spawn::sendeof() {
  if (channel_ && !channel_->pty) {
    if (ssh_channel_send_eof(channel_->channel.get()) != SSH_OK) {
      detail::fail("the end of input was not sent: " + detail::error_text(channel_->session()));
    }
    return;
  }
  const char end_of_file = 4;
  send(std::string_view(&end_of_file, 1));
}

// Standard error kept apart is taken out of the channel at every read, so that it never holds
// up the output behind a full window.
void ssh_spawn::collect_stderr() {
  if (!channel_ || channel_->pty || channel_->merge_stderr) return;
  ssh_channel channel = channel_->channel.get();
  char chunk[4096];
  int n;
  while ((n = ssh_channel_read_nonblocking(channel, chunk, sizeof chunk, 1)) > 0)
    stderr_text_.append(chunk, static_cast<std::size_t>(n));
}

std::string ssh_spawn::read_stderr() {
  collect_stderr();
  return std::exchange(stderr_text_, {});
}

// The remote terminal's settings cannot be read from here; its characters are the usual ones.
char ssh_spawn::terminal_character(int which) const {
  switch (which) {
    case VEOF:
      return 4;
    case VINTR:
      return 3;
    default:
      throw std::invalid_argument("the remote terminal's control characters are not known here");
  }
}

std::pair<int, int> ssh_spawn::getwinsize() const {
  return dimensions_;
}

void ssh_spawn::setwinsize(long rows, long cols) {
  if (rows < 0 || rows > 65535 || cols < 0 || cols > 65535) {
    throw std::out_of_range("setwinsize: rows and columns must lie in 0..65535");
  }
  if (!channel_) throw std::logic_error("setwinsize() on a closed ssh session.");
  if (ssh_channel_change_pty_size(channel_->channel.get(), static_cast<int>(cols), static_cast<int>(rows)) !=
      SSH_OK) {
    detail::fail("the window change was not sent: " + detail::error_text(channel_->session()));
  }
  dimensions_ = {static_cast<int>(rows), static_cast<int>(cols)};
  terminal_resized(dimensions_.first, dimensions_.second);
}

long ssh_spawn::write_to_descriptor(std::string_view data) {
  if (!channel_) {
    errno = EBADF;
    return -1;
  }
  ssh_channel channel = channel_->channel.get();
  const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), UINT32_MAX));
  const int written = ssh_channel_write(channel, data.data(), size);
  if (written < 0) {
    errno = ssh_channel_is_open(channel) ? EIO : EPIPE;
    return -1;
  }
  return written;
}

// Standard output first; the remote terminal sends everything there, but a server may still use
// the error stream, which is read with it unless it is kept apart. EAGAIN: the socket woke for a packet that
// carried no output.
long ssh_spawn::read_from_descriptor(char* into, std::size_t size) {
  if (!channel_) {
    errno = EBADF;
    return -1;
  }
  if (channel_->connection->server_gone) return 0;
  channel_->woke();
  const serving own_call(*channel_);
  ssh_channel channel = channel_->channel.get();
  const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
  int out = ssh_channel_read_nonblocking(channel, into, count, 0);
  const bool stderr_apart = !channel_->pty && !channel_->merge_stderr;
  if (stderr_apart) collect_stderr();
  if (out > 0) return out;
  const int err = stderr_apart ? 0 : ssh_channel_read_nonblocking(channel, into, count, 1);
  if (err > 0) return err;
  // The error stream's read may have taken output off the socket after the first read looked;
  // left in the channel, it would wait for a socket that never wakes for it again.
  if (out == 0) {
    out = ssh_channel_read_nonblocking(channel, into, count, 0);
    if (out > 0) return out;
  }
  if (out == SSH_ERROR || err == SSH_ERROR) {
    errno = EIO;
    return -1;
  }
  if (out == SSH_EOF || ssh_channel_is_closed(channel)) return 0;
  errno = EAGAIN;
  return -1;
}

// A read can go ahead when the channel holds output, or its end, already. Each poll may take
// packets off the socket for either stream, so the output's own poll comes last: what the other
// took is counted, and nothing is left behind a socket that will not wake anyone again.
bool ssh_spawn::input_buffered() {
  if (!channel_) return false;
  channel_->woke();
  const serving own_call(*channel_);
  ssh_channel channel = channel_->channel.get();
  const int error_output = ssh_channel_poll(channel, 1);
  return ssh_channel_poll(channel, 0) != 0 || error_output != 0;
}

expect_base::report_identity ssh_spawn::identity() const {
  std::vector<std::string> remote_args;
  if (!command.empty()) remote_args.push_back(command);
  return {"pexpect_custom::ssh_spawn", user + "@" + host + ":" + std::to_string(port), remote_args,
          exitstatus, std::nullopt};
}

}  // namespace pexpect_custom
