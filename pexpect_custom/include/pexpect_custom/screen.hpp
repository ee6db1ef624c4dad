#pragma once
// A virtual terminal screen: it interprets a program's output (text, cursor movement, erasing,
// attributes, the alternate screen) the way a terminal would and shows what a user would see.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pexpect_custom/keys.hpp"

namespace pexpect_custom {

/// The colour of a cell's text or background.
struct colour {
  enum class kinds : std::uint8_t {
    terminal_default,  ///< no colour was chosen: the terminal's own
    indexed,           ///< one of the 256 palette colours (0-7 the basic ones, 8-15 the bright ones)
    rgb,               ///< a direct 24-bit colour
  };
  kinds kind = kinds::terminal_default;
  std::uint8_t index = 0;  ///< the palette index, when kind is indexed
  std::uint8_t red = 0;    ///< the components, when kind is rgb
  std::uint8_t green = 0;
  std::uint8_t blue = 0;

  static colour indexed(std::uint8_t palette_index) { return {kinds::indexed, palette_index, 0, 0, 0}; }
  static colour rgb(std::uint8_t r, std::uint8_t g, std::uint8_t b) { return {kinds::rgb, 0, r, g, b}; }
  bool operator==(const colour&) const = default;
};

/// What one character cell of the screen holds.
struct screen_cell {
  /// The cell's character as UTF-8 (with any combining marks); empty for a cell nothing was
  /// written to or that was erased, and for the right half of a double-width character.
  std::string text;
  /// Columns the character takes: 2 for a double-width one, 0 for the right half it covers.
  int width = 1;
  bool bold = false;
  bool underline = false;
  bool italic = false;
  bool reverse = false;
  colour foreground;
  colour background;
};

/// A position on the screen, both counted from 0 at the top left.
struct screen_position {
  int row = 0;
  int col = 0;
  bool operator==(const screen_position&) const = default;
};

/// A rectangle of the screen: `rows` rows from row `top` and `cols` columns from column `left`
/// (both counted from 0). Its extent is cut off at the screen's edges, so the defaults reach to
/// the bottom right.
struct screen_area {
  int top = 0;
  int left = 0;
  int rows = 1000;
  int cols = 1000;

  /// The whole of row `n`.
  static screen_area row(int n) { return {n, 0, 1, 1000}; }
};

/// A terminal screen of a given size fed with a program's output. Output is taken as UTF-8.
/// Movable, not copyable; a moved-from screen may only be assigned to or destroyed.
class screen {
 public:
  /// Largest number of rows or columns a screen accepts.
  static constexpr int max_size = 1000;

  /// A blank screen of `rows` by `cols`; both must be 1 ... max_size (std::out_of_range otherwise).
  screen(int rows = 24, int cols = 80);
  ~screen();
  screen(screen&&) noexcept;
  screen& operator=(screen&&) noexcept;
  screen(const screen&) = delete;
  screen& operator=(const screen&) = delete;

  /// Interprets `bytes` of output. A multi-byte character or escape sequence split between two
  /// calls is completed by the second.
  void feed(std::string_view bytes);
  /// Changes the size (the same limits as the constructor). Text beyond the new size is cut off.
  void resize(int rows, int cols);

  int rows() const;
  int cols() const;

  /// The whole screen as text: its rows joined by "\n", each without its trailing blanks, and
  /// without the empty rows at the bottom (a blank screen gives ""). No newline at the end.
  std::string text() const;
  /// The text of `area`, in the form of text(). std::out_of_range when its top left corner lies
  /// outside the screen or its extent is not positive.
  std::string text(const screen_area& area) const;
  /// Row `n` (0 at the top) without its trailing blanks; std::out_of_range outside the screen.
  std::string row(int n) const;
  /// The cell at (`row`, `col`); std::out_of_range outside the screen.
  screen_cell cell(int row, int col) const;
  /// Where the cursor stands.
  screen_position cursor() const;
  /// True while the program shows the alternate screen (full-screen programs switch to it).
  bool alternate_screen() const;
  /// True while the program has the cursor keys in application mode.
  bool application_cursor_keys() const;
  /// The window title the program last set, or "".
  std::string title() const;

  /// The bytes the terminal sends for a named key in the screen's current keyboard modes.
  std::string key(pexpect_custom::key k, key_modifiers modifiers = key_modifiers::none);
  /// The bytes sent for a character typed with `modifiers` (see key_sequence).
  std::string key(char32_t character, key_modifiers modifiers = key_modifiers::none);

  /// Takes the answers the terminal owes the program for queries in its output (cursor position
  /// reports, device attributes), in order; a session may send them to the program. At most
  /// 64 KiB wait to be taken: answers that would go beyond are dropped whole.
  std::string take_replies();

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace pexpect_custom
