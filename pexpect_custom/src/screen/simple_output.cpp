// Telling output a screen may hold back from output it must emulate at once.
#include "screen/simple_output.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "screen/utf8_tail.hpp"

namespace pexpect_custom::detail {

namespace {

constexpr char esc = '\x1b';
// Longest pen or erase sequence taken as simple; a longer one goes to the emulator.
constexpr std::size_t longest_sequence = 64;

bool is_parameter(char c) {
  return (c >= '0' && c <= '9') || c == ';' || c == ':';
}

// Length of the SGR (ESC [ ... m) or EL (ESC [ n K) sequence at the start of `bytes`; 0 when
// there is none there (or only the start of one).
std::size_t sequence_length(std::string_view bytes) {
  if (bytes.size() < 3 || bytes[0] != esc || bytes[1] != '[') return 0;
  const std::size_t limit = std::min(bytes.size(), longest_sequence);
  std::size_t at = 2;
  bool digits_only = true;
  while (at < limit && is_parameter(bytes[at])) {
    digits_only = digits_only && bytes[at] >= '0' && bytes[at] <= '9';
    ++at;
  }
  if (at == limit) return 0;
  if (bytes[at] == 'm' || (bytes[at] == 'K' && digits_only)) return at + 1;
  return 0;
}

// A UTF-8 character whole at the start of `bytes`, other than the C1 controls U+0080 ... U+009F.
std::size_t character_length(std::string_view bytes) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  const std::size_t length = utf8_sequence_length(lead);
  if (length == 0 || length > bytes.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80) return 0;
  }
  if (lead == 0xC2 && static_cast<unsigned char>(bytes[1]) < 0xA0) return 0;
  return length;
}

bool is_simple_control(char c) {
  return c == '\r' || c == '\n' || c == '\t' || c == '\b' || c == '\a';
}

// Whether an SGR sequence begins by resetting the pen (its first parameter is 0 or empty), so
// that no earlier one counts after it.
bool resets_pen(std::string_view sgr) {
  std::size_t at = 2;
  while (sgr[at] == '0') ++at;
  return sgr[at] == ';' || sgr[at] == 'm';
}

}  // namespace

bool is_simple_output(std::string_view bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const char c = bytes[at];
    if ((c >= 0x20 && c <= 0x7e) || is_simple_control(c)) {
      ++at;
      continue;
    }
    const std::size_t length =
        c == esc ? sequence_length(bytes.substr(at)) : character_length(bytes.substr(at));
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::size_t incomplete_sequence_tail(std::string_view bytes) {
  const std::size_t from = bytes.size() > longest_sequence ? bytes.size() - longest_sequence : 0;
  const std::size_t start = bytes.find_last_of(esc);
  if (start == std::string_view::npos || start < from) return 0;
  const std::string_view tail = bytes.substr(start);
  if (tail.size() >= 2 && tail[1] != '[') return 0;
  for (std::size_t i = 2; i < tail.size(); ++i) {
    if (!is_parameter(tail[i])) return 0;
  }
  return tail.size();
}

std::string pen_left_by(std::string_view dropped) {
  std::vector<std::string_view> counted;
  for (std::size_t end = dropped.size(); end > 0;) {
    const auto* found = static_cast<const char*>(memrchr(dropped.data(), esc, end));
    if (found == nullptr) break;
    const auto at = static_cast<std::size_t>(found - dropped.data());
    const std::string_view sequence = dropped.substr(at, sequence_length(dropped.substr(at)));
    end = at;
    if (sequence.empty() || sequence.back() != 'm') continue;
    counted.push_back(sequence);
    if (resets_pen(sequence)) break;
  }
  std::string pen;
  for (auto it = counted.rbegin(); it != counted.rend(); ++it) pen += *it;
  return pen;
}

}  // namespace pexpect_custom::detail
