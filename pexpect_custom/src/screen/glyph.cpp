#include "screen/glyph.hpp"

#include "screen/utf8_tail.hpp"

namespace pexpect_custom::detail {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

bool allowed(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

// Decodes the sequence at the start of `bytes` into `c`; its length, or 0 when it is not UTF-8.
std::size_t decode(std::string_view bytes, char32_t& c) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  if (lead < 0x80) {
    c = lead;
    return 1;
  }
  const std::size_t length = utf8_sequence_length(lead);
  if (length == 0 || length > bytes.size()) return 0;
  c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[i]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  const char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  return c >= shortest[length] ? length : 0;
}

}  // namespace

std::string safe_glyph(std::string_view cell_text) {
  std::string safe;
  while (!cell_text.empty()) {
    char32_t c = 0;
    const std::size_t length = decode(cell_text, c);
    if (length == 0 || !allowed(c)) {
      safe += replacement;
      cell_text.remove_prefix(length == 0 ? 1 : length);
    } else {
      safe += cell_text.substr(0, length);
      cell_text.remove_prefix(length);
    }
  }
  return safe;
}

}  // namespace pexpect_custom::detail
