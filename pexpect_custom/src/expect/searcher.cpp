// The pattern searchers: searcher_string (plain text) and searcher_re (compiled expressions).

#include "pexpect_custom/searcher.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

#include "expect/regex_access.hpp"
#include "expect/rescanning_search.hpp"

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
        if constexpr (std::is_same_v<T, std::string>)
          return "a string";
        else if constexpr (std::is_same_v<T, Regex>)
          return "a compiled regular expression";
        else if constexpr (std::is_same_v<T, EOF_marker_t>)
          return "the EOF marker";
        else
          return "the TIMEOUT marker";
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

long searcher_string::search(std::string_view buffer, long freshlen, std::optional<long> searchwindowsize) {
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
          if constexpr (std::is_same_v<T, std::string>)
            return value;
          else if constexpr (std::is_same_v<T, Regex>)
            return value.pattern();
          else if constexpr (std::is_same_v<T, EOF_marker_t>)
            return "EOF";
          else
            return "TIMEOUT";
        },
        entry.value);
    lines.emplace_back(index, "    " + std::to_string(index) + ": \"" + text + "\"");
  }
  return join_report(std::move(lines));
}

// ---- searcher_re ----------------------------------------------------------------------------
//
// Each expression is searched from the window start, and the earliest match that begins before
// the end of the buffer wins (the lower list position on ties). A continued search starts each
// expression at the offset the previous search left it at instead: up to there, that search
// showed that no match can begin, however many bytes follow. That offset moves only when an
// expression has no match that counts. It then goes to the start of the first match attempt
// that ran into the end of the buffer (a hard partial match), or to the end of the buffer when
// no attempt did: an attempt that never looked past the end gives the same answer whatever
// follows. Look-behind and ^ still see the whole buffer.

namespace {

using search_pairs = std::vector<std::pair<long, pattern_entry>>;
using detail::regex_access;

const Regex& expression_of(const std::pair<long, pattern_entry>& pair) {
  const auto* expression = std::get_if<Regex>(&pair.second.value);
  if (expression == nullptr) {
    wrong_kind("searcher_re", pair.first, pair.second, "a compiled regular expression");
  }
  return *expression;
}

const void* identity_of(const std::pair<long, pattern_entry>& pair) {
  const auto* expression = std::get_if<Regex>(&pair.second.value);
  return expression == nullptr ? nullptr : regex_access::identity(*expression);
}

// max(0, length - window); nullopt for a negative window, which puts the start past the end.
std::optional<std::size_t> window_start(std::size_t length, std::optional<long> window) {
  if (!window) return 0;
  if (*window < 0) return std::nullopt;
  const auto w = static_cast<std::size_t>(*window);
  return w >= length ? 0 : length - w;
}

struct best_match {
  long index = -1;
  std::size_t start = 0;
  const Regex* expression = nullptr;
  std::size_t from = 0;  // where its search began
};

// Searches each expression k from from_of(k, expression) and returns the earliest match that
// begins before the end of the buffer (index -1 if none). missed(k, expression, from) is told
// of every expression without such a match.
template <typename From, typename Missed>
best_match earliest(const search_pairs& searches, std::string_view buffer, From from_of, Missed missed) {
  best_match best;
  best.start = buffer.size();
  for (std::size_t k = 0; k < searches.size(); ++k) {
    const Regex& expression = expression_of(searches[k]);
    const std::size_t from = from_of(k, expression);
    std::size_t match_start = 0;
    std::size_t match_end = 0;
    if (expression.search_span(buffer, from, match_start, match_end) && match_start < buffer.size()) {
      if (match_start < best.start) best = {searches[k].first, match_start, &expression, from};
    } else {
      missed(k, expression, from);
    }
  }
  return best;
}

// Records the winner in the searcher. Its match is searched again for the groups: the same
// subject and start give the same match, and only the winner's groups are copied.
long record(searcher_re& searcher, std::string_view buffer, const best_match& best) {
  if (best.index < 0) return -1;
  std::optional<Match> result = best.expression->search(buffer, best.from);
  if (!result) throw std::logic_error("searcher_re: the winning expression did not match again");
  searcher.match = std::move(result);
  searcher.start = best.start;
  searcher.end = searcher.match->end();
  return best.index;
}

}  // namespace

searcher_re::searcher_re(const pattern_list& patterns) {
  sort_entries(patterns, eof_index, timeout_index, _searches);
}

long searcher_re::search(std::string_view buffer, long, std::optional<long> searchwindowsize) {
  return search_and_settle(buffer, searchwindowsize, false);
}

long searcher_re::continue_search(std::string_view buffer, long freshlen,
                                  std::optional<long> searchwindowsize) {
  return search_and_settle(buffer, searchwindowsize,
                           continues_progress(buffer.size(), freshlen, searchwindowsize));
}

bool searcher_re::continues_progress(std::size_t length, long freshlen,
                                     std::optional<long> searchwindowsize) const {
  const progress& p = progress_;
  if (!p.valid || p.window != searchwindowsize || freshlen < 0 || p.entries.size() != _searches.size()) {
    return false;
  }
  if (static_cast<unsigned long>(freshlen) > length ||
      length - static_cast<std::size_t>(freshlen) != p.length) {
    return false;
  }
  for (std::size_t k = 0; k < _searches.size(); ++k) {
    if (p.entries[k] != identity_of(_searches[k])) return false;
  }
  return true;
}

long searcher_re::search_and_settle(std::string_view buffer, std::optional<long> searchwindowsize,
                                    bool resume) {
  progress& p = progress_;
  p.valid = false;  // until this search has gone through
  const std::optional<std::size_t> from_window = window_start(buffer.size(), searchwindowsize);
  if (!from_window) return -1;
  if (!resume) {
    p.window = searchwindowsize;
    p.entries.clear();
    for (const auto& pair : _searches) p.entries.push_back(identity_of(pair));
    p.resume.assign(_searches.size(), 0);
  }

  const best_match best = earliest(
      _searches, buffer,
      [&](std::size_t k, const Regex& expression) {
        return regex_access::resumable(expression) ? std::max(*from_window, p.resume[k]) : *from_window;
      },
      [&](std::size_t k, const Regex& expression, std::size_t from) {
        if (!regex_access::resumable(expression)) return;
        std::size_t attempt = 0;
        const auto found = regex_access::search_partial(expression, buffer, from, attempt);
        p.resume[k] = found == regex_access::outcome::none ? buffer.size() : attempt;
      });

  p.length = buffer.size();
  p.valid = true;
  return record(*this, buffer, best);
}

namespace detail {

long rescanning_search(searcher_re& searcher, std::string_view buffer, std::optional<long> searchwindowsize) {
  const std::optional<std::size_t> from_window = window_start(buffer.size(), searchwindowsize);
  if (!from_window) return -1;
  const best_match best = earliest(
      searcher._searches, buffer, [&](std::size_t, const Regex&) { return *from_window; },
      [](std::size_t, const Regex&, std::size_t) {});
  return record(searcher, buffer, best);
}

}  // namespace detail

std::optional<match_value> searcher_re::match_result() const {
  if (!match) return std::nullopt;
  return match_value(std::in_place_type<Match>, *match);
}

std::string searcher_re::str() const {
  auto lines = report_lines("searcher_re:", eof_index, timeout_index);
  for (const auto& pair : _searches) {
    lines.emplace_back(pair.first, "    " + std::to_string(pair.first) + ": re.compile(\"" +
                                       expression_of(pair).pattern() + "\")");
  }
  return join_report(std::move(lines));
}

}  // namespace pexpect_custom
