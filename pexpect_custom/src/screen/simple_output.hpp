#pragma once
// Output a screen may hold back instead of emulating it at once: text, the controls that move
// the cursor within the screen (or ring), and the sequences that change only the pen (SGR) or
// erase within the cursor's row (EL). None of them changes the terminal's modes, margins, tab
// stops or title, or anything on a row other than the cursor's, so text of this kind that has
// scrolled off the screen can be dropped if the pen it left behind is kept.

#include <cstddef>
#include <string>
#include <string_view>

namespace pexpect_custom::detail {

// Whether all of `bytes` is output of that kind, in whole characters and sequences.
bool is_simple_output(std::string_view bytes);

// Number of bytes at the end of `bytes` that begin a pen or erase sequence still missing its
// final byte (0 when there is none), so that it can wait for the rest.
std::size_t incomplete_sequence_tail(std::string_view bytes);

// The pen sequences of simple output `dropped` that still count at its end: the last one that
// resets the pen and every one after it, in order.
std::string pen_left_by(std::string_view dropped);

}  // namespace pexpect_custom::detail
