#pragma once
// Keeps control sequences with more parameters than libvterm has room for away from it: it
// writes the parameters of a sequence past its sixteenth beyond the end of its array.

#include <string>
#include <string_view>

namespace pexpect_custom::detail {

/// Passes output on, leaving out the parameters of a control sequence (CSI) after its sixteenth.
/// Keeps its place in a sequence from one call to the next.
class csi_guard {
 public:
  /// `bytes` as it may go to libvterm: a view of `bytes` itself when nothing is left out, else of
  /// a copy that lives until the next call.
  std::string_view filter(std::string_view bytes);

 private:
  enum class where { text, escape, sequence };
  // Whether the byte goes on; moves through the states.
  bool keep(unsigned char byte);

  where at_ = where::text;
  bool after_c2_ = false;  // the first byte of a UTF-8 C1 control was the last one seen
  int separators_ = 0;
  std::string kept_;
};

}  // namespace pexpect_custom::detail
