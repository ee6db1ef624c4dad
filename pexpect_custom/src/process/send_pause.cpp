// The pause before a send to the child: over as soon as the child waits for input.
#include <algorithm>
#include <optional>

#include "io/clock.hpp"
#include "pexpect_custom/spawn.hpp"
#include "platform/platform.hpp"

namespace pexpect_custom {

namespace {

// There is no event for "blocked reading", so the child is looked at again after a nap. The
// first comes soon, for a program that is about to read; later ones grow, so that a program
// busy for the whole pause costs only a few looks.
constexpr double first_nap = 0.0002;
constexpr double longest_nap = 0.008;

// Sleeps until the program on the terminal behind `master_fd` waits for input, or `seconds`
// pass. Where that cannot be told, the whole time.
void pause_until_input_wanted(int master_fd, pid_t leader, double seconds) {
  const double end = detail::now() + seconds;
  const std::optional<dev_t> terminal = detail::platform::terminal_device(master_fd);
  for (double nap = first_nap; terminal; nap = std::min(2 * nap, longest_nap)) {
    const detail::platform::input_wait state =
        detail::platform::foreground_input_wait(master_fd, leader, *terminal);
    if (state == detail::platform::input_wait::waiting) return;
    if (state == detail::platform::input_wait::unknown) break;
    const double left = end - detail::now();
    if (left <= 0) return;
    detail::sleep_seconds(std::min(nap, left));
  }
  detail::sleep_seconds(end - detail::now(), "delaybeforesend");
}

}  // namespace

void spawn::pause_before_send() {
  detail::require_number(delaybeforesend, "delaybeforesend");
  if (!(delaybeforesend > 0)) return;
  // Once the child's end is collected its process id may belong to another process.
  if (terminated || !pid || child_fd < 0) return detail::sleep_seconds(delaybeforesend, "delaybeforesend");
  pause_until_input_wanted(child_fd, *pid, delaybeforesend);
}

}  // namespace pexpect_custom
