// Taking terminal control sequences out of output, one byte at a time where a sequence is open
// and a whole run at a time where none is.
#include "expect/plain_text.hpp"

#include <cstring>

namespace pexpect_custom::detail {

namespace {

enum state : std::uint8_t {
  ground,
  escape,               // after ESC
  escape_intermediate,  // ESC and intermediate bytes (a charset selection such as ESC ( B)
  csi,                  // ESC [ and parameter or intermediate bytes
  osc,                  // ESC ] ...: ends with BEL or ST (ESC \)
  osc_escape,           // an ESC inside an OSC
  other_string,         // ESC P, ESC X, ESC ^, ESC _ ...: ends with ST
  other_string_escape,  // an ESC inside one of those
};

constexpr char esc = '\x1b';
constexpr char bel = '\x07';
constexpr char cancel = '\x18';  // CAN and SUB abandon any sequence
constexpr char substitute = '\x1a';

bool is_c0_control(unsigned char byte) {
  return byte < 0x20;
}

// A byte of output while no string is open: what it does to the position, and whether it is
// text. Controls inside an escape or CSI sequence act as they would outside it (a terminal
// carries them out there and then), so they are text; DEL inside a sequence is ignored.
bool sequence_byte(sequence_position& at, unsigned char byte) {
  if (byte == esc) {
    at = {escape, 1};
    return false;
  }
  if (byte == cancel || byte == substitute) {
    at = {};
    return false;
  }
  if (is_c0_control(byte)) return true;
  if (byte == 0x7f) return false;
  // Bytes of 0x80 and up belong to UTF-8 text: they end a broken sequence and are kept.
  if (byte >= 0x80) {
    at = {};
    return true;
  }
  ++at.length;
  switch (at.state) {
    case escape:
      if (byte == '[') {
        at.state = csi;
      } else if (byte == ']') {
        at.state = osc;
      } else if (byte == 'P' || byte == 'X' || byte == '^' || byte == '_') {
        at.state = other_string;
      } else if (byte < 0x30) {
        at.state = escape_intermediate;
      } else {
        at = {};  // a two-byte sequence such as ESC 7 or ESC =
      }
      return false;
    case escape_intermediate:
      if (byte >= 0x30) at = {};
      break;
    default:  // csi: parameters and intermediates are 0x20 ... 0x3f, the final byte follows
      if (byte >= 0x40) at = {};
      break;
  }
  if (at.length > longest_control_sequence) at = {};
  return false;
}

// A byte inside an OSC or another string. An ESC not followed by a backslash ends the string
// and begins a new sequence, as a terminal takes it; true when the byte is text after all.
bool string_byte(sequence_position& at, unsigned char byte) {
  const bool in_osc = at.state == osc || at.state == osc_escape;
  if (at.state == osc_escape || at.state == other_string_escape) {
    if (byte == '\\') {
      at = {};
      return false;
    }
    at = {escape, 1};
    return sequence_byte(at, byte);
  }
  if (byte == esc) {
    at.state = in_osc ? osc_escape : other_string_escape;
  } else if ((in_osc && byte == bel) || byte == cancel || byte == substitute) {
    at = {};
    return false;
  }
  if (++at.length > longest_control_string) at = {};
  return false;
}

bool in_string(const sequence_position& at) {
  return at.state >= osc;
}

}  // namespace

void append_text(std::string& text, std::string_view chunk, sequence_position& position) {
  const char* at = chunk.data();
  const char* const end = at + chunk.size();
  while (at < end) {
    if (position.state == ground) {
      // A run of text up to the next ESC goes in whole.
      const auto* found = static_cast<const char*>(std::memchr(at, esc, static_cast<std::size_t>(end - at)));
      const char* stop = found ? found : end;
      text.append(at, stop);
      if (!found) return;
      position = {escape, 1};
      at = found + 1;
      continue;
    }
    const auto byte = static_cast<unsigned char>(*at++);
    const bool is_text = in_string(position) ? string_byte(position, byte) : sequence_byte(position, byte);
    if (is_text) text.push_back(static_cast<char>(byte));
  }
}

}  // namespace pexpect_custom::detail
