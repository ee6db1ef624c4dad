// Taking bytes out of the child's pseudo-terminal: one bounded wait, then one read.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <stdexcept>

#include "io/clock.hpp"
#include "io/select.hpp"
#include "pexpect_custom/expect_base.hpp"
#include "platform/platform.hpp"

namespace pexpect_custom {

namespace {

// A terminal master never hands out more than a few KiB per read, so a larger request gains
// nothing but a large allocation on every call.
constexpr long largest_single_read = 64L * 1024;

bool contains(const std::vector<int>& fds, int fd) {
  return std::find(fds.begin(), fds.end(), fd) != fds.end();
}

bool readable_within(int fd, std::optional<double> seconds) {
  return contains(detail::select({fd}, {}, {}, seconds).read, fd);
}

constexpr short readable_events = POLLIN | POLLHUP | POLLERR | POLLNVAL;

std::size_t request_size(long size) {
  return static_cast<std::size_t>(std::min(size, largest_single_read));
}

// What a zero-time look at the terminal and the child's end notice shows. Without a notice
// nothing is known of the child.
struct first_look {
  bool child_running = false;
  bool readable = false;
};

first_look look_now(int fd, int notice) {
  if (notice < 0) return {};
  pollfd fds[2] = {{fd, POLLIN, 0}, {notice, POLLIN, 0}};
  while (::poll(fds, 2, 0) < 0) {
    if (errno != EINTR) return {};
  }
  if (fds[1].revents != 0) return {};
  return {true, (fds[0].revents & readable_events) != 0};
}

void log_to(std::ostream* sink, std::string_view data) {
  if (!sink) return;
  sink->write(data.data(), static_cast<std::streamsize>(data.size()));
  sink->flush();
}

}  // namespace

void expect_base::check_can_read(long size) const {
  if (closed) throw std::logic_error("I/O operation on closed file in read_nonblocking().");
  // A zero-byte read would look exactly like end of file, and mark a live child as ended.
  if (size < 1) {
    throw std::logic_error("read_nonblocking() needs a size of at least 1, got " + std::to_string(size) +
                           ".");
  }
}

std::string expect_base::read_nonblocking(long size, timeout_arg limit) {
  check_can_read(size);
  const std::optional<double> read_timeout = detail::checked_timeout(limit.resolve(timeout));

  auto end_of_file = [this](const char* message) {
    flag_eof = true;
    return EOF_(message);
  };

  // While the child's end notice is quiet the child runs, which is what the liveness test would
  // say, without a waitpid per chunk; and a terminal that already holds output needs no wait.
  const int notice = end_notice_fd();
  const first_look look = look_now(child_fd, notice);

  // A dead child may still have output waiting; only an empty terminal means end of file.
  if (!look.child_running && !alive_without_blocking()) {
    if (!readable_within(child_fd, 0) && !input_buffered()) {
      throw end_of_file("End Of File (EOF) in read_nonblocking(). Braindead platform.");
    }
  } else if (irix_hack) {
    if (!readable_within(child_fd, 2) && !alive_without_blocking()) {
      throw end_of_file("End Of File (EOF) in read_nonblocking(). Pokey platform.");
    }
  }

  // The end notice wakes the wait when the other side ends while something else (a grandchild)
  // keeps the descriptor open and silent. A wake-up that brings nothing to read yet (a
  // transport's packet without output) is waited past, within the same time limit.
  // Without any notice, the wait is cut into growing naps after which the child is looked at.
  const double end_time = read_timeout ? detail::now() + *read_timeout : 0;
  std::optional<double> wait_limit = read_timeout;
  bool readable = look.readable;
  std::optional<detail::platform::growing_nap> naps;
  while (true) {
    if (!readable && !input_buffered()) {
      std::vector<int> wanted{child_fd};
      if (notice >= 0) wanted.push_back(notice);
      if (!naps && notice < 0 && end_unannounced()) naps.emplace();
      const std::optional<double> nap = naps ? std::optional<double>(naps->next()) : std::nullopt;
      const bool napping = nap && (!wait_limit || *nap < *wait_limit);
      const detail::ready_lists ready = detail::select(wanted, {}, {}, napping ? nap : wait_limit);
      if (!contains(ready.read, child_fd)) {
        if (!ready.read.empty() && !contains(ready.read, notice)) {
          throw ExceptionPexpect("Reached an unexpected state in read_nonblocking().");
        }
        if (!alive_without_blocking()) {
          throw end_of_file("End of File (EOF) in read_nonblocking(). Very pokey platform.");
        }
        // A notice that woke the wait while the other side still runs (a transport's own timer),
        // or the end of a nap, ends nothing: the wait goes on within the same limit.
        const bool time_left = !read_timeout || detail::now() < end_time;
        if ((!ready.read.empty() || napping) && time_left) {
          if (read_timeout) wait_limit = std::max(0.0, end_time - detail::now());
          continue;
        }
        throw TIMEOUT("Timeout exceeded in read_nonblocking().");
      }
    }

    const char* message = nullptr;
    const std::optional<std::string_view> chunk = take_chunk(size, message);
    if (!chunk) throw EOF_(message);
    if (!chunk->empty()) return std::string(*chunk);
    readable = false;
    if (read_timeout) wait_limit = std::max(0.0, end_time - detail::now());
  }
}

long expect_base::read_from_descriptor(char* into, std::size_t size) {
  ssize_t n;
  do {
    n = ::read(child_fd, into, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

std::optional<std::string_view> expect_base::take_chunk(long size, const char*& end_of_file_message) {
  // Once the child's side is closed and drained, Linux reports EIO here.
  // Read into the object's landing buffer and hand out a view of what arrived: a terminal hands
  // out a few KiB at a time, so a string of the full requested size would be allocated and
  // cleared for nothing.
  const std::size_t wanted_bytes = request_size(size);
  if (landing_.size() < wanted_bytes) landing_.resize(wanted_bytes);
  const long n = read_from_descriptor(landing_.data(), wanted_bytes);
  if (n < 0 && errno == EAGAIN) return std::string_view();
  if (n <= 0) {
    flag_eof = true;
    end_of_file_message = n < 0 ? "End Of File (EOF) in read_nonblocking(). Exception style platform."
                                : "End Of File (EOF) in read_nonblocking(). Empty string style platform.";
    return std::nullopt;
  }
  const std::string_view chunk(landing_.data(), static_cast<std::size_t>(n));

  log_to(logfile, chunk);
  log_to(logfile_read, chunk);
  if (screen_ || recording) show_output(chunk, true);
  return chunk;
}

// The pause lets a slow producer's output gather into fewer, larger chunks. When the read filled
// its request, or the terminal already holds more, there is nothing to wait for.
void expect_base::pause_after_read(long requested, std::size_t got) {
  if (!(delayafterread > 0) || got >= request_size(requested)) return;
  pollfd terminal{child_fd, POLLIN, 0};
  if (::poll(&terminal, 1, 0) > 0 && (terminal.revents & readable_events) != 0) return;
  detail::sleep_seconds(delayafterread, "delayafterread");
}

}  // namespace pexpect_custom
