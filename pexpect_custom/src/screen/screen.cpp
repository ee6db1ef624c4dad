// The screen is libvterm's: this file only feeds it and reads it back in the library's types.
#include "pexpect_custom/screen.hpp"

#include <vterm.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "screen/csi_guard.hpp"
#include "screen/repaint.hpp"
#include "screen/screen_access.hpp"
#include "screen/simple_output.hpp"
#include "screen/utf8_tail.hpp"

namespace pexpect_custom {

namespace {

// Most bytes of answers kept for take_replies.
constexpr std::size_t max_replies = std::size_t{64} * 1024;
// From this many bytes of plain text held back on, what has scrolled off is dropped.
constexpr std::size_t unfed_limit = std::size_t{64} * 1024;
// Plain text in which nothing can be dropped (line feeds without carriage returns) is held
// back up to this many bytes, and then emulated.
constexpr std::size_t unfed_most = 4 * unfed_limit;
// libvterm is given at most this many bytes at a time: it crashes on a write of some MiB.
constexpr std::size_t largest_write = std::size_t{64} * 1024;

void check_size(int rows, int cols) {
  if (rows < 1 || cols < screen::min_cols || rows > screen::max_size || cols > screen::max_size) {
    throw std::out_of_range("screen size " + std::to_string(rows) + "x" + std::to_string(cols) +
                            " is outside 1x" + std::to_string(screen::min_cols) + " ... " +
                            std::to_string(screen::max_size) + "x" + std::to_string(screen::max_size));
  }
}

colour to_colour(const VTermColor& c, bool is_default) {
  if (is_default) return {};
  if (VTERM_COLOR_IS_INDEXED(&c)) return colour::indexed(c.indexed.idx);
  return colour::rgb(c.rgb.red, c.rgb.green, c.rgb.blue);
}

VTermKey to_vterm_key(key k) {
  switch (k) {
    case key::enter:
      return VTERM_KEY_ENTER;
    case key::tab:
      return VTERM_KEY_TAB;
    case key::backspace:
      return VTERM_KEY_BACKSPACE;
    case key::escape:
      return VTERM_KEY_ESCAPE;
    case key::up:
      return VTERM_KEY_UP;
    case key::down:
      return VTERM_KEY_DOWN;
    case key::left:
      return VTERM_KEY_LEFT;
    case key::right:
      return VTERM_KEY_RIGHT;
    case key::insert:
      return VTERM_KEY_INS;
    case key::delete_key:
      return VTERM_KEY_DEL;
    case key::home:
      return VTERM_KEY_HOME;
    case key::end:
      return VTERM_KEY_END;
    case key::page_up:
      return VTERM_KEY_PAGEUP;
    case key::page_down:
      return VTERM_KEY_PAGEDOWN;
    default:
      break;
  }
  // f1 ... f12 follow each other in both enumerations.
  return static_cast<VTermKey>(VTERM_KEY_FUNCTION(1 + static_cast<int>(k) - static_cast<int>(key::f1)));
}

VTermModifier to_vterm_modifiers(key_modifiers m) {
  return static_cast<VTermModifier>(m);
}

bool has(key_modifiers set, key_modifiers m) {
  return (static_cast<std::uint8_t>(set) & static_cast<std::uint8_t>(m)) != 0;
}

// Where the part of simple output that can still show on a screen of `rows` rows begins: after
// a CR LF followed by at least 2 * rows further line feeds. From any cursor row, that many line
// feeds scroll everything written before them off a screen whose margins are its edges, and the
// CR LF puts the cursor in the first column, so feeding the pen left by what comes before, a CR
// and then the rest leaves the same screen as feeding everything (the rows scrolled in take the
// pen's background either way). 0 when there is no such point.
std::size_t visible_start(std::string_view text, int rows) {
  const std::size_t needed = 2 * static_cast<std::size_t>(rows);
  std::size_t line_feeds = 0;
  for (std::size_t at = text.size(); at-- > 1;) {
    if (text[at] != '\n') continue;
    if (line_feeds >= needed && text[at - 1] == '\r') return at + 1;
    ++line_feeds;
  }
  return 0;
}

bool is_ascii_letter(char32_t c) {
  return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
}

}  // namespace

struct screen::state {
  VTerm* vt = nullptr;
  VTermScreen* vts = nullptr;
  // The modes libvterm reports through on_termprop.
  terminal_modes reported;
  std::string output;       // what the terminal sent since it was last taken
  std::string replies;      // answers to queries in fed output, not yet taken
  std::string held;         // the start of a character cut off at the end of the last feed
  detail::csi_guard guard;  // keeps sequences with too many parameters from libvterm
  // Nothing but simple output (see simple_output.hpp) has been fed since the start, and the
  // size has never changed: the terminal's modes, margins and tab stops are still those of a
  // fresh terminal.
  bool plain_so_far = true;
  // Simple output not yet given to the emulator: only its last lines can remain on the screen,
  // so it waits until the screen is read, losing what scrolls off meanwhile but the pen (a build
  // log of megabytes, coloured or not, costs a copy, not an emulation).
  std::string unfed;
  bool unfed_after_cut = false;  // unfed begins after a CR LF whose earlier text was dropped
  // Once other output has come: the repaint the output ends with, not yet given to the emulator
  // (see repaint.hpp). What a later part of it rewrites is dropped; the rest waits until the
  // screen is read.
  detail::repaint_tracker repaints;
  std::string repaint;

  state(int rows, int cols) {
    vt = vterm_new(rows, cols);
    if (vt == nullptr) throw std::bad_alloc();
    vterm_set_utf8(vt, 1);
    vterm_output_set_callback(vt, &state::on_output, this);
    vts = vterm_obtain_screen(vt);
    static const VTermScreenCallbacks callbacks = {
        .damage = nullptr,
        .moverect = nullptr,
        .movecursor = nullptr,
        .settermprop = &state::on_termprop,
        .bell = nullptr,
        .resize = nullptr,
        .sb_pushline = nullptr,
        .sb_popline = nullptr,
    };
    vterm_screen_set_callbacks(vts, &callbacks, this);
    vterm_screen_enable_altscreen(vts, 1);
    vterm_screen_reset(vts, 1);
    // libvterm's REP (CSI b) repeats the last character written and, before the first one,
    // loops for ever: a blank written and erased again gives it one.
    static constexpr std::string_view prime = " \x1b[H\x1b[K";
    vterm_input_write(vt, prime.data(), prime.size());
  }
  ~state() { vterm_free(vt); }
  state(const state&) = delete;
  state& operator=(const state&) = delete;

  static void on_output(const char* bytes, size_t len, void* user) {
    static_cast<state*>(user)->output.append(bytes, len);
  }

  static int on_termprop(VTermProp prop, VTermValue* value, void* user) {
    auto* self = static_cast<state*>(user);
    terminal_modes& modes = self->reported;
    switch (prop) {
      case VTERM_PROP_ALTSCREEN:
        modes.alternate_screen = value->boolean != 0;
        break;
      case VTERM_PROP_CURSORVISIBLE:
        modes.cursor_visible = value->boolean != 0;
        break;
      case VTERM_PROP_MOUSE:
        modes.mouse = value->number == VTERM_PROP_MOUSE_CLICK  ? mouse_tracking::clicks
                      : value->number == VTERM_PROP_MOUSE_DRAG ? mouse_tracking::drag
                      : value->number == VTERM_PROP_MOUSE_MOVE ? mouse_tracking::any_motion
                                                               : mouse_tracking::none;
        break;
      case VTERM_PROP_TITLE:
        modes.title = value->string != nullptr ? value->string : "";
        break;
      default:
        break;
    }
    return 1;
  }

  std::string take_output() { return std::exchange(output, {}); }

  void hold_plain(std::string_view text) {
    unfed.append(text);
    if (unfed.size() >= unfed_limit) drop_scrolled_off();
    if (unfed.size() >= unfed_most) settle_plain();
  }

  void drop_scrolled_off() {
    int rows = 0;
    int cols = 0;
    vterm_get_size(vt, &rows, &cols);
    const std::size_t start = visible_start(unfed, rows);
    if (start == 0) return;
    // Nothing else reaches the emulator before the rest of unfed, so the pen can go now.
    const std::string pen = detail::pen_left_by(std::string_view(unfed).substr(0, start));
    write(pen);
    unfed.erase(0, start);
    unfed_after_cut = true;
  }

  // Gives the emulator `bytes` in pieces it can take, never cutting a UTF-8 character.
  void write(std::string_view bytes) {
    bytes = guard.filter(bytes);
    while (bytes.size() > largest_write) {
      std::size_t cut = largest_write;
      while (cut > largest_write - 4 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
      vterm_input_write(vt, bytes.data(), cut);
      bytes.remove_prefix(cut);
    }
    vterm_input_write(vt, bytes.data(), bytes.size());
  }

  // Gives the emulator output that is not held back as plain text, holding back the repaint at
  // its end.
  void emulate(std::string_view bytes) {
    const detail::repaint_tracker::split at = repaints.scan(bytes);
    if (at.continues) {
      repaint.append(bytes);
      // Past the limit, what has been rewritten since is dropped and the rest emulated, so that
      // at most that much waits.
      if (repaint.size() >= unfed_limit) emulate_held_repaint();
      return;
    }
    std::size_t from = 0;
    if (at.ended_at < 0) {
      // The repaint ended in the sequence cut off at the end of what was held.
      const auto length = static_cast<long>(repaint.size()) + at.ended_at;
      emulate_repaint(static_cast<std::size_t>(std::max(0L, length)));
      write(repaint);
      repaint.clear();
    } else {
      from = static_cast<std::size_t>(at.ended_at);
      repaint.append(bytes.substr(0, from));
      emulate_repaint(repaint.size());
    }
    write(bytes.substr(from, at.open_from - from));
    repaint.assign(bytes.substr(at.open_from));
  }

  // Gives the emulator the first `length` bytes of the held repaint, without what a later part
  // of them rewrites but for the pen it leaves.
  void emulate_repaint(std::size_t length) {
    if (length == 0) return;
    const std::string_view held = std::string_view(repaint).substr(0, length);
    int rows = 0;
    int cols = 0;
    vterm_get_size(vt, &rows, &cols);
    const std::size_t dropped = detail::repaint_tracker::droppable(held, rows, cols);
    if (dropped > 0) write(detail::pen_left_by(held.substr(0, dropped)));
    write(held.substr(dropped));
    repaint.erase(0, length);
  }

  void emulate_held_repaint() {
    emulate_repaint(repaint.size());
    repaints.let_go();
  }

  // Gives the emulator the output it has not seen: the repaint held back, or the plain text.
  void settle() {
    if (!repaint.empty()) emulate_held_repaint();
    settle_plain();
  }

  // Gives the emulator the plain text it has not seen; a dropped start is replaced by the
  // carriage return that ended it.
  void settle_plain() {
    if (unfed.empty()) return;
    drop_scrolled_off();
    if (unfed_after_cut) write("\r");
    write(unfed);
    unfed.clear();
    unfed_after_cut = false;
  }

  std::string text_of(int row, int start_col, int end_col) const {
    const VTermRect rect{.start_row = row, .end_row = row + 1, .start_col = start_col, .end_col = end_col};
    // At most VTERM_MAX_CHARS_PER_CELL code points of at most 4 bytes in each cell.
    std::string text(static_cast<std::size_t>(end_col - start_col) * VTERM_MAX_CHARS_PER_CELL * 4, '\0');
    text.resize(vterm_screen_get_text(vts, text.data(), text.size(), rect));
    return text;
  }
};

screen::screen(int rows, int cols) {
  check_size(rows, cols);
  state_ = std::make_unique<state>(rows, cols);
}

screen::~screen() = default;
screen::screen(screen&&) noexcept = default;
screen& screen::operator=(screen&&) noexcept = default;

void screen::feed(std::string_view bytes) {
  // libvterm loses a character whose bytes are split between two writes when text precedes the
  // split, so the cut-off start waits for the rest; so does a sequence cut off while output is
  // held back, so that it can be told whether it is simple.
  std::string& held = state_->held;
  std::string_view input = bytes;
  if (!held.empty()) input = held.append(bytes);
  std::size_t tail = detail::incomplete_utf8_tail(input);
  if (tail == 0 && state_->plain_so_far) tail = detail::incomplete_sequence_tail(input);
  const std::size_t complete = input.size() - tail;
  const std::string_view text = input.substr(0, complete);
  if (state_->plain_so_far && detail::is_simple_output(text)) {
    state_->hold_plain(text);
  } else {
    state_->plain_so_far = false;
    state_->settle_plain();
    state_->emulate(text);
  }
  held = std::string(input.substr(complete));
  // Answers nobody takes must not grow without bound on output full of queries.
  std::string answers = state_->take_output();
  if (state_->replies.size() + answers.size() <= max_replies) state_->replies += answers;
}

void screen::resize(int rows, int cols) {
  check_size(rows, cols);
  state_->settle();
  vterm_set_size(state_->vt, rows, cols);
  state_->plain_so_far = false;
}

int screen::rows() const {
  int rows = 0;
  int cols = 0;
  vterm_get_size(state_->vt, &rows, &cols);
  return rows;
}

int screen::cols() const {
  int rows = 0;
  int cols = 0;
  vterm_get_size(state_->vt, &rows, &cols);
  return cols;
}

std::string screen::text() const {
  return text(screen_area{});
}

std::string screen::text(const screen_area& area) const {
  if (area.top < 0 || area.top >= rows() || area.left < 0 || area.left >= cols() || area.rows < 1 ||
      area.cols < 1) {
    throw std::out_of_range("screen area at " + std::to_string(area.top) + "," + std::to_string(area.left) +
                            " of " + std::to_string(area.rows) + "x" + std::to_string(area.cols) +
                            " does not lie on the screen");
  }
  state_->settle();
  const int bottom = area.top + std::min(area.rows, rows() - area.top);
  const int right = area.left + std::min(area.cols, cols() - area.left);
  std::string text;
  std::size_t kept = 0;  // length of text up to the last row that is not empty
  for (int r = area.top; r < bottom; ++r) {
    if (r > area.top) text += '\n';
    std::string line = state_->text_of(r, area.left, right);
    line.erase(line.find_last_not_of(' ') + 1);
    text += line;
    if (!line.empty()) kept = text.size();
  }
  text.resize(kept);
  return text;
}

std::string screen::row(int n) const {
  if (n < 0 || n >= rows()) throw std::out_of_range("screen row " + std::to_string(n) + " does not exist");
  state_->settle();
  std::string text = state_->text_of(n, 0, cols());
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

screen_cell screen::cell(int row, int col) const {
  if (row < 0 || row >= rows() || col < 0 || col >= cols()) {
    throw std::out_of_range("screen cell " + std::to_string(row) + "," + std::to_string(col) +
                            " does not exist");
  }
  state_->settle();
  VTermScreenCell raw{};
  vterm_screen_get_cell(state_->vts, VTermPos{.row = row, .col = col}, &raw);
  screen_cell cell;
  cell.text = state_->text_of(row, col, col + 1);
  cell.width = raw.chars[0] == static_cast<uint32_t>(-1) ? 0 : raw.width;
  cell.bold = raw.attrs.bold != 0;
  cell.underline = raw.attrs.underline != VTERM_UNDERLINE_OFF;
  cell.italic = raw.attrs.italic != 0;
  cell.reverse = raw.attrs.reverse != 0;
  cell.foreground = to_colour(raw.fg, VTERM_COLOR_IS_DEFAULT_FG(&raw.fg));
  cell.background = to_colour(raw.bg, VTERM_COLOR_IS_DEFAULT_BG(&raw.bg));
  return cell;
}

screen_position screen::cursor() const {
  state_->settle();
  VTermPos pos{};
  vterm_state_get_cursorpos(vterm_obtain_state(state_->vt), &pos);
  return {pos.row, pos.col};
}

bool screen::alternate_screen() const {
  return state_->reported.alternate_screen;
}

bool screen::application_cursor_keys() const {
  // libvterm keeps the mode to itself and applies it when it encodes a cursor key.
  vterm_keyboard_key(state_->vt, VTERM_KEY_UP, VTERM_MOD_NONE);
  return state_->take_output() == "\x1bOA";
}

std::string screen::title() const {
  return state_->reported.title;
}

std::string screen::key(pexpect_custom::key k, key_modifiers modifiers) {
  vterm_keyboard_key(state_->vt, to_vterm_key(k), to_vterm_modifiers(modifiers));
  return state_->take_output();
}

std::string screen::key(char32_t character, key_modifiers modifiers) {
  if (has(modifiers, key_modifiers::ctrl) && is_ascii_letter(character)) {
    // Ctrl makes a letter its control byte whatever its case. libvterm would send Ctrl+I, J and M
    // in an extended form most programs do not read, so their control bytes (those of Tab, line
    // feed and carriage return) are sent, as other terminals do.
    const char32_t lower = character | 0x20;
    if (lower == U'i' || lower == U'j' || lower == U'm') {
      std::string bytes;
      if (has(modifiers, key_modifiers::alt)) bytes += '\x1b';
      bytes += static_cast<char>(lower & 0x1f);
      return bytes;
    }
    character = lower;
  }
  vterm_keyboard_unichar(state_->vt, character, to_vterm_modifiers(modifiers));
  return state_->take_output();
}

std::string screen::take_replies() {
  return std::exchange(state_->replies, {});
}

VTerm* detail::screen_access::terminal(const screen& shown) {
  return shown.state_->vt;
}

std::string detail::screen_access::take_sent(const screen& shown) {
  return shown.state_->take_output();
}

const terminal_modes& detail::screen_access::reported(const screen& shown) {
  return shown.state_->reported;
}

// FNV-1a over the bytes of every cell and of the cursor position.
std::uint64_t detail::screen_access::fingerprint(const screen& shown) {
  screen::state& s = *shown.state_;
  s.settle();
  int rows = 0;
  int cols = 0;
  vterm_get_size(s.vt, &rows, &cols);
  std::uint64_t hash = 14695981039346656037ULL;
  auto add = [&hash](const auto& value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    for (std::size_t i = 0; i < sizeof value; ++i) hash = (hash ^ bytes[i]) * 1099511628211ULL;
  };
  VTermScreenCell cell;
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < cols; ++col) {
      // Zeroed first, so that bytes libvterm leaves alone compare equal.
      std::memset(&cell, 0, sizeof cell);
      vterm_screen_get_cell(s.vts, VTermPos{.row = row, .col = col}, &cell);
      add(cell);
    }
  }
  VTermPos cursor{};
  vterm_state_get_cursorpos(vterm_obtain_state(s.vt), &cursor);
  add(cursor);
  return hash;
}

std::string key_sequence(key k, key_modifiers modifiers, bool application_cursor) {
  screen keyboard(1, screen::min_cols);
  if (application_cursor) keyboard.feed("\x1b[?1h");
  return keyboard.key(k, modifiers);
}

std::string key_sequence(char32_t character, key_modifiers modifiers) {
  return screen(1, screen::min_cols).key(character, modifiers);
}

}  // namespace pexpect_custom
