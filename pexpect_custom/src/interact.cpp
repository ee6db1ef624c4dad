// The interactive relay between the user's terminal and the child.
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <stdexcept>

#include "pexpect_custom/spawn.hpp"
#include "select.hpp"
#include "unique_fd.hpp"
#include "window_follow.hpp"

namespace pexpect_custom {

namespace {

constexpr std::size_t relay_chunk = 1000;

// tcsetattr with TCSAFLUSH waits for pending output to drain, and a signal can cut that short.
int set_mode(int fd, const termios& mode) {
  int result;
  do {
    result = tcsetattr(fd, TCSAFLUSH, &mode);
  } while (result != 0 && errno == EINTR);
  return result;
}

void make_raw(int fd) {
  termios mode{};
  if (tcgetattr(fd, &mode) != 0) throw_terminal_error();
  mode.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
  mode.c_cflag |= CS8;
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  if (set_mode(fd, mode) != 0) throw_terminal_error();
}

// Puts the saved terminal mode back when the relay ends, however it ends.
class terminal_mode_guard {
 public:
  explicit terminal_mode_guard(int fd) : fd_(fd) {
    if (tcgetattr(fd, &saved_) != 0) return;
    have_saved_ = true;
    try {
      make_raw(fd);
    } catch (const TerminalError&) {
    }
  }
  ~terminal_mode_guard() {
    if (have_saved_) set_mode(fd_, saved_);
  }
  terminal_mode_guard(const terminal_mode_guard&) = delete;
  terminal_mode_guard& operator=(const terminal_mode_guard&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool have_saved_ = false;
};

// Makes the master non-blocking while the relay runs, so that input the child is slow to take
// never stops its output from being relayed (each side would otherwise wait on the other), and
// puts the old flags back afterwards.
class nonblocking_guard {
 public:
  explicit nonblocking_guard(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
    if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~nonblocking_guard() {
    if (flags_ >= 0 && !(flags_ & O_NONBLOCK)) fcntl(fd_, F_SETFL, flags_);
  }
  nonblocking_guard(const nonblocking_guard&) = delete;
  nonblocking_guard& operator=(const nonblocking_guard&) = delete;

 private:
  int fd_;
  int flags_;
};

// Writes all of `data`, going on after short writes and signals; a real failure throws.
void write_whole(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        detail::select({}, {fd}, {});
        continue;
      }
      throw_system_error();
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Hands the child as much of `pending` as it takes now. A failed write (the child's side is
// gone) drops the rest: there is nobody left to read it.
void write_some(int fd, std::string& pending) {
  while (!pending.empty()) {
    ssize_t n = ::write(fd, pending.data(), pending.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n < 0) {
      pending.clear();
      return;
    }
    pending.erase(0, static_cast<std::size_t>(n));
  }
}

// A descriptor that becomes readable when the child ends, so the relay never waits on a
// terminal that nobody writes to any more. Invalid where the kernel has no pidfd.
detail::unique_fd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return detail::unique_fd(static_cast<int>(fd));
  }
#endif
  (void)pid;
  return {};
}

bool contains(const std::vector<int>& fds, int fd) {
  return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

struct read_result {
  std::string data;
  bool ended = false;  // end of file or an error: the descriptor gives nothing more
};

read_result read_chunk(int fd) {
  char chunk[relay_chunk];
  while (true) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) return {std::string(chunk, static_cast<std::size_t>(n)), false};
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return {};
    return {{}, true};
  }
}

}  // namespace

void spawn::interact(const std::optional<std::string>& escape_character, const interact_filter& input_filter,
                     const interact_filter& output_filter, bool follow_window_size) {
  stdout_stream->write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  stdout_stream->flush();
  buffer.clear();
  terminal_mode_guard mode(stdin_fileno);
  std::optional<detail::window_follower> window;
  if (follow_window_size) window.emplace(stdin_fileno, child_fd);
  interact_copy(escape_character, input_filter, output_filter, window ? &*window : nullptr);
}

std::string spawn::interact_read(int fd) {
  return read_chunk(fd).data;
}

void spawn::interact_writen(int fd, std::string_view data) {
  while (!data.empty() && isalive()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      detail::select({}, {fd}, {});
      continue;
    }
    if (n < 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void spawn::interact_copy(const std::optional<std::string>& escape_character,
                          const interact_filter& input_filter, const interact_filter& output_filter,
                          detail::window_follower* window) {
  auto show = [&](std::string data) {
    if (output_filter) data = output_filter(data);
    if (logfile) {
      logfile->write(data.data(), static_cast<std::streamsize>(data.size()));
      logfile->flush();
    }
    write_whole(stdout_fileno, data);
  };
  // What the child wrote before it ended is still shown, without waiting for more.
  auto drain_child = [&] {
    while (!detail::select({child_fd}, {}, {}, 0).read.empty()) {
      read_result chunk = read_chunk(child_fd);
      if (chunk.ended || chunk.data.empty()) return;
      show(std::move(chunk.data));
    }
  };
  // The liveness test never blocks here: isalive() waits for the child once end of file has
  // been seen, and the relay must go on serving the user (and the escape key) meanwhile.
  auto child_alive = [&] { return isalive_nonblocking(); };

  nonblocking_guard master_mode(child_fd);
  detail::unique_fd child_end = terminated ? detail::unique_fd() : open_pidfd(*pid);
  bool watch_child = true;  // the master still delivers output
  bool watch_stdin = true;  // standard input still delivers input
  bool leaving = false;     // the escape was typed: end once `pending` has been handed over
  std::string pending;      // user input the child has not taken yet
  // With a pidfd the child is asked about only when the pidfd says it ended (or once output
  // stops); asking on every chunk would cost a waitpid per 1000 bytes relayed.
  bool child_may_have_ended = true;
  while (true) {
    if (child_may_have_ended && !child_alive()) {
      if (watch_child) drain_child();
      return;
    }
    if (leaving && pending.empty()) return;

    // New input is read only once the last chunk has been handed over, so the child's pace
    // limits the user's, while its output keeps flowing.
    std::vector<int> readable;
    if (watch_child) readable.push_back(child_fd);
    if (watch_stdin && !leaving && pending.empty()) readable.push_back(stdin_fileno);
    if (child_end) readable.push_back(child_end.get());
    if (window) readable.push_back(window->wake_fd());
    std::vector<int> writable;
    if (!pending.empty()) writable.push_back(child_fd);
    // Without a pidfd, a relay with no output left to watch checks on the child now and then.
    std::optional<double> limit;
    if (!child_end && !watch_child) limit = 0.1;
    detail::ready_lists ready = detail::select(readable, writable, {}, limit);

    child_may_have_ended = !child_end || !watch_child || contains(ready.read, child_end.get());
    if (window && contains(ready.read, window->wake_fd())) window->follow();
    if (watch_child && contains(ready.read, child_fd)) {
      read_result chunk = read_chunk(child_fd);
      if (chunk.ended)
        watch_child = false;
      else if (!chunk.data.empty())
        show(std::move(chunk.data));
    }
    if (!pending.empty() && contains(ready.write, child_fd)) write_some(child_fd, pending);
    if (contains(ready.read, stdin_fileno)) {
      read_result chunk = read_chunk(stdin_fileno);
      if (chunk.ended) {
        watch_stdin = false;
        continue;
      }
      if (chunk.data.empty()) continue;
      std::string data = input_filter ? input_filter(chunk.data) : std::move(chunk.data);
      if (!escape_character) throw std::invalid_argument("interact() needs an escape_character string");
      std::size_t escape_at = data.rfind(*escape_character);
      if (escape_at != std::string::npos) {
        data.resize(escape_at);
        leaving = true;
      }
      pending = std::move(data);
      if (!pending.empty() && child_alive()) write_some(child_fd, pending);
    }
  }
}

}  // namespace pexpect_custom
