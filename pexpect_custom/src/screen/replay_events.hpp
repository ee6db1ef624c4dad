#pragma once
// Replay of a recording that tells the caller when each event has been applied.

#include <functional>
#include <iosfwd>

namespace pexpect_custom {
class screen;
}

namespace pexpect_custom::detail {

/// Does what replay(recording, target) does, calling `after_event` with an event's time in seconds
/// once the event has reached the screen.
void replay_events(std::istream& recording, screen& target, const std::function<void(double)>& after_event);

}  // namespace pexpect_custom::detail
