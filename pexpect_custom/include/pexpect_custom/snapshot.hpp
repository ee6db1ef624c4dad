#pragma once
// Comparing what a screen shows with a stored snapshot of it, for tests: in memory, or against a
// golden file that the environment variable PEXPECT_UPDATE_SNAPSHOTS=1 writes or updates.

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

/// What a golden snapshot holds besides the text.
struct snapshot_options {
  bool attributes = false;  ///< bold, italic, underline, reverse and the colours of every cell
  bool cursor = false;      ///< where the cursor stands
};

/// A screen in the golden file form: a header line with the size and options, then every row
/// between two "|" so that trailing blanks show; with attributes, a map of the same rows that
/// gives each cell a symbol ("." for plain) and a legend of the symbols; with the cursor, its row
/// and column. Double-width characters take one character of a row and two of the map.
/// std::length_error when the screen shows more than 460 different sets of attributes.
std::string snapshot_text(const screen& shown, snapshot_options options = {});

/// The outcome of check_snapshot; converts to true when the check passed.
struct snapshot_result {
  bool passed = false;
  /// When it failed, why: the rows and cells that differ (- expected, + actual, "^" under the
  /// differing cells) and the pictures written; when the file was written, that it was; else "".
  std::string message;
  explicit operator bool() const { return passed; }
};

/// Compares the screen with the golden file at `path` (snapshot_text's form; a relative path is
/// taken from the current directory). A missing, unreadable or different file fails, and the
/// screen is then drawn beside it as SVG: "x.txt" gets "x.actual.svg" and, when the file could be
/// read, "x.expected.svg"; a check that passes removes such pictures left from a failure. With
/// the environment variable PEXPECT_UPDATE_SNAPSHOTS set to anything but "" or "0", a missing or
/// different file is written instead (with its directories) and the check passes, its message
/// saying so; it fails only when the file cannot be written.
snapshot_result check_snapshot(const screen& shown, const std::string& path, snapshot_options options = {});

}  // namespace pexpect_custom
