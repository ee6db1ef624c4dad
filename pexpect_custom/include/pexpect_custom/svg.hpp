#pragma once
// Pictures of a screen and of a recording as SVG, for failure reports and documentation.

#include <iosfwd>
#include <string>

namespace pexpect_custom {

class screen;

/// How a picture looks. Every character stands at its own cell, so the picture keeps the screen's
/// layout whatever the viewer's font; the text of each cell is drawn in `font_family`.
struct svg_options {
  int cell_width = 9;    ///< pixels
  int cell_height = 18;  ///< pixels; the font is 5/6 of it
  std::string font_family = "DejaVu Sans Mono, Menlo, Consolas, monospace";
  std::string foreground = "#d0d0d0";  ///< the terminal's own text colour
  std::string background = "#101010";  ///< the terminal's own background
  bool cursor = true;                  ///< draw the cursor as a block over its cell
  /// For a recording: start again after the last frame (else it stays on the last frame).
  bool loop = true;
  /// For a recording: output that comes within this many seconds of a frame joins it.
  double frame_interval = 0.04;
  /// For a recording: how long the last frame stays before the picture starts again.
  double last_frame_seconds = 2;
};

/// The screen as an SVG document: the colours (palette, 256-colour and direct), bold, italic,
/// underline, reverse video, double-width characters over two cells and the cursor.
std::string screen_svg(const screen& shown, const svg_options& options = {});

/// An asciicast v2 recording (see recorder) as an animated SVG: one frame for each change of the
/// screen, shown from its recorded time on. A viewer without animation shows the last frame. A
/// recording that is not valid asciicast v2 raises std::logic_error naming its line.
std::string recording_svg(std::istream& recording, const svg_options& options = {});

}  // namespace pexpect_custom
