// The terminal modes a program has chosen, and the mouse reports and pasted text a terminal sends
// in them. libvterm encodes; what it keeps to itself is told from what its encoders produce.
#include <stdexcept>

#include "pexpect_custom/screen.hpp"
#include "screen/screen_access.hpp"

namespace pexpect_custom {

namespace {

using detail::screen_access;

constexpr std::string_view paste_end = "\x1b[201~";

// A column past the reach of one byte, where the two older mouse encodings differ, and outside
// every screen, so that no report of a real cell starts from there unnoticed.
constexpr int encoding_probe_col = 2 * screen::max_size;

void check_cell(const screen& shown, screen_position at) {
  if (at.row < 0 || at.row >= shown.rows() || at.col < 0 || at.col >= shown.cols()) {
    throw std::out_of_range("screen cell " + std::to_string(at.row) + "," + std::to_string(at.col) +
                            " does not exist");
  }
}

VTermModifier to_vterm_modifiers(key_modifiers m) {
  return static_cast<VTermModifier>(m);
}

int to_vterm_button(mouse_button b) {
  return 1 + static_cast<int>(b);
}

bool application_keypad(const screen& shown) {
  vterm_keyboard_key(screen_access::terminal(shown), VTERM_KEY_KP_0, VTERM_MOD_NONE);
  return screen_access::take_sent(shown) != "0";
}

bool bracketed_paste(const screen& shown) {
  vterm_keyboard_start_paste(screen_access::terminal(shown));
  return !screen_access::take_sent(shown).empty();
}

// Told from the report of a wheel turn (which holds no button down) off the screen's right edge;
// only while mouse tracking is on. Every report moves libvterm's mouse to its own cell first, so
// the probe leaving it there changes nothing a program sees.
mouse_encoding mouse_encoding_in_use(const screen& shown) {
  VTerm* vt = screen_access::terminal(shown);
  vterm_mouse_move(vt, 0, encoding_probe_col, VTERM_MOD_NONE);
  screen_access::take_sent(shown);  // the move's own report, with any-motion tracking
  vterm_mouse_button(vt, 4, true, VTERM_MOD_NONE);
  const std::string report = screen_access::take_sent(shown);
  if (report.starts_with("\x1b[<")) return mouse_encoding::sgr;
  if (!report.starts_with("\x1b[M")) return mouse_encoding::urxvt;
  // ESC [ M, the button, the column (one byte in X10, two in UTF-8), the row.
  return report.size() == 6 ? mouse_encoding::x10 : mouse_encoding::utf8;
}

bool mouse_off(const screen& shown) {
  return screen_access::reported(shown).mouse == mouse_tracking::none;
}

// Line ends as a terminal sends a pasted line end: one carriage return. Inside brackets, an end
// marker that the text holds (or that removing one forms) is dropped.
std::string paste_body(std::string_view text, bool bracketed) {
  std::string body;
  body.reserve(text.size());
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') continue;
    body += text[at] == '\n' ? '\r' : text[at];
    if (bracketed && body.ends_with(paste_end)) body.resize(body.size() - paste_end.size());
  }
  return body;
}

}  // namespace

std::vector<std::string> terminal_modes::left_on() const {
  std::vector<std::string> on;
  if (alternate_screen) on.emplace_back("alternate screen");
  if (!cursor_visible) on.emplace_back("hidden cursor");
  if (application_cursor_keys) on.emplace_back("application cursor keys");
  if (application_keypad) on.emplace_back("application keypad");
  if (bracketed_paste) on.emplace_back("bracketed paste");
  if (mouse != mouse_tracking::none) on.emplace_back("mouse reporting");
  return on;
}

terminal_modes screen::modes() const {
  terminal_modes modes = screen_access::reported(*this);
  modes.application_cursor_keys = application_cursor_keys();
  modes.application_keypad = application_keypad(*this);
  modes.bracketed_paste = bracketed_paste(*this);
  if (modes.mouse != mouse_tracking::none) modes.encoding = mouse_encoding_in_use(*this);
  return modes;
}

std::string screen::click(screen_position at, mouse_button button, key_modifiers modifiers) {
  check_cell(*this, at);
  if (mouse_off(*this)) return {};
  VTerm* vt = screen_access::terminal(*this);
  const VTermModifier mod = to_vterm_modifiers(modifiers);
  vterm_mouse_move(vt, at.row, at.col, mod);
  vterm_mouse_button(vt, to_vterm_button(button), true, mod);
  vterm_mouse_button(vt, to_vterm_button(button), false, mod);
  return screen_access::take_sent(*this);
}

std::string screen::drag(screen_position from, screen_position to, mouse_button button,
                         key_modifiers modifiers) {
  check_cell(*this, from);
  check_cell(*this, to);
  if (mouse_off(*this)) return {};
  VTerm* vt = screen_access::terminal(*this);
  const VTermModifier mod = to_vterm_modifiers(modifiers);
  vterm_mouse_move(vt, from.row, from.col, mod);
  vterm_mouse_button(vt, to_vterm_button(button), true, mod);
  vterm_mouse_move(vt, to.row, to.col, mod);
  vterm_mouse_button(vt, to_vterm_button(button), false, mod);
  return screen_access::take_sent(*this);
}

std::string screen::wheel(screen_position at, wheel_direction direction, int notches,
                          key_modifiers modifiers) {
  check_cell(*this, at);
  if (notches < 1)
    throw std::invalid_argument("a wheel turn needs at least 1 notch, got " + std::to_string(notches));
  if (mouse_off(*this)) return {};
  VTerm* vt = screen_access::terminal(*this);
  const VTermModifier mod = to_vterm_modifiers(modifiers);
  vterm_mouse_move(vt, at.row, at.col, mod);
  // libvterm numbers the wheel's two directions as buttons 4 (up) and 5 (down).
  const int wheel_button = direction == wheel_direction::up ? 4 : 5;
  for (int i = 0; i < notches; ++i) vterm_mouse_button(vt, wheel_button, true, mod);
  return screen_access::take_sent(*this);
}

std::string screen::paste(std::string_view text) {
  VTerm* vt = screen_access::terminal(*this);
  vterm_keyboard_start_paste(vt);
  std::string bytes = screen_access::take_sent(*this);
  bytes += paste_body(text, !bytes.empty());
  vterm_keyboard_end_paste(vt);
  return bytes + screen_access::take_sent(*this);
}

}  // namespace pexpect_custom
