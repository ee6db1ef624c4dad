// The pattern searchers: searcher_string (plain text) and searcher_re (compiled expressions).

#include "pexpect_custom/searcher.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

namespace pexpect_custom {

namespace {

/// Fills the marker indices and the (index, entry) list the way both constructors do.
void sort_entries(const pattern_list& entries, long& eof_index, long& timeout_index,
                  std::vector<std::pair<long, pattern_entry>>& pairs) {
  eof_index = -1;
  timeout_index = -1;
  pairs.clear();
  long n = 0;
  for (const pattern_entry& entry : entries) {
    if (entry.is_eof()) {
      eof_index = n;
    } else if (entry.is_timeout()) {
      timeout_index = n;
    } else {
      pairs.emplace_back(n, entry);
    }
    ++n;
  }
}

/// Joins (key, line) pairs sorted by key, "\n" between lines, none at the end.
std::string join_report(std::vector<std::pair<long, std::string>> lines) {
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines[i].second;
  }
  return text;
}

/// The header line, then the marker lines; the callers add the pattern lines.
std::vector<std::pair<long, std::string>> report_lines(const char* header, long eof_index,
                                                       long timeout_index) {
  std::vector<std::pair<long, std::string>> lines;
  lines.emplace_back(-1, header);
  if (eof_index >= 0) lines.emplace_back(eof_index, "    " + std::to_string(eof_index) + ": EOF");
  if (timeout_index >= 0) {
    lines.emplace_back(timeout_index, "    " + std::to_string(timeout_index) + ": TIMEOUT");
  }
  return lines;
}

const char* kind_name(const pattern_entry& entry) {
  return std::visit(
      [](const auto& value) -> const char* {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::string>) return "a string";
        else if constexpr (std::is_same_v<T, Regex>) return "a compiled regular expression";
        else if constexpr (std::is_same_v<T, EOF_marker_t>) return "the EOF marker";
        else return "the TIMEOUT marker";
      },
      entry.value);
}

[[noreturn]] void wrong_kind(const char* searcher, long index, const pattern_entry& entry,
                             const char* wanted) {
  throw std::invalid_argument(std::string(searcher) + ": entry " + std::to_string(index) + " is " +
                              kind_name(entry) + ", not " + wanted);
}

}  // namespace

// ---- searcher_string ------------------------------------------------------------------------

searcher_string::searcher_string(const pattern_list& strings) {
  sort_entries(strings, eof_index, timeout_index, _strings);
}

long searcher_string::search(std::string_view buffer, long freshlen,
                             std::optional<long> searchwindowsize) {
  // Offsets are computed in 128 bits so that no freshlen or window overflows them.
  using wide = __int128;
  const std::size_t absurd_match = buffer.size();
  const wide length = static_cast<wide>(buffer.size());
  std::size_t first_match = absurd_match;
  long best_index = -1;
  const std::string* best_string = nullptr;

  for (const auto& [index, entry] : _strings) {
    const auto* s = std::get_if<std::string>(&entry.value);
    if (s == nullptr) wrong_kind("searcher_string", index, entry, "a string");

    // The offset, read as a start position with slicing rules: negative counts back from the
    // end (clamped at 0), 0 is the whole buffer, positive is the position itself.
    wide offset = searchwindowsize ? -static_cast<wide>(*searchwindowsize)
                                   : -(static_cast<wide>(freshlen) + static_cast<wide>(s->size()));
    wide from = offset < 0 ? std::max<wide>(0, length + offset) : offset;
    if (from > length) continue;  // past the end: not even an empty string occurs there

    std::size_t n = buffer.find(*s, static_cast<std::size_t>(from));
    if (n != std::string_view::npos && n < first_match) {
      first_match = n;
      best_index = index;
      best_string = s;
    }
  }

  if (first_match == absurd_match) return -1;
  match = *best_string;
  start = first_match;
  end = first_match + best_string->size();
  return best_index;
}

std::optional<match_value> searcher_string::match_result() const {
  if (!match) return std::nullopt;
  return match_value(std::in_place_type<std::string>, *match);
}

std::string searcher_string::str() const {
  auto lines = report_lines("searcher_string:", eof_index, timeout_index);
  for (const auto& [index, entry] : _strings) {
    // The plain-text report prints any entry: a string as it is, an expression by its source.
    std::string text = std::visit(
        [](const auto& value) -> std::string {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::string>) return value;
          else if constexpr (std::is_same_v<T, Regex>) return value.pattern();
          else if constexpr (std::is_same_v<T, EOF_marker_t>) return "EOF";
          else return "TIMEOUT";
        },
        entry.value);
    lines.emplace_back(index, "    " + std::to_string(index) + ": \"" + text + "\"");
  }
  return join_report(std::move(lines));
}

// ---- searcher_re ----------------------------------------------------------------------------

searcher_re::searcher_re(const pattern_list& patterns) {
  sort_entries(patterns, eof_index, timeout_index, _searches);
}

long searcher_re::search(std::string_view buffer, long /*freshlen*/,
                         std::optional<long> searchwindowsize) {
  const std::size_t absurd_match = buffer.size();
  std::size_t search_start = 0;
  if (searchwindowsize) {
    const long window = *searchwindowsize;
    // max(0, len - window); a negative window puts the start past the end: nothing to find.
    if (window < 0) return -1;
    const auto w = static_cast<std::size_t>(window);
    search_start = w >= buffer.size() ? 0 : buffer.size() - w;
  }

  std::size_t first_match = absurd_match;
  long best_index = -1;
  const Regex* best = nullptr;
  for (const auto& [index, entry] : _searches) {
    const auto* expression = std::get_if<Regex>(&entry.value);
    if (expression == nullptr) {
      wrong_kind("searcher_re", index, entry, "a compiled regular expression");
    }
    std::size_t match_start = 0;
    std::size_t match_end = 0;
    if (!expression->search_span(buffer, search_start, match_start, match_end)) continue;
    // A match at the very end of the buffer never counts (first_match starts there).
    if (match_start < first_match) {
      first_match = match_start;
      best_index = index;
      best = expression;
    }
  }

  if (first_match == absurd_match) return -1;
  // Search the winner again for its groups: the same subject and start give the same match,
  // and only the winner's match is copied.
  std::optional<Match> result = best->search(buffer, search_start);
  if (!result) throw std::logic_error("searcher_re: the winning expression did not match again");
  match = std::move(result);
  start = first_match;
  end = match->end();
  return best_index;
}

std::optional<match_value> searcher_re::match_result() const {
  if (!match) return std::nullopt;
  return match_value(std::in_place_type<Match>, *match);
}

std::string searcher_re::str() const {
  auto lines = report_lines("searcher_re:", eof_index, timeout_index);
  for (const auto& [index, entry] : _searches) {
    const auto* expression = std::get_if<Regex>(&entry.value);
    if (expression == nullptr) {
      wrong_kind("searcher_re", index, entry, "a compiled regular expression");
    }
    lines.emplace_back(index,
                       "    " + std::to_string(index) + ": re.compile(\"" + expression->pattern() +
                           "\")");
  }
  return join_report(std::move(lines));
}

}  // namespace pexpect_custom
