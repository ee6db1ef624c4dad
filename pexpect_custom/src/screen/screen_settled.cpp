// The wait for a screen that has stopped changing: output is read as the expect loop reads it,
// the screen is looked at each time the terminal has been drained, and the wait ends once it
// has shown the same for the quiet time.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "io/clock.hpp"
#include "io/select.hpp"
#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/pending_expect.hpp"
#include "screen/screen_access.hpp"

namespace pexpect_custom {

namespace {

// Matches once told that the screen has settled; the bytes read are all on the screen by then,
// so a match consumes every one of them.
class screen_settled_searcher : public searcher_base {
 public:
  screen_settled_searcher(const screen& shown, double quiet) : shown_(shown), quiet_(quiet) {}

  void settled() { settled_ = true; }

  long search(std::string_view buffer, long /*freshlen*/, std::optional<long> /*window*/) override {
    if (!settled_) return -1;
    match_ = shown_.text();
    start = buffer.size();
    end = buffer.size();
    return 0;
  }

  std::optional<match_value> match_result() const override { return match_; }

  std::string str() const override {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", quiet_);
    return std::string("screen searcher:\n    0: no change for ") + seconds + " seconds";
  }

 private:
  const screen& shown_;
  double quiet_;
  bool settled_ = false;
  std::optional<match_value> match_;
};

// When the screen last changed.
class screen_watch {
 public:
  explicit screen_watch(const screen& shown)
      : shown_(shown), seen_(detail::screen_access::fingerprint(shown)), changed_at_(detail::now()) {}

  // Looks again after output has been read.
  void look() {
    const std::uint64_t now_showing = detail::screen_access::fingerprint(shown_);
    if (now_showing == seen_) return;
    seen_ = now_showing;
    changed_at_ = detail::now();
  }

  double unchanged_for() const { return detail::now() - changed_at_; }

 private:
  const screen& shown_;
  std::uint64_t seen_;
  double changed_at_;
};

}  // namespace

void expect_base::expect_screen_settled(delay_arg quiet, timeout_arg limit) {
  detail::require_number(quiet, "quiet");
  const double quiet_seconds = std::max(0.0, quiet.seconds());
  const pexpect_custom::screen& shown = screen();
  auto searcher = std::make_shared<screen_settled_searcher>(shown, quiet_seconds);
  expect_on_screen([&] {
    pending_expect pending(*this, searcher, limit, std::nullopt);
    screen_watch watch(shown);
    bool output_unseen = false;
    while (!pending.step()) {
      if (pending.took_bytes()) {
        // More may be waiting: the screen is looked at once the terminal is drained.
        output_unseen = true;
        detail::require_number(delayafterread, "delayafterread");
        pause_after_read(maxread, pending.bytes_taken());
        continue;
      }
      if (output_unseen) watch.look();
      output_unseen = false;
      const double quiet_left = quiet_seconds - watch.unchanged_for();
      if (quiet_left <= 0) {
        searcher->settled();
        pending.search_again();
        continue;
      }
      const std::optional<double> deadline_left = pending.seconds_left();
      detail::select(pending.watch_fds(), {}, {},
                     deadline_left ? std::min(*deadline_left, quiet_left) : quiet_left);
    }
  });
}

}  // namespace pexpect_custom
