#pragma once
// The golden file form of a screen, read and written.

#include <optional>
#include <string>
#include <vector>

#include "pexpect_custom/screen.hpp"
#include "pexpect_custom/snapshot.hpp"

namespace pexpect_custom::detail {

/// A screen as a golden file holds it.
struct golden_screen {
  int rows = 0;
  int cols = 0;
  snapshot_options options;
  std::vector<std::string> text;  // each row's characters, one per cell, without the frame
  // With attributes: each row's map (one symbol per cell), the legend's lines, and the
  // attributes of each cell in the legend's words ("" for plain).
  std::vector<std::string> map;
  std::vector<std::string> legend;
  std::vector<std::vector<std::string>> looks;
  std::optional<screen_position> cursor;
};

/// What the golden file of `shown` holds.
golden_screen golden_of(const screen& shown, snapshot_options options);
/// The file's text; it ends with a newline.
std::string golden_text(const golden_screen& golden);
/// Reads a golden file's text; std::logic_error naming the line when it is not one.
golden_screen parse_golden(const std::string& text);
/// A screen that shows what `golden` holds, for its picture and to find its cells.
screen screen_of(const golden_screen& golden);

/// The character a cell shows in a golden file: " " for an empty cell, "" for the right half
/// of a double-width one.
std::string golden_glyph(const screen_cell& cell);

}  // namespace pexpect_custom::detail
