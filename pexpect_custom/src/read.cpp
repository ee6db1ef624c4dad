// Taking bytes out of the child's pseudo-terminal: one bounded wait, then one read.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ostream>
#include <stdexcept>

#include "clock.hpp"
#include "pexpect_custom/expect_base.hpp"
#include "select.hpp"

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

// One read that goes on after a signal; -1 with errno set on any other failure.
ssize_t read_once(int fd, char* into, std::size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, into, size);
  } while (n < 0 && errno == EINTR);
  return n;
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

  // A dead child may still have output waiting; only an empty terminal means end of file.
  if (!alive_without_blocking()) {
    if (!readable_within(child_fd, 0)) {
      throw end_of_file("End Of File (EOF) in read_nonblocking(). Braindead platform.");
    }
  } else if (irix_hack) {
    if (!readable_within(child_fd, 2) && !alive_without_blocking()) {
      throw end_of_file("End Of File (EOF) in read_nonblocking(). Pokey platform.");
    }
  }

  // The end notice wakes the wait when the other side ends while something else (a grandchild)
  // keeps the descriptor open and silent.
  std::vector<int> wanted{child_fd};
  const int notice = end_notice_fd();
  if (notice >= 0) wanted.push_back(notice);
  const detail::ready_lists ready = detail::select(wanted, {}, {}, read_timeout);
  if (!contains(ready.read, child_fd)) {
    if (!ready.read.empty() && !contains(ready.read, notice)) {
      throw ExceptionPexpect("Reached an unexpected state in read_nonblocking().");
    }
    if (!alive_without_blocking()) {
      throw end_of_file("End of File (EOF) in read_nonblocking(). Very pokey platform.");
    }
    throw TIMEOUT("Timeout exceeded in read_nonblocking().");
  }

  const char* message = nullptr;
  std::optional<std::string> chunk = take_chunk(size, message);
  if (!chunk) throw EOF_(message);
  return std::move(*chunk);
}

std::optional<std::string> expect_base::take_chunk(long size, const char*& end_of_file_message) {
  // Once the child's side is closed and drained, Linux reports EIO here.
  // Read into the object's landing buffer and copy out only what arrived: a terminal hands out a
  // few KiB at a time, so a string of the full requested size would be allocated and cleared for
  // nothing.
  const auto wanted_bytes = static_cast<std::size_t>(std::min(size, largest_single_read));
  if (landing_.size() < wanted_bytes) landing_.resize(wanted_bytes);
  const ssize_t n = read_once(child_fd, landing_.data(), wanted_bytes);
  if (n <= 0) {
    flag_eof = true;
    end_of_file_message = n < 0 ? "End Of File (EOF) in read_nonblocking(). Exception style platform."
                                : "End Of File (EOF) in read_nonblocking(). Empty string style platform.";
    return std::nullopt;
  }
  std::string chunk(landing_.data(), static_cast<std::size_t>(n));

  log_to(logfile, chunk);
  log_to(logfile_read, chunk);
  return chunk;
}

}  // namespace pexpect_custom
