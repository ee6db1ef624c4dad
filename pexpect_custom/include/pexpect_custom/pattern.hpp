#pragma once
// Pattern-list entries and the values the expect fields hold.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pexpect_custom/errors.hpp"
#include "pexpect_custom/regex.hpp"

namespace pexpect_custom {

/// One entry of a pattern list: a byte string, a compiled expression, or a marker.
struct pattern_entry {
  using value_type = std::variant<std::string, Regex, EOF_marker_t, TIMEOUT_marker_t>;

  pattern_entry(const char* text) : value(std::string(text)) {}
  pattern_entry(std::string text) : value(std::move(text)) {}
  pattern_entry(std::string_view text) : value(std::string(text)) {}
  pattern_entry(Regex expression) : value(std::move(expression)) {}
  pattern_entry(EOF_marker_t marker) : value(marker) {}
  pattern_entry(TIMEOUT_marker_t marker) : value(marker) {}

  bool is_eof() const { return std::holds_alternative<EOF_marker_t>(value); }
  bool is_timeout() const { return std::holds_alternative<TIMEOUT_marker_t>(value); }

  value_type value;
};

/// An ordered list of entries; an entry's index is what the expect family returns.
using pattern_list = std::vector<pattern_entry>;

/// What `after` holds: the matched bytes or a marker.
using after_value = std::variant<std::string, EOF_marker_t, TIMEOUT_marker_t>;
/// What `match` holds: a regular-expression match, the matched string, or a marker.
using match_value = std::variant<Match, std::string, EOF_marker_t, TIMEOUT_marker_t>;

}  // namespace pexpect_custom
