#include "pexpect_custom/snapshot.hpp"

#include <algorithm>
#include <vector>

#include "pexpect_custom/screen.hpp"

namespace pexpect_custom {

namespace {

std::vector<std::string_view> significant_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (true) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    line = line.substr(0, line.find_last_not_of(" \t\r") + 1);
    lines.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string numbered(char mark, std::size_t row, std::string_view line) {
  const std::string number = std::to_string(row);
  std::string text(1, mark);
  text.append(number.size() < 4 ? 4 - number.size() : 0, ' ');
  text.append(number).append(" |").append(line).append("\n");
  return text;
}

}  // namespace

std::optional<std::string> text_snapshot_diff(std::string_view expected, std::string_view actual) {
  const auto want = significant_lines(expected);
  const auto got = significant_lines(actual);
  const std::size_t count = std::max(want.size(), got.size());
  std::string rows;
  std::size_t differing = 0;
  for (std::size_t row = 0; row < count; ++row) {
    const std::string_view wanted = row < want.size() ? want[row] : std::string_view();
    const std::string_view seen = row < got.size() ? got[row] : std::string_view();
    if (wanted == seen) {
      rows += numbered(' ', row, seen);
    } else {
      ++differing;
      rows += numbered('-', row, wanted);
      rows += numbered('+', row, seen);
    }
  }
  if (differing == 0) return std::nullopt;
  return "screen differs from the snapshot in " + std::to_string(differing) +
         (differing == 1 ? " row" : " rows") + " (- expected, + actual):\n" + rows;
}

std::optional<std::string> screen_snapshot_diff(std::string_view expected, const screen& actual) {
  return text_snapshot_diff(expected, actual.text());
}

}  // namespace pexpect_custom
