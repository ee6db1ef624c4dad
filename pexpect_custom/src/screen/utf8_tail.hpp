#pragma once
// Finding a UTF-8 character cut off at the end of a chunk of bytes, so that it can be held back
// until the rest of it arrives with the next chunk.

#include <cstddef>
#include <string_view>

namespace pexpect_custom::detail {

// Length of the UTF-8 sequence a lead byte starts, or 0 for a byte that starts none.
inline std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Number of bytes at the end of `bytes` that begin a UTF-8 sequence still missing its rest (0 ... 3).
inline std::size_t incomplete_utf8_tail(std::string_view bytes) {
  for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: the lead is further back
    return utf8_sequence_length(byte) > back ? back : 0;
  }
  return 0;
}

}  // namespace pexpect_custom::detail
