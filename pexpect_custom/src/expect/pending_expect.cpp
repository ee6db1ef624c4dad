// One expect in progress: search what is buffered, take what the descriptor holds now, search
// again. The blocking expect loop and every event-loop driver advance the same object.
#include "pexpect_custom/pending_expect.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "expect/plain_text.hpp"
#include "io/clock.hpp"
#include "platform/platform.hpp"

namespace pexpect_custom {

namespace {

constexpr const char* dead_at_start_message = "End Of File (EOF) in read_nonblocking(). Braindead platform.";
constexpr const char* dead_after_wait_message =
    "End of File (EOF) in read_nonblocking(). Very pokey platform.";

// What a zero-time look at the descriptor and at the child's end notice (-1: none) shows.
struct first_look {
  bool readable = false;      // something to read, or a hang-up
  bool notice_quiet = false;  // there is a notice, and it says the child still runs
};

first_look look_now(int fd, int notice) {
  pollfd entries[2] = {{fd, POLLIN, 0}, {notice, POLLIN, 0}};
  const nfds_t count = notice >= 0 ? 2 : 1;
  int ready;
  do {
    ready = ::poll(entries, count, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) throw_system_error();
  return {entries[0].revents != 0, notice >= 0 && entries[1].revents == 0};
}

// Past `large_output`, an expect's output grows in few large steps rather than by doubling:
// each step is a fresh block whose every page the kernel faults in and clears as the old bytes
// are copied in and new ones appended, which costs more than the copy itself, while capacity not
// yet written to costs no memory. A step makes the capacity eight times larger but adds at most
// `largest_addition`, and always at least doubles it.
constexpr std::size_t large_output = std::size_t{2} << 20;
constexpr std::size_t growth_factor = 8;
constexpr std::size_t largest_addition = std::size_t{256} << 20;

std::size_t grown_capacity(std::size_t capacity, std::size_t needed) {
  const std::size_t added =
      capacity <= largest_addition / (growth_factor - 1) ? capacity * (growth_factor - 1) : largest_addition;
  return std::max({needed, capacity + added, 2 * capacity});
}

// Makes room for `extra` more bytes when the output is large, in the steps above.
void make_room(std::string& incoming, std::size_t extra) {
  const std::size_t needed = incoming.size() + extra;
  if (needed > incoming.capacity() && needed >= large_output) {
    std::string grown;
    grown.reserve(grown_capacity(incoming.capacity(), needed));
    grown.append(incoming);
    incoming.swap(grown);
  }
}

// Splits the expect's output around the searcher's match: before it, the match, after it.
// `incoming` is consumed, but only once nothing can fail any more.
void record_match(expect_base& child, std::string& incoming, long index) {
  const searcher_base& found = *child.searcher;
  const std::size_t start = found.start.value();
  const std::size_t end = found.end.value();
  std::optional<match_value> match = found.match_result();
  std::string rest = incoming.substr(end);
  std::string matched = incoming.substr(start, end - start);
  incoming.resize(start);
  child.buffer = std::move(rest);
  child.before = std::move(incoming);
  child.after = after_value(std::in_place_type<std::string>, std::move(matched));
  child.match = std::move(match);
  child.match_index = index;
}

// Ends an expect on end of file or time-out: returns the marker's index when the pattern list
// holds the marker, else throws an error of the given type whose message carries the state report.
template <typename Error, typename Marker>
long end_at_marker(expect_base& child, Marker marker, long marker_index, const char* message) {
  child.after = after_value(marker);
  if (marker_index >= 0) {
    child.match = match_value(marker);
    child.match_index = marker_index;
    return marker_index;
  }
  child.match.reset();
  child.match_index.reset();
  throw Error(std::string(message) + "\n" + child.str());
}

}  // namespace

// The session's buffer is taken over rather than copied: until the expect ends, its bytes and
// everything read since live in incoming_, which only grows.
pending_expect::pending_expect(expect_base& session, std::shared_ptr<searcher_base> searcher,
                               timeout_arg timeout, std::optional<long> searchwindowsize)
    : session_(&session) {
  if (session.expect_pending_) {
    session_ = nullptr;
    throw std::logic_error("An expect is already in progress on this session.");
  }
  session.searcher = std::move(searcher);
  remaining_ = detail::checked_timeout(timeout.resolve(session.timeout));
  if (remaining_) end_time_ = detail::now() + *remaining_;
  window_ = searchwindowsize == -1 ? session.searchwindowsize : searchwindowsize;
  incoming_ = std::move(session.buffer);
  session.buffer.clear();
  session.expect_pending_ = true;
  buffer_at_start_ = incoming_.size();
  freshlen_ = static_cast<long>(incoming_.size());
}

pending_expect::pending_expect(pending_expect&& other) noexcept
    : session_(std::exchange(other.session_, nullptr)),
      incoming_(std::move(other.incoming_)),
      buffer_at_start_(other.buffer_at_start_),
      freshlen_(other.freshlen_),
      remaining_(other.remaining_),
      end_time_(other.end_time_),
      window_(other.window_),
      searched_(other.searched_),
      first_search_(other.first_search_),
      bytes_taken_(other.bytes_taken_),
      waited_(other.waited_),
      ended_(std::exchange(other.ended_, true)),
      result_(other.result_),
      end_of_file_message_(other.end_of_file_message_),
      look_nap_(other.look_nap_),
      next_look_(other.next_look_) {}

pending_expect::~pending_expect() {
  if (!session_ || ended_) return;
  session_->buffer = std::move(incoming_);
  session_->expect_pending_ = false;
}

// An ended expect leaves the session free for the next one, even while this object lives on.
void pending_expect::end() noexcept {
  ended_ = true;
  session_->expect_pending_ = false;
}

std::optional<long> pending_expect::step() {
  if (ended_) {
    if (result_) return result_;
    throw std::logic_error("step() called on an expect that has already failed.");
  }
  try {
    return advance();
  } catch (...) {
    if (!ended_) finish_on_failure();
    throw;
  }
}

// The blocking loop's order: search, test the time left, read, search what is new. The time
// left is recomputed only after a read, so bytes that keep coming past the deadline end the
// expect with "Timeout exceeded in expect_any()." and silence with the read's own message.
std::optional<long> pending_expect::advance() {
  bytes_taken_ = 0;
  next_look_ = 0;
  if (!searched_) {
    if (std::optional<long> index = search()) return index;
  }
  if (remaining_ && *remaining_ < 0) return finish_at_timeout("Timeout exceeded in expect_any().");
  switch (read_available()) {
    case read_outcome::bytes:
      waited_ = false;
      if (remaining_) remaining_ = end_time_ - detail::now();
      return search();
    case read_outcome::nothing:
      waited_ = true;
      return std::nullopt;
    case read_outcome::end_of_file:
      return finish_at_end_of_file();
    case read_outcome::timed_out:
      break;
  }
  return finish_at_timeout("Timeout exceeded in read_nonblocking().");
}

// The first search of an expect starts afresh, whatever the searcher did before; each later
// one continues it, since incoming_ has only grown since.
std::optional<long> pending_expect::search() {
  searcher_base* searcher = session_->searcher.get();
  if (!searcher) throw std::invalid_argument("expect_loop() needs a searcher, got none.");
  const long index = first_search_ ? searcher->search(incoming_, freshlen_, window_)
                                   : searcher->continue_search(incoming_, freshlen_, window_);
  first_search_ = false;
  searched_ = true;
  if (index < 0) return std::nullopt;
  record_match(*session_, incoming_, index);
  end();
  result_ = index;
  return index;
}

// A live child whose descriptor has nothing to say is "not yet", until the deadline. One that
// has ended is at end of file once its output is drained. The liveness check (a waitpid) is made
// only when there is nothing to read and the child's end notice cannot tell.
pending_expect::read_outcome pending_expect::read_available() {
  expect_base& session = *session_;
  session.check_can_read(session.maxread);
  const int notice = session.end_notice_fd();
  const first_look look = look_now(session.child_fd, notice);
  if (!look.readable && !session.input_buffered()) {
    // A quiet end notice says the child runs as well as a waitpid would, at the cost of no call.
    if (look.notice_quiet || session.alive_without_blocking()) {
      // A transport's liveness test may take packets off its socket: output it took is read
      // now, since the socket will not wake the caller for it again.
      if (!session.input_buffered()) return nothing_yet();
    } else if (!look_now(session.child_fd, -1).readable && !session.input_buffered()) {
      // It wrote its last output and ended since the first look.
      session.flag_eof = true;
      end_of_file_message_ = waited_ ? dead_after_wait_message : dead_at_start_message;
      return read_outcome::end_of_file;
    }
  }
  const std::optional<std::string_view> chunk = session.take_chunk(session.maxread, end_of_file_message_);
  if (!chunk) return read_outcome::end_of_file;
  // The descriptor woke with nothing to read yet (a transport's packet without output).
  if (chunk->empty()) return nothing_yet();
  look_nap_ = 0;
  bytes_taken_ = chunk->size();
  const std::size_t length_before = incoming_.size();
  make_room(incoming_, chunk->size());
  if (session.strip_terminal_sequences) {
    detail::append_text(incoming_, *chunk, session.sequence_position_);
  } else {
    incoming_.append(*chunk);
  }
  freshlen_ = static_cast<long>(incoming_.size() - length_before);
  searched_ = false;
  return read_outcome::bytes;
}

// Nothing to read and the child runs: time is up, or the caller waits. Where nothing would wake
// it when the child ends, the next look is planned after a nap that grows while nothing comes.
pending_expect::read_outcome pending_expect::nothing_yet() {
  if (remaining_ && detail::now() >= end_time_) return read_outcome::timed_out;
  if (session_->end_unannounced()) {
    using naps = detail::platform::growing_nap;
    look_nap_ = look_nap_ == 0 ? naps::first : std::min(2 * look_nap_, naps::longest);
    next_look_ = detail::now() + look_nap_;
  }
  return read_outcome::nothing;
}

long pending_expect::time_out(const char* message) {
  if (ended_) throw std::logic_error("time_out() called on an expect that has already ended.");
  return finish_at_timeout(message);
}

long pending_expect::finish_at_end_of_file() {
  expect_base& session = *session_;
  end();
  session.buffer.clear();
  session.before = std::move(incoming_);
  result_ = end_at_marker<EOF_>(session, EOF_marker, session.searcher->eof_index, end_of_file_message_);
  return *result_;
}

long pending_expect::finish_at_timeout(const char* message) {
  expect_base& session = *session_;
  end();
  session.buffer = incoming_;
  session.before = std::move(incoming_);
  result_ = end_at_marker<TIMEOUT>(session, TIMEOUT_marker, session.searcher->timeout_index, message);
  return *result_;
}

// The buffer keeps what it held when the expect began; the bytes read since are left in
// `before`.
void pending_expect::finish_on_failure() noexcept {
  expect_base& session = *session_;
  end();
  try {
    session.buffer.assign(incoming_, 0, buffer_at_start_);
  } catch (...) {
    session.buffer.clear();
  }
  session.before = std::move(incoming_);
  session.after.reset();
  session.match.reset();
  session.match_index.reset();
}

std::vector<int> pending_expect::watch_fds() const {
  std::vector<int> fds{session_->child_fd};
  const int notice = session_->end_notice_fd();
  if (notice >= 0) fds.push_back(notice);
  return fds;
}

std::optional<double> pending_expect::seconds_left() const {
  if (!remaining_ && next_look_ == 0) return std::nullopt;
  const double now = detail::now();
  double left = remaining_ ? end_time_ - now : next_look_ - now;
  if (next_look_ > 0) left = std::min(left, next_look_ - now);
  return left > 0 ? left : 0;
}

}  // namespace pexpect_custom
