#pragma once
// The text of terminal output: control sequences taken out as they arrive, whatever way the
// output is cut into reads.

#include <cstddef>
#include <string>
#include <string_view>

#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom::detail {

// The longest control sequence (CSI, or an escape with intermediates) and the longest string
// (OSC, DCS, APC, PM, SOS) the filter takes out. What goes beyond is taken out up to the limit,
// and what follows it is text again, so that output that never ends its sequence is not lost
// for ever.
inline constexpr std::size_t longest_control_sequence = 256;
inline constexpr std::size_t longest_control_string = std::size_t{64} * 1024;

// Appends the text of `chunk` to `text`: the chunk without its control sequences. `position`
// says where the previous chunk left off (in the middle of a sequence, or not) and is updated.
void append_text(std::string& text, std::string_view chunk, sequence_position& position);

}  // namespace pexpect_custom::detail
