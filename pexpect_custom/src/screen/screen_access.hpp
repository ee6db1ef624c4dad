#pragma once
// What the mouse and paste encoders and the session's waits need of a screen beyond its public
// interface.

#include <vterm.h>

#include <cstdint>
#include <string>

#include "pexpect_custom/screen.hpp"

namespace pexpect_custom::detail {

struct screen_access {
  /// The emulator, for its keyboard and mouse encoders.
  static VTerm* terminal(const screen& shown);
  /// Takes the bytes the emulator's encoders have produced since this was last called.
  static std::string take_sent(const screen& shown);
  /// The modes the program set that the emulator reports as they change: the alternate screen,
  /// the cursor's visibility, mouse tracking and the title.
  static const terminal_modes& reported(const screen& shown);
  /// A 64-bit hash of what the screen shows: every cell's characters and attributes, and the
  /// cursor. Two readings of one screen differ when what it shows has changed in between (but
  /// for a chance of one in 2^64).
  static std::uint64_t fingerprint(const screen& shown);
};

}  // namespace pexpect_custom::detail
