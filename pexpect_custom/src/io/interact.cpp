// The interactive relay between the user's terminal and the child.
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <stdexcept>

#include "io/clock.hpp"
#include "io/select.hpp"
#include "io/unique_fd.hpp"
#include "io/window_follow.hpp"
#include "pexpect_custom/spawn.hpp"
#include "platform/platform.hpp"

namespace pexpect_custom {

namespace {

constexpr std::size_t relay_chunk = 1000;
// Output still arriving after the child's end is shown up to these bounds: a grandchild that
// keeps writing to the terminal must not hold the relay.
constexpr std::size_t leftover_bytes_limit = std::size_t{1} << 20;
constexpr double leftover_seconds_limit = 1.0;

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
// terminal that nobody writes to any more. Invalid where the system has none.
detail::unique_fd open_end_notice(pid_t pid) {
  return detail::unique_fd(detail::platform::open_end_notice(pid));
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

// Whether byte `c`, passed on to a terminal in `mode`, ends the line being edited there.
bool ends_line(const termios& mode, char c) {
  auto is_special = [&](int index) {
    return mode.c_cc[index] != _POSIX_VDISABLE && c == static_cast<char>(mode.c_cc[index]);
  };
  if (c == '\n') return true;
  if (c == '\r') return (mode.c_iflag & ICRNL) && !(mode.c_iflag & IGNCR);
  return is_special(VEOL) || is_special(VEOL2) || is_special(VEOF);
}

// What tells the child that its input has ended, as a user at its terminal would: the end-of-file
// character of the terminal's current mode; twice when a line is still being edited, since the
// first one only hands that line over. Nothing when the terminal has no such character.
std::string end_of_input(int child_fd, std::optional<char> last_passed) {
  termios mode{};
  mode.c_cc[VEOF] = CEOF;  // kept when the mode cannot be read
  tcgetattr(child_fd, &mode);
  const cc_t eof = mode.c_cc[VEOF];
  if (eof == _POSIX_VDISABLE) return {};
  const bool line_open = (mode.c_lflag & ICANON) && last_passed && !ends_line(mode, *last_passed);
  return std::string(line_open ? 2 : 1, static_cast<char>(eof));
}

}  // namespace

void spawn::interact(const std::optional<std::string>& escape_character, const interact_filter& input_filter,
                     const interact_filter& output_filter, bool follow_window_size) {
  confirm_start();
  stdout_stream->write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  stdout_stream->flush();
  buffer.clear();
  terminal_mode_guard mode(stdin_fileno);
  std::optional<detail::window_follower> window;
  if (follow_window_size) {
    window.emplace(stdin_fileno, child_fd);
    note_window_size();
  }
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
    // The user's own terminal answers the program's queries; the screen only follows along.
    if (has_screen() || recording) show_output(data, false);
    write_whole(stdout_fileno, data);
  };
  // Filters what the user typed and cuts it at the last escape; true when there was one.
  auto cut_at_escape = [&](std::string& data) {
    if (input_filter) data = input_filter(data);
    if (!escape_character) throw std::invalid_argument("interact() needs an escape_character string");
    std::size_t escape_at = data.rfind(*escape_character);
    if (escape_at == std::string::npos) return false;
    data.resize(escape_at);
    return true;
  };
  bool watch_stdin = true;  // standard input still delivers input
  // Whether the user has typed the escape; input besides it is dropped, as the child is gone.
  auto escape_typed_meanwhile = [&] {
    if (!watch_stdin || detail::select({stdin_fileno}, {}, {}, 0).read.empty()) return false;
    read_result chunk = read_chunk(stdin_fileno);
    watch_stdin = !chunk.ended;
    return !chunk.data.empty() && cut_at_escape(chunk.data);
  };
  // What the child wrote before it ended is still shown, without waiting for more, and within
  // bounds: a grandchild may go on writing to the terminal for ever.
  auto show_leftover = [&] {
    const double end_time = detail::now() + leftover_seconds_limit;
    std::size_t shown = 0;
    while (shown < leftover_bytes_limit && detail::now() < end_time) {
      read_result chunk = read_chunk(child_fd);
      if (chunk.ended || chunk.data.empty()) return;
      shown += chunk.data.size();
      show(std::move(chunk.data));
      if (escape_typed_meanwhile()) return;
    }
  };
  // The liveness test never blocks here: isalive() waits for the child once end of file has
  // been seen, and the relay must go on serving the user (and the escape key) meanwhile.
  auto child_alive = [&] { return isalive_nonblocking(); };

  nonblocking_guard master_mode(child_fd);
  detail::unique_fd child_end = terminated ? detail::unique_fd() : open_end_notice(*pid);
  bool watch_child = true;          // the master still delivers output
  bool leaving = false;             // the escape was typed: end once `pending` has been handed over
  std::string pending;              // user input the child has not taken yet
  std::optional<char> last_passed;  // the last byte of input handed to the child
  // With an end notice the child is asked about only when the notice says it ended (or once
  // output stops); asking on every chunk would cost a waitpid per 1000 bytes relayed. Without
  // one, it is asked after every wake-up, and the waits are cut into growing naps so that its
  // end is seen even while something else keeps its terminal open and silent.
  detail::platform::growing_nap naps;
  bool child_may_have_ended = true;
  while (true) {
    if (child_may_have_ended && !child_alive()) {
      if (watch_child) show_leftover();
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
    std::optional<double> limit;
    if (!child_end) limit = naps.next();
    detail::ready_lists ready = detail::select(readable, writable, {}, limit);

    child_may_have_ended = !child_end || !watch_child || contains(ready.read, child_end.get());
    if (window && contains(ready.read, window->wake_fd())) {
      window->follow();
      note_window_size();
    }
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
        // Input from a pipe or a file has run out: the child learns it as from a terminal.
        if (!::isatty(stdin_fileno)) pending = end_of_input(child_fd, last_passed);
        continue;
      }
      if (chunk.data.empty()) continue;
      leaving = cut_at_escape(chunk.data);
      pending = std::move(chunk.data);
      if (pending.empty()) continue;
      last_passed = pending.back();
      if (window) {
        window->catch_up();
        note_window_size();
      }
      if (recording) recording->input(pending);
      if (child_alive()) write_some(child_fd, pending);
    }
  }
}

}  // namespace pexpect_custom
