#pragma once
// What the mouse and paste encoders and the session's waits need of a screen beyond its public
// interface.

#include <vterm.h>

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
  /// What the screen shows, packed into bytes: every cell's characters and attributes, and the
  /// cursor. Pictures of one screen differ whenever what it shows has changed in between.
  static std::string picture(const screen& shown);
};

}  // namespace pexpect_custom::detail
