// The expect family: wait until one of several patterns turns up in the child's output.
#include "io/clock.hpp"
#include "io/select.hpp"
#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/pending_expect.hpp"

namespace pexpect_custom {

long expect_base::expect(const pattern_list& pattern, timeout_arg expect_timeout,
                         std::optional<long> window) {
  return expect_list(compile_pattern_list(pattern), expect_timeout, window);
}

long expect_base::expect(std::initializer_list<pattern_entry> pattern, timeout_arg expect_timeout,
                         std::optional<long> window) {
  return expect_list(compile_pattern_list(pattern), expect_timeout, window);
}

long expect_base::expect(const pattern_entry& pattern, timeout_arg expect_timeout,
                         std::optional<long> window) {
  return expect_list(compile_pattern_list(pattern), expect_timeout, window);
}

long expect_base::expect(std::nullopt_t, timeout_arg expect_timeout, std::optional<long> window) {
  return expect_list(compile_pattern_list(std::nullopt), expect_timeout, window);
}

long expect_base::expect_list(const pattern_list& patterns, timeout_arg expect_timeout,
                              std::optional<long> window) {
  return expect_loop(std::make_shared<searcher_re>(patterns), expect_timeout, window);
}

long expect_base::expect_exact(const pattern_list& patterns, timeout_arg expect_timeout,
                               std::optional<long> window) {
  return expect_loop(std::make_shared<searcher_string>(patterns), expect_timeout, window);
}

long expect_base::expect_exact(std::initializer_list<pattern_entry> patterns, timeout_arg expect_timeout,
                               std::optional<long> window) {
  return expect_exact(pattern_list(patterns), expect_timeout, window);
}

long expect_base::expect_exact(const pattern_entry& pattern, timeout_arg expect_timeout,
                               std::optional<long> window) {
  return expect_exact(pattern_list{pattern}, expect_timeout, window);
}

// The blocking form of pending_expect: step, and between steps either pause after a read that
// drained the terminal (so a producer can fill it and later reads come in larger chunks) or sleep
// in poll until the descriptor or the child's end notice is readable or the deadline passes.
long expect_base::expect_loop(std::shared_ptr<searcher_base> loop_searcher, timeout_arg limit,
                              std::optional<long> window) {
  pending_expect pending(*this, std::move(loop_searcher), limit, window);
  while (true) {
    if (std::optional<long> index = pending.step()) return *index;
    if (pending.took_bytes()) {
      detail::require_number(delayafterread, "delayafterread");
      pause_after_read(maxread, pending.bytes_taken());
    } else {
      detail::select(pending.watch_fds(), {}, {}, pending.seconds_left());
    }
  }
}

}  // namespace pexpect_custom
