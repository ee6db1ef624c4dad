#pragma once
// pending_expect: one expect in progress, advanced by its caller without ever blocking, so that
// any event loop (poll, epoll, libuv, Asio) can drive many sessions from one thread.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/searcher.hpp"
#include "pexpect_custom/timeout.hpp"

namespace pexpect_custom {

/// One expect call cut into steps. Every step takes what the session's descriptor holds right
/// now (at most one read of `maxread` bytes), searches, and says whether the expect has ended.
/// Between steps the caller waits, in its own loop, until one of `watch_fds()` is readable or
/// `seconds_left()` has passed. The outcome, the fields left on the session and the errors
/// raised are those of `expect_loop`, which is built on this class:
/// ```cpp
/// // The program's own wait (poll, epoll, libuv...) on descriptors, for at most some seconds.
/// auto wait_readable = [](std::vector<int> fds, std::optional<double> seconds) {};
/// spawn child("sh -c 'sleep 1; echo ready'");
/// auto searcher = std::make_shared<searcher_string>(pattern_list{"ready"});
/// pending_expect pending(child, searcher, 10);
/// while (!pending.step()) wait_readable(pending.watch_fds(), pending.seconds_left());
/// ```
/// While the expect is pending, the bytes it has read belong to it, not to the session's
/// `buffer`. Destroying it before it has ended abandons the expect: every byte read goes back
/// into `buffer` (so a later expect sees it) and `before`, `after`, `match` and `match_index`
/// keep the values they had. The session must outlive this object and must not be moved, read
/// or expected on meanwhile: a second pending_expect on it is refused until this one has ended.
/// Movable, not copyable.
class pending_expect {
 public:
  /// Starts an expect for `searcher` on `session`: sets the session's `searcher` field and fixes
  /// the deadline (`timeout` -1: the session's `timeout`; nullopt: none). `searchwindowsize` -1
  /// takes the session's field. Nothing is read or searched yet. std::logic_error, with the
  /// session untouched, while another expect on it has not ended.
  pending_expect(expect_base& session, std::shared_ptr<searcher_base> searcher, timeout_arg timeout = -1,
                 std::optional<long> searchwindowsize = -1);
  pending_expect(pending_expect&& other) noexcept;
  pending_expect& operator=(pending_expect&&) = delete;
  pending_expect(const pending_expect&) = delete;
  pending_expect& operator=(const pending_expect&) = delete;
  /// Abandons an expect that has not ended (see the class comment); never throws.
  ~pending_expect();

  /// Searches what is buffered, reads once if the descriptor is readable now, searches the new
  /// bytes. Returns the index of the entry that ended the expect (a match, or the EOF / TIMEOUT
  /// marker of the list), or nullopt when it has not ended yet. Raises EOF_ and TIMEOUT as
  /// expect does. Never waits; a step after the end returns the same index again.
  std::optional<long> step();

  /// Ends the expect as a time-out does, whatever its own deadline: returns the index of the
  /// list's TIMEOUT_marker, or raises TIMEOUT with `message`, a line feed and the state report.
  /// For a driver that keeps one deadline for several expects. std::logic_error once ended.
  long time_out(const char* message = "Timeout exceeded in expect_any().");

  /// The descriptors to wait on for reading before the next step: the session's descriptor and,
  /// for a child process, a descriptor that turns readable when the child ends.
  std::vector<int> watch_fds() const;

  /// Seconds until the next step is due even if no descriptor turns readable (0 once that time
  /// has come): the deadline, or sooner where nothing announces the end of the session's child
  /// (a system without end notices), the next look at the child, after naps growing from 1 ms to
  /// 250 ms. nullopt when neither applies.
  std::optional<double> seconds_left() const;

  /// Makes the next step search again though nothing new has been read, for a searcher whose
  /// answer depends on more than the bytes (what a screen shows, the time).
  void search_again() noexcept { searched_ = false; }

  /// Whether the last step read bytes (and so more may be waiting).
  bool took_bytes() const noexcept { return bytes_taken_ > 0; }
  /// How many bytes the last step read.
  std::size_t bytes_taken() const noexcept { return bytes_taken_; }

  /// Whether the expect has ended (returned an index or raised).
  bool ended() const noexcept { return ended_; }

  /// The session this expect runs on.
  expect_base& session() const noexcept { return *session_; }

 private:
  enum class read_outcome { bytes, nothing, end_of_file, timed_out };

  std::optional<long> advance();
  std::optional<long> search();
  read_outcome read_available();
  read_outcome nothing_yet();
  long finish_at_end_of_file();
  long finish_at_timeout(const char* message);
  void finish_on_failure() noexcept;
  void end() noexcept;

  expect_base* session_;
  std::string incoming_;
  std::size_t buffer_at_start_ = 0;  // bytes of incoming_ that were the session's buffer
  long freshlen_ = 0;
  std::optional<double> remaining_;  // recomputed after each read, as the blocking loop does
  double end_time_ = 0;
  std::optional<long> window_;
  bool searched_ = false;  // whether incoming_ has been searched since it last grew
  bool first_search_ = true;
  std::size_t bytes_taken_ = 0;
  bool waited_ = false;  // the caller has waited since the last read
  bool ended_ = false;
  std::optional<long> result_;
  const char* end_of_file_message_ = nullptr;
  double look_nap_ = 0;   // the nap before the next look at a child whose end nothing announces
  double next_look_ = 0;  // when that look is due; 0: none planned
};

}  // namespace pexpect_custom
