#include "screen/csi_guard.hpp"

#include <cstring>

namespace pexpect_custom::detail {

namespace {

// At most this many separators, so at most 16 parameters.
constexpr int max_separators = 15;

}  // namespace

bool csi_guard::keep(unsigned char byte) {
  const bool c1_csi = after_c2_ && byte == 0x9B;  // CSI as the UTF-8 form of U+009B
  after_c2_ = byte == 0xC2;
  if (byte == 0x1B) {
    at_ = where::escape;
    return true;
  }
  if (c1_csi || (at_ == where::escape && byte == '[')) {
    at_ = where::sequence;
    separators_ = 0;
    return true;
  }
  if (at_ == where::escape) {
    // Intermediate bytes and controls do not end an escape: libvterm still starts a sequence at
    // a "[" after them.
    if (byte >= 0x30) at_ = where::text;
    return true;
  }
  if (at_ != where::sequence || byte < 0x20) return true;  // controls inside act, as in text
  if (byte >= 0x30 && byte <= 0x3F) {  // parameter bytes: digits, separators, private marks
    if (separators_ >= max_separators) return false;
    if (byte == ';' || byte == ':') ++separators_;
    return true;
  }
  if (byte >= 0x40) at_ = where::text;  // the final byte
  return true;
}

std::string_view csi_guard::filter(std::string_view bytes) {
  // Most output holds no sequence at all.
  if (at_ == where::text && !after_c2_ && std::memchr(bytes.data(), 0x1B, bytes.size()) == nullptr &&
      std::memchr(bytes.data(), 0xC2, bytes.size()) == nullptr) {
    return bytes;
  }
  kept_.clear();
  bool dropped = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (keep(static_cast<unsigned char>(bytes[i]))) {
      if (dropped) kept_ += bytes[i];
    } else if (!dropped) {
      dropped = true;
      kept_.assign(bytes.substr(0, i));
    }
  }
  return dropped ? std::string_view(kept_) : bytes;
}

}  // namespace pexpect_custom::detail
