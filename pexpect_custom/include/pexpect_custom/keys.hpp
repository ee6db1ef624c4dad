#pragma once
// Named keys of a terminal keyboard and the bytes a terminal sends for them.

#include <cstdint>
#include <string>

namespace pexpect_custom {

/// Keys that send an escape sequence or a control byte rather than a printable character.
enum class key : std::uint8_t {
  enter,
  tab,
  backspace,
  escape,
  up,
  down,
  left,
  right,
  insert,
  delete_key,
  home,
  end,
  page_up,
  page_down,
  f1,
  f2,
  f3,
  f4,
  f5,
  f6,
  f7,
  f8,
  f9,
  f10,
  f11,
  f12,
};

/// Modifier keys held with a key; combine them with `|`.
enum class key_modifiers : std::uint8_t { none = 0, shift = 1, alt = 2, ctrl = 4 };

constexpr key_modifiers operator|(key_modifiers a, key_modifiers b) {
  return static_cast<key_modifiers>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}

/// The bytes an xterm-compatible terminal sends for `k` with `modifiers` held. The cursor keys
/// (arrows, Home, End) differ when the program has switched the terminal to application cursor
/// mode; a screen that follows the program's output knows that mode (screen::key).
std::string key_sequence(key k, key_modifiers modifiers = key_modifiers::none,
                         bool application_cursor = false);

/// The bytes sent for the character `character` (a Unicode code point) typed with `modifiers`:
/// Ctrl with a letter gives its control byte (Ctrl+A is 0x01, whatever the letter's case), Alt
/// prefixes an escape byte, and a character alone is its UTF-8 encoding. Ctrl with a character
/// that has no control byte (a digit, most punctuation) gives the extended form ESC [ code ; 5 u.
std::string key_sequence(char32_t character, key_modifiers modifiers = key_modifiers::none);

}  // namespace pexpect_custom
