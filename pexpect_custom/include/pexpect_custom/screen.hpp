#pragma once
// A virtual terminal screen: it interprets a program's output (text, cursor movement, erasing,
// attributes, the alternate screen) the way a terminal would and shows what a user would see.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pexpect_custom/keys.hpp"

namespace pexpect_custom {

namespace detail {
struct screen_access;
}  // namespace detail

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

/// Which mouse events the program has asked the terminal to report.
enum class mouse_tracking : std::uint8_t {
  none,        ///< none: the mouse belongs to the terminal (selecting text, scrolling back)
  clicks,      ///< button presses and releases, and the wheel
  drag,        ///< also movement while a button is held
  any_motion,  ///< also movement with no button held
};

/// How mouse reports are encoded.
enum class mouse_encoding : std::uint8_t {
  x10,    ///< the older form: ESC [ M and three bytes; positions up to 223
  utf8,   ///< the older form with positions as UTF-8 characters, up to 2015
  sgr,    ///< ESC [ < button ; column ; row M (m for a release); any position
  urxvt,  ///< ESC [ button ; column ; row M
};

/// The terminal modes a program has turned on. A program that ends is expected to turn them off
/// again; one that is killed leaves them on, and the user's terminal stays in them.
struct terminal_modes {
  bool alternate_screen = false;
  bool cursor_visible = true;
  bool application_cursor_keys = false;  ///< arrows send ESC O A rather than ESC [ A
  bool application_keypad = false;       ///< the numeric keypad sends escape sequences
  bool bracketed_paste = false;          ///< pasted text comes between ESC [ 200 ~ and ESC [ 201 ~
  mouse_tracking mouse = mouse_tracking::none;
  /// The form of mouse reports; it only means something while `mouse` is not none.
  mouse_encoding encoding = mouse_encoding::x10;
  /// The window title last set, or "". A terminal cannot take a title back, so it never counts as
  /// left on.
  std::string title;

  /// The modes still on that a fresh terminal has off, in the order of the fields above:
  /// "alternate screen", "hidden cursor", "application cursor keys", "application keypad",
  /// "bracketed paste", "mouse reporting".
  std::vector<std::string> left_on() const;
  /// Whether the terminal is back in a fresh terminal's modes (left_on() is empty).
  bool restored() const { return left_on().empty(); }
  bool operator==(const terminal_modes&) const = default;
};

/// A mouse button.
enum class mouse_button : std::uint8_t { left, middle, right };

/// Which way the mouse wheel turns: up scrolls towards the start of a text.
enum class wheel_direction : std::uint8_t { up, down };

/// A terminal screen of a given size fed with a program's output. Output is taken as UTF-8.
/// Movable, not copyable; a moved-from screen may only be assigned to or destroyed.
class screen {
 public:
  /// Largest number of rows or columns a screen accepts.
  static constexpr int max_size = 1000;
  /// Fewest columns a screen accepts: a double-width character needs two.
  static constexpr int min_cols = 2;

  /// A blank screen of `rows` by `cols`: 1 ... max_size rows and min_cols ... max_size columns
  /// (std::out_of_range otherwise).
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
  /// Every mode the program has turned on (the three above among them).
  terminal_modes modes() const;

  /// The bytes the terminal sends for a named key in the screen's current keyboard modes.
  std::string key(pexpect_custom::key k, key_modifiers modifiers = key_modifiers::none);
  /// The bytes sent for a character typed with `modifiers` (see key_sequence).
  std::string key(char32_t character, key_modifiers modifiers = key_modifiers::none);

  /// The bytes the terminal sends for a click (press and release) of `button` on the cell `at`,
  /// in the encoding the program chose: "" while it asks for no mouse reports. With any-motion
  /// tracking the move to the cell is reported first. std::out_of_range outside the screen.
  std::string click(screen_position at, mouse_button button = mouse_button::left,
                    key_modifiers modifiers = key_modifiers::none);
  /// The bytes of a press on `from`, a move to `to` and a release there. The move is reported
  /// only with drag or any-motion tracking; with clicks tracking the program sees a press and a
  /// release in different cells, as a terminal sends them.
  std::string drag(screen_position from, screen_position to, mouse_button button = mouse_button::left,
                   key_modifiers modifiers = key_modifiers::none);
  /// The bytes of `notches` turns of the wheel over the cell `at` (a wheel sends no release).
  std::string wheel(screen_position at, wheel_direction direction, int notches = 1,
                    key_modifiers modifiers = key_modifiers::none);
  /// The bytes of pasting `text`: line ends become carriage returns, as a terminal sends a pasted
  /// line end, and with bracketed paste on the text comes between ESC [ 200 ~ and ESC [ 201 ~,
  /// with any end marker inside the text removed so that pasted text cannot end the paste early.
  std::string paste(std::string_view text);

  /// Takes the answers the terminal owes the program for queries in its output (cursor position
  /// reports, device attributes), in order; a session may send them to the program. At most
  /// 64 KiB wait to be taken: answers that would go beyond are dropped whole.
  std::string take_replies();

 private:
  friend struct detail::screen_access;
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace pexpect_custom
