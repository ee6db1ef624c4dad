#pragma once
// Comparing what a screen shows with a stored text snapshot of it, for tests.

#include <optional>
#include <string>
#include <string_view>

namespace pexpect_custom {

class screen;

/// Compares the text `actual` with the snapshot `expected`, line by line. Trailing blanks (spaces,
/// tabs, carriage returns) of each line and empty lines at the end do not count, so a snapshot
/// stored in a file with a final newline matches. Returns nullopt when they match, or else a
/// report that lists every line, marking each differing one with "-" (expected) and "+" (actual).
std::optional<std::string> text_snapshot_diff(std::string_view expected, std::string_view actual);

/// text_snapshot_diff of `expected` against the screen's text.
std::optional<std::string> screen_snapshot_diff(std::string_view expected, const screen& actual);

}  // namespace pexpect_custom
