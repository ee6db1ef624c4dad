// The pattern searchers (searcher_string, searcher_re) and spawn::compile_pattern_list.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/regex.hpp"
#include "pexpect_custom/searcher.hpp"
#include "pexpect_custom/spawn.hpp"

using namespace pexpect_custom;
using namespace std::string_literals;

namespace {

pattern_list regexes(std::initializer_list<const char*> sources, unsigned flags = Regex::dotall) {
  pattern_list list;
  for (const char* source : sources) list.emplace_back(Regex(source, flags));
  return list;
}

}  // namespace

// ---- construction ---------------------------------------------------------------------------

TEST(SearcherConstruct, MarkersAndPairs) {
  searcher_string s({EOF_marker, "a", TIMEOUT_marker, "b"});
  EXPECT_EQ(s.eof_index, 0);
  EXPECT_EQ(s.timeout_index, 2);
  ASSERT_EQ(s._strings.size(), 2u);
  EXPECT_EQ(s._strings[0].first, 1);
  EXPECT_EQ(std::get<std::string>(s._strings[0].second.value), "a");
  EXPECT_EQ(s._strings[1].first, 3);
  EXPECT_FALSE(s.start);
  EXPECT_FALSE(s.end);
  EXPECT_FALSE(s.match);
  EXPECT_FALSE(s.match_result());

  searcher_re r(regexes({"x"}));
  EXPECT_EQ(r.eof_index, -1);
  EXPECT_EQ(r.timeout_index, -1);
  ASSERT_EQ(r._searches.size(), 1u);
  EXPECT_FALSE(r.match_result());
}

TEST(SearcherConstruct, LastMarkerOccurrenceWins) {
  searcher_string s({EOF_marker, "x", EOF_marker, TIMEOUT_marker, TIMEOUT_marker});
  EXPECT_EQ(s.eof_index, 2);
  EXPECT_EQ(s.timeout_index, 4);
  searcher_re r({EOF_marker, Regex("x"), EOF_marker});
  EXPECT_EQ(r.eof_index, 2);
}

TEST(SearcherConstruct, PatternsAreSharedWithTheCaller) {
  Regex re("abc");
  searcher_re r({re});
  EXPECT_EQ(&std::get<Regex>(r._searches[0].second.value).pattern(), &re.pattern());
}

// ---- pinned search cases --------------------------------------------------------------------

TEST(SearcherPinned, EarliestStartThenLowerIndex) {
  searcher_string s({"bar", "foo", "foobar"});
  EXPECT_EQ(s.search("foobar", 6), 1);
  EXPECT_EQ(s.start, 0u);
  EXPECT_EQ(s.end, 3u);
  EXPECT_EQ(s.match, "foo");

  searcher_re r(regexes({"bar", "foo", "foobar"}));
  EXPECT_EQ(r.search("foobar", 6), 1);
  EXPECT_EQ(r.start, 0u);
  EXPECT_EQ(r.end, 3u);
  EXPECT_EQ(r.match->group(), "foo");
}

TEST(SearcherPinned, TieIgnoresMatchLength) {
  searcher_string s({"bar", "foobar"});
  EXPECT_EQ(s.search("foobar", 6), 1);
  EXPECT_EQ(s.start, 0u);
  EXPECT_EQ(s.end, 6u);
  searcher_re r(regexes({"bar", "foobar"}));
  EXPECT_EQ(r.search("foobar", 6), 1);
  EXPECT_EQ(r.end, 6u);
  // Equal starts: the lower index, even when the later entry is longer.
  searcher_string tie({"foo", "foobar"});
  EXPECT_EQ(tie.search("foobar", 6), 0);
  searcher_re tie_re(regexes({"fo", "foo", "f"}));
  EXPECT_EQ(tie_re.search("xfoo", 4), 0);
  EXPECT_EQ(tie_re.end, 3u);
}

TEST(SearcherPinned, EmptyBufferMatchesNothing) {
  searcher_string s({"", "a", EOF_marker});
  EXPECT_EQ(s.search("", 0), -1);
  EXPECT_EQ(s.search("", 0, 0), -1);
  EXPECT_EQ(s.search("", 0, 5), -1);
  searcher_re r(regexes({"", "a*", "$", "^"}));
  EXPECT_EQ(r.search("", 0), -1);
  EXPECT_EQ(r.search("", 0, 5), -1);
  EXPECT_FALSE(s.start);
  EXPECT_FALSE(r.match);
}

TEST(SearcherPinned, EmptyPatternOnNonEmptyBuffer) {
  searcher_string s({""});
  EXPECT_EQ(s.search("abc", 3), 0);
  EXPECT_EQ(s.start, 0u);
  EXPECT_EQ(s.end, 0u);
  // freshlen 1 and an empty string: start at len - 1, an empty match there.
  EXPECT_EQ(s.search("abc", 1), 0);
  EXPECT_EQ(s.start, 2u);
  // freshlen -3: offset +3, the start position 3 is the very end, where a match never counts.
  EXPECT_EQ(s.search("abc", -3), -1);
  EXPECT_EQ(s.start, 2u);
  // freshlen 0: offset exactly 0 means the whole buffer.
  EXPECT_EQ(s.search("abc", 0), 0);
  EXPECT_EQ(s.start, 0u);

  searcher_re r(regexes({"$"}));
  EXPECT_EQ(r.search("abc", 3), -1);  // "$" matches only at the end
  searcher_re r2(regexes({"x*"}));
  EXPECT_EQ(r2.search("abc", 3), 0);
  EXPECT_EQ(r2.start, 0u);
  EXPECT_EQ(r2.search("abc", 3, 1), 0);
  EXPECT_EQ(r2.start, 2u);
}

TEST(SearcherPinned, FreshlenBoundsThePlainTextSearch) {
  // 100 bytes, freshlen 3, a 5-byte string: the search starts at byte 92.
  const std::string needle = "HELLO";
  auto buffer_with_needle_at = [&](std::size_t pos) {
    std::string buffer(100, '.');
    buffer.replace(pos, needle.size(), needle);
    return buffer;
  };
  searcher_string s({needle});
  EXPECT_EQ(s.search(buffer_with_needle_at(92), 3), 0);
  EXPECT_EQ(s.start, 92u);  // bytes 92..96: no fresh byte, still found
  EXPECT_EQ(s.search(buffer_with_needle_at(95), 3), 0);
  EXPECT_EQ(s.start, 95u);
  searcher_string t({needle});
  EXPECT_EQ(t.search(buffer_with_needle_at(91), 3), -1);
  EXPECT_EQ(t.search(buffer_with_needle_at(0), 3), -1);
  EXPECT_EQ(t.search(buffer_with_needle_at(0), 100), 0);
  // searcher_re ignores freshlen.
  searcher_re r(regexes({"HELLO"}));
  EXPECT_EQ(r.search(buffer_with_needle_at(0), 3), 0);
  EXPECT_EQ(r.start, 0u);
}

TEST(SearcherPinned, WindowZero) {
  const std::string buffer = "abcabc";
  searcher_string s({"abc"});
  EXPECT_EQ(s.search(buffer, 1, 0), 0);  // -0 == 0: the whole buffer
  EXPECT_EQ(s.start, 0u);
  searcher_re r(regexes({"abc", "", "c*"}));
  EXPECT_EQ(r.search(buffer, 1, 0), -1);  // starts at the end: nothing
  EXPECT_FALSE(r.match);
}

TEST(SearcherPinned, WindowRestrictsToTheTail) {
  std::string buffer(100, '-');
  buffer[10] = 'x';
  buffer[95] = 'x';
  searcher_string s({"x"});
  EXPECT_EQ(s.search(buffer, 1, 10), 0);
  EXPECT_EQ(s.start, 95u);
  searcher_re r(regexes({"x"}));
  EXPECT_EQ(r.search(buffer, 1, 10), 0);
  EXPECT_EQ(r.start, 95u);
  // A window larger than the buffer is the whole buffer.
  EXPECT_EQ(s.search(buffer, 1, 1000), 0);
  EXPECT_EQ(s.start, 10u);
  EXPECT_EQ(r.search(buffer, 1, 1000), 0);
  EXPECT_EQ(r.start, 10u);
}

TEST(SearcherPinned, CaretWithWindowFindsNothing) {
  std::string buffer(100, '-');
  buffer[90] = 'x';
  searcher_re r(regexes({"^x"}));
  EXPECT_EQ(r.search(buffer, 100, 10), -1);
  buffer[0] = 'x';
  EXPECT_EQ(r.search(buffer, 100, 10), -1);
  EXPECT_EQ(r.search(buffer, 100), 0);
  EXPECT_EQ(r.start, 0u);
}

TEST(SearcherPinned, LookBehindSeesBytesBeforeTheWindow) {
  searcher_re r(regexes({"(?<=a)b"}));
  EXPECT_EQ(r.search("xxab", 4, 1), 0);
  EXPECT_EQ(r.start, 3u);
}

TEST(SearcherPinned, NegativeWindowsAndFreshlens) {
  const std::string buffer = "abcabc";
  // searcher_re: a negative window puts the start past the end.
  searcher_re r(regexes({"a", ""}));
  EXPECT_EQ(r.search(buffer, 0, -1), -1);
  EXPECT_EQ(r.search(buffer, 0, -100), -1);
  // searcher_string: -W is positive, so it is the start position itself.
  searcher_string s({"abc"});
  EXPECT_EQ(s.search(buffer, 0, -1), 0);
  EXPECT_EQ(s.start, 3u);
  EXPECT_EQ(s.search(buffer, 0, -4), -1);
  // freshlen -3 with a 3-byte string: offset 0, the whole buffer.
  EXPECT_EQ(s.search(buffer, -3), 0);
  EXPECT_EQ(s.start, 0u);
  // freshlen -5: offset 2, the start position 2.
  EXPECT_EQ(s.search(buffer, -5), 0);
  EXPECT_EQ(s.start, 3u);
  // Extreme values do not overflow.
  EXPECT_EQ(s.search(buffer, std::numeric_limits<long>::min()), -1);
  EXPECT_EQ(s.search(buffer, std::numeric_limits<long>::max()), 0);
  EXPECT_EQ(s.start, 0u);
  EXPECT_EQ(s.search(buffer, 0, std::numeric_limits<long>::min()), -1);
  EXPECT_EQ(s.search(buffer, 0, std::numeric_limits<long>::max()), 0);
  EXPECT_EQ(r.search(buffer, 0, std::numeric_limits<long>::min()), -1);
  EXPECT_EQ(r.search(buffer, 0, std::numeric_limits<long>::max()), 0);
}

TEST(SearcherPinned, FailedSearchChangesNothing) {
  searcher_string s({"abc"});
  ASSERT_EQ(s.search("xabc", 4), 0);
  EXPECT_EQ(s.search("zzz", 3), -1);
  EXPECT_EQ(s.start, 1u);
  EXPECT_EQ(s.end, 4u);
  EXPECT_EQ(s.match, "abc");
  EXPECT_EQ(std::get<std::string>(*s.match_result()), "abc");

  searcher_re r(regexes({"a(b)c"}));
  ASSERT_EQ(r.search("xabc", 4), 0);
  EXPECT_EQ(r.search("zzz", 3), -1);
  EXPECT_EQ(r.start, 1u);
  EXPECT_EQ(r.end, 4u);
  EXPECT_EQ(r.match->group(1), "b");
}

TEST(SearcherPinned, MarkersAreNeverSearched) {
  searcher_string s({EOF_marker, TIMEOUT_marker});
  EXPECT_EQ(s.search("EOF TIMEOUT", 11), -1);
  searcher_re r({EOF_marker, TIMEOUT_marker});
  EXPECT_EQ(r.search("EOF TIMEOUT", 11), -1);
  // Indices keep the markers' positions.
  searcher_string gaps({EOF_marker, TIMEOUT_marker, "x"});
  EXPECT_EQ(gaps.search("x", 1), 2);
}

TEST(SearcherPinned, MatchResults) {
  searcher_re r(regexes({"(?<word>w\\w+)"}));
  ASSERT_EQ(r.search("hello world", 11), 0);
  auto value = r.match_result();
  ASSERT_TRUE(value);
  const Match& m = std::get<Match>(*value);
  EXPECT_EQ(m.group(), "world");
  EXPECT_EQ(m.group("word"), "world");
  EXPECT_EQ(m.start(), 6u);
  EXPECT_EQ(r.end, 11u);

  searcher_string s({"lo"});
  ASSERT_EQ(s.search("hello world", 11), 0);
  EXPECT_EQ(std::get<std::string>(*s.match_result()), "lo");
}

TEST(SearcherPinned, DotMatchesNewlineAndNul) {
  searcher_re r(regexes({"a.c"}));
  EXPECT_EQ(r.search("xa\nc", 4), 0);
  EXPECT_EQ(r.start, 1u);
  EXPECT_EQ(r.search("a\0c"s, 3), 0);
}

TEST(SearcherPinned, NulBytes) {
  const std::string buffer = "\0\0ab\0cd\0"s;
  searcher_string s({"b\0c"s, "\0"s});
  EXPECT_EQ(s.search(buffer, static_cast<long>(buffer.size())), 1);
  EXPECT_EQ(s.start, 0u);
  // freshlen 6: "b\0c" is looked for from 0 (8 - 9 < 0), "\0" from 1 (8 - 7): the NUL at 1 wins.
  EXPECT_EQ(s.search(buffer, 6), 1);
  EXPECT_EQ(s.start, 1u);
  EXPECT_EQ(s.search(buffer, 1, 6), 0);
  EXPECT_EQ(s.start, 3u);
  EXPECT_EQ(s.end, 6u);
  EXPECT_EQ(*s.match, "b\0c"s);

  searcher_re r({Regex("b\0c"s), Regex("d\\x00")});
  EXPECT_EQ(r.search(buffer, 1), 0);
  EXPECT_EQ(r.start, 3u);
  EXPECT_EQ(r.match->group(), "b\0c"s);
  EXPECT_EQ(r.search(buffer, 1, 3), 1);
  EXPECT_EQ(r.start, 6u);
}

TEST(SearcherPinned, SeveralMegabytes) {
  std::string buffer(5 * 1024 * 1024, 'z');
  buffer += "TAIL-MARK";
  searcher_string s({"TAIL-MARK", "zzzz"});
  // Each string is looked for in the fresh bytes plus its own length before them: "zzzz"
  // ending where the fresh bytes begin is found, and begins before the mark.
  EXPECT_EQ(s.search(buffer, 9), 1);
  EXPECT_EQ(s.start, 5u * 1024 * 1024 - 4);
  searcher_string only_mark({"TAIL-MARK"});
  EXPECT_EQ(only_mark.search(buffer, 9), 0);
  EXPECT_EQ(only_mark.start, 5u * 1024 * 1024);
  EXPECT_EQ(only_mark.search(buffer, static_cast<long>(buffer.size())), 0);

  searcher_re r(regexes({"TAIL-(\\w+)", "y"}));
  EXPECT_EQ(r.search(buffer, 9), 0);
  EXPECT_EQ(r.start, 5u * 1024 * 1024);
  EXPECT_EQ(r.match->group(1), "MARK");
  EXPECT_EQ(r.search(buffer, 9, 20), 0);
  EXPECT_EQ(r.search(buffer, 9, 5), -1);
}

// ---- wrong kinds ----------------------------------------------------------------------------

TEST(SearcherWrongKind, StringSearcherRejectsARegexWhenReached) {
  searcher_string s({"abc", Regex("x")});
  // The failing entry is reached on every search, even when an earlier entry matches.
  EXPECT_THROW(s.search("abc", 3), std::invalid_argument);
  EXPECT_FALSE(s.start);
  // The plain-text report prints any entry.
  EXPECT_EQ(s.str(), "searcher_string:\n    0: \"abc\"\n    1: \"x\"");
}

TEST(SearcherWrongKind, RegexSearcherRejectsAStringWhenReached) {
  searcher_re r({Regex("abc"), "plain"});
  EXPECT_THROW(r.search("abc", 3), std::invalid_argument);
  EXPECT_FALSE(r.match);
  EXPECT_THROW(r.str(), std::invalid_argument);
  // A wrong entry after a non-matching one is reached too.
  searcher_re fine({Regex("abc")});
  fine._searches.emplace_back(1, pattern_entry("later"));
  EXPECT_THROW(fine.search("zzz", 3), std::invalid_argument);
}

// ---- text reports ---------------------------------------------------------------------------

TEST(SearcherReport, StringReportExample) {
  searcher_string s({"ok", EOF_marker, "fail"});
  EXPECT_EQ(s.str(), "searcher_string:\n    0: \"ok\"\n    1: EOF\n    2: \"fail\"");
}

TEST(SearcherReport, RegexReportExample) {
  searcher_re r({Regex("a.c", Regex::dotall), TIMEOUT_marker});
  EXPECT_EQ(r.str(), "searcher_re:\n    0: re.compile(\"a.c\")\n    1: TIMEOUT");
}

TEST(SearcherReport, EmptyListsGiveTheHeaderAlone) {
  EXPECT_EQ(searcher_string({}).str(), "searcher_string:");
  EXPECT_EQ(searcher_re({}).str(), "searcher_re:");
}

TEST(SearcherReport, SortedByIndexUnescaped) {
  searcher_string s({TIMEOUT_marker, "line1\nline2", "q\"uote", EOF_marker});
  EXPECT_EQ(s.str(),
            "searcher_string:\n    0: TIMEOUT\n    1: \"line1\nline2\"\n    2: \"q\"uote\"\n"
            "    3: EOF");
  searcher_re r({EOF_marker, Regex("\\d+\n"), TIMEOUT_marker, Regex("x\"y")});
  EXPECT_EQ(r.str(),
            "searcher_re:\n    0: EOF\n    1: re.compile(\"\\d+\n\")\n    2: TIMEOUT\n"
            "    3: re.compile(\"x\"y\")");
  // Repeated markers: only the last occurrence is reported.
  searcher_string twice({EOF_marker, "a", EOF_marker});
  EXPECT_EQ(twice.str(), "searcher_string:\n    1: \"a\"\n    2: EOF");
}

TEST(SearcherReport, IndicesAboveNine) {
  pattern_list list;
  for (int i = 0; i < 11; ++i) list.emplace_back(std::to_string(i));
  searcher_string s(list);
  std::string expected = "searcher_string:";
  for (int i = 0; i < 11; ++i) {
    expected += "\n    " + std::to_string(i) + ": \"" + std::to_string(i) + "\"";
  }
  EXPECT_EQ(s.str(), expected);
}

// ---- property tests against brute-force references -------------------------------------------

namespace {

const char alphabet[] = {'a', 'b', '\n', '\0'};

std::string random_bytes(std::mt19937& rng, std::size_t max_length) {
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<int> pick(0, 3);
  std::string s(length(rng), '\0');
  for (char& c : s) c = alphabet[pick(rng)];
  return s;
}

/// Slice-style start index: a negative offset counts back from the end, clamped at 0.
long long slice_start(long long offset, long long length) {
  if (offset < 0) return std::max(0LL, length + offset);
  return offset;
}

struct expected_hit {
  long index;
  std::size_t start;
  std::size_t end;
};

/// Brute force for searcher_string: collect every occurrence allowed by its entry's start rule,
/// then take the smallest (start, list position) whose start lies before the end of the buffer.
std::optional<expected_hit> reference_string(const std::string& buffer,
                                             const std::vector<std::pair<long, std::string>>& list,
                                             long freshlen, std::optional<long> window) {
  const auto length = static_cast<long long>(buffer.size());
  std::vector<std::tuple<std::size_t, std::size_t, expected_hit>> candidates;
  for (std::size_t order = 0; order < list.size(); ++order) {
    const auto& [index, s] = list[order];
    const auto size = static_cast<long long>(s.size());
    long long offset = window ? -static_cast<long long>(*window) : -(freshlen + size);
    long long from = slice_start(offset, length);
    for (long long p = from; p + static_cast<long long>(s.size()) <= length; ++p) {
      if (buffer.compare(static_cast<std::size_t>(p), s.size(), s) == 0) {
        auto start = static_cast<std::size_t>(p);
        candidates.emplace_back(start, order, expected_hit{index, start, start + s.size()});
        break;  // the first occurrence at or after the start position
      }
    }
  }
  std::optional<expected_hit> best;
  std::size_t best_start = buffer.size();
  std::size_t best_order = 0;
  for (const auto& [start, order, hit] : candidates) {
    if (start >= buffer.size()) continue;  // a match at the very end never counts
    if (!best || start < best_start || (start == best_start && order < best_order)) {
      best = hit;
      best_start = start;
      best_order = order;
    }
  }
  return best;
}

/// Brute force for searcher_re: for every expression, try each start position in turn with an
/// anchored copy ("\G(?:...)"), the first position that matches is its occurrence.
std::optional<expected_hit> reference_re(const std::string& buffer,
                                         const std::vector<std::pair<long, Regex>>& anchored,
                                         std::optional<long> window) {
  const auto length = static_cast<long long>(buffer.size());
  long long from = 0;
  if (window) from = std::max(0LL, length - *window);
  std::optional<expected_hit> best;
  for (const auto& [index, expression] : anchored) {
    for (long long p = from; p < length; ++p) {  // positions at the end never count
      std::size_t s = 0, e = 0;
      if (expression.search_span(buffer, static_cast<std::size_t>(p), s, e)) {
        EXPECT_EQ(s, static_cast<std::size_t>(p)) << "anchored copy matched elsewhere";
        if (!best || s < best->start) best = expected_hit{index, s, e};
        break;
      }
    }
  }
  return best;
}

/// A random expression over the alphabet; NUL appears raw in the source or as \x00.
std::string random_expression(std::mt19937& rng, int depth = 0) {
  std::uniform_int_distribution<int> kind(0, depth > 2 ? 5 : 13);
  std::uniform_int_distribution<int> pick(0, 3);
  switch (kind(rng)) {
    case 0:
    case 1:
    case 2:
      return std::string(1, alphabet[pick(rng)]);
    case 3:
      return "\\x00";
    case 4:
      return ".";
    case 5:
      return "[ab]";
    case 6:
      return random_expression(rng, depth + 1) + random_expression(rng, depth + 1);
    case 7:
      return "(" + random_expression(rng, depth + 1) + "|" + random_expression(rng, depth + 1) + ")";
    case 8:
      return "(?:" + random_expression(rng, depth + 1) + ")*";
    case 9:
      return "(?:" + random_expression(rng, depth + 1) + ")+?";
    case 10:
      return "^" + random_expression(rng, depth + 1);
    case 11:
      return random_expression(rng, depth + 1) + "$";
    case 12:
      return "(?<=" + std::string(1, alphabet[pick(rng)]) + ")" + random_expression(rng, depth + 1);
    default:
      return "";
  }
}

std::optional<long> random_window(std::mt19937& rng, std::size_t length) {
  std::uniform_int_distribution<int> coin(0, 2);
  if (coin(rng) == 0) return std::nullopt;
  std::uniform_int_distribution<long> w(-3, static_cast<long>(length) + 3);
  return w(rng);
}

}  // namespace

TEST(SearcherProperty, StringSearcherAgreesWithBruteForce) {
  std::mt19937 rng(20240601);
  std::uniform_int_distribution<int> count(0, 5);
  std::uniform_int_distribution<int> marker(0, 5);
  int hits = 0;
  for (int round = 0; round < 4000; ++round) {
    pattern_list list;
    std::vector<std::pair<long, std::string>> strings;
    int n = count(rng);
    for (int i = 0; i < n; ++i) {
      int m = marker(rng);
      if (m == 0) {
        list.emplace_back(EOF_marker);
      } else if (m == 1) {
        list.emplace_back(TIMEOUT_marker);
      } else {
        std::string s = random_bytes(rng, 3);
        strings.emplace_back(static_cast<long>(list.size()), s);
        list.emplace_back(s);
      }
    }
    searcher_string searcher(list);
    // Several searches on one object, as the expect loop does.
    for (int step = 0; step < 3; ++step) {
      std::string buffer = random_bytes(rng, 24);
      std::uniform_int_distribution<long> fresh(-3, static_cast<long>(buffer.size()) + 3);
      long freshlen = fresh(rng);
      std::optional<long> window = random_window(rng, buffer.size());
      auto before = std::make_tuple(searcher.start, searcher.end, searcher.match);

      long got = searcher.search(buffer, freshlen, window);
      auto want = reference_string(buffer, strings, freshlen, window);
      SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
      if (!want) {
        ASSERT_EQ(got, -1);
        ASSERT_EQ(before, std::make_tuple(searcher.start, searcher.end, searcher.match));
      } else {
        ++hits;
        ASSERT_EQ(got, want->index);
        ASSERT_EQ(searcher.start, want->start);
        ASSERT_EQ(searcher.end, want->end);
        ASSERT_EQ(*searcher.match, buffer.substr(want->start, want->end - want->start));
      }
    }
  }
  EXPECT_GT(hits, 1000);  // the generator produces enough matches to mean something
}

TEST(SearcherProperty, RegexSearcherAgreesWithBruteForce) {
  std::mt19937 rng(77031);
  std::uniform_int_distribution<int> count(0, 4);
  std::uniform_int_distribution<int> marker(0, 6);
  std::uniform_int_distribution<int> coin(0, 1);
  int hits = 0;
  for (int round = 0; round < 3000; ++round) {
    pattern_list list;
    std::vector<std::pair<long, Regex>> anchored;
    int n = count(rng);
    for (int i = 0; i < n; ++i) {
      int m = marker(rng);
      if (m == 0) {
        list.emplace_back(EOF_marker);
      } else if (m == 1) {
        list.emplace_back(TIMEOUT_marker);
      } else {
        std::string source = random_expression(rng);
        unsigned flags = coin(rng) ? Regex::dotall : Regex::none;
        anchored.emplace_back(static_cast<long>(list.size()), Regex("\\G(?:" + source + ")", flags));
        list.emplace_back(Regex(source, flags));
      }
    }
    searcher_re searcher(list);
    for (int step = 0; step < 3; ++step) {
      std::string buffer = random_bytes(rng, 20);
      std::optional<long> window = random_window(rng, buffer.size());
      std::uniform_int_distribution<long> fresh(-3, 30);
      auto before_start = searcher.start;
      auto before_end = searcher.end;
      auto before_match = searcher.match ? searcher.match->group() : std::nullopt;

      long got = searcher.search(buffer, fresh(rng), window);
      auto want = reference_re(buffer, anchored, window);
      SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
      if (!want) {
        ASSERT_EQ(got, -1);
        ASSERT_EQ(searcher.start, before_start);
        ASSERT_EQ(searcher.end, before_end);
        ASSERT_EQ(searcher.match ? searcher.match->group() : std::nullopt, before_match);
      } else {
        ++hits;
        ASSERT_EQ(got, want->index);
        ASSERT_EQ(searcher.start, want->start);
        ASSERT_EQ(searcher.end, want->end);
        ASSERT_EQ(searcher.match->start(), want->start);
        ASSERT_EQ(searcher.match->group(), buffer.substr(want->start, want->end - want->start));
      }
    }
  }
  EXPECT_GT(hits, 1000);
}

TEST(SearcherProperty, LiteralRegexesAgreeWithPlainText) {
  // Literal expressions over the alphabet ("\n" and NUL are literal bytes in the source) must
  // find what a plain-text search of the whole window finds: an independent check of the
  // regular-expression path.
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> count(1, 4);
  for (int round = 0; round < 3000; ++round) {
    pattern_list strings;
    pattern_list expressions;
    int n = count(rng);
    for (int i = 0; i < n; ++i) {
      std::string s = random_bytes(rng, 3);
      strings.emplace_back(s);
      expressions.emplace_back(Regex(s));
    }
    std::string buffer = random_bytes(rng, 30);
    std::optional<long> window = random_window(rng, buffer.size());
    if (window && *window <= 0) window = 1;  // the two searchers read W <= 0 differently
    searcher_string plain(strings);
    searcher_re re(expressions);
    // With a window both search the last W bytes; without one, freshlen = len makes the plain
    // search cover the whole buffer.
    long got_plain = plain.search(buffer, static_cast<long>(buffer.size()), window);
    long got_re = re.search(buffer, 0, window);
    ASSERT_EQ(got_plain, got_re) << "round " << round;
    if (got_re >= 0) {
      ASSERT_EQ(plain.start, re.start);
      ASSERT_EQ(plain.end, re.end);
    }
  }
}

// ---- compile_pattern_list -------------------------------------------------------------------

TEST(CompilePatternList, NothingOneOrAList) {
  spawn factory(std::nullopt);
  EXPECT_TRUE(factory.compile_pattern_list(std::nullopt).empty());
  EXPECT_TRUE(factory.compile_pattern_list(pattern_list{}).empty());

  pattern_list one = factory.compile_pattern_list("ab+");
  ASSERT_EQ(one.size(), 1u);
  const Regex& compiled = std::get<Regex>(one[0].value);
  EXPECT_EQ(compiled.pattern(), "ab+");
  EXPECT_EQ(compiled.flags(), Regex::dotall);

  Regex precompiled("x", Regex::none);
  pattern_list four = factory.compile_pattern_list({"s", EOF_marker, TIMEOUT_marker, precompiled});
  ASSERT_EQ(four.size(), 4u);
  EXPECT_EQ(std::get<Regex>(four[0].value).pattern(), "s");
  EXPECT_TRUE(four[1].is_eof());
  EXPECT_TRUE(four[2].is_timeout());
  const Regex& kept = std::get<Regex>(four[3].value);
  EXPECT_EQ(&kept.pattern(), &precompiled.pattern());  // unchanged: the very same expression
  EXPECT_EQ(kept.flags(), Regex::none);

  // Single markers and a single compiled expression.
  EXPECT_TRUE(factory.compile_pattern_list(EOF_marker)[0].is_eof());
  EXPECT_TRUE(factory.compile_pattern_list(TIMEOUT_marker)[0].is_timeout());
  EXPECT_EQ(std::get<Regex>(factory.compile_pattern_list(precompiled)[0].value).flags(), Regex::none);
}

TEST(CompilePatternList, IgnorecaseFieldAtCallTime) {
  spawn factory(std::nullopt);
  factory.ignorecase = true;
  Regex sensitive("abc");
  pattern_list list = factory.compile_pattern_list({"abc", sensitive});
  EXPECT_EQ(std::get<Regex>(list[0].value).flags(), Regex::dotall | Regex::ignorecase);
  searcher_re searcher(list);
  EXPECT_EQ(searcher.search("xxABC", 5), 0);
  EXPECT_EQ(searcher.start, 2u);
  // The precompiled case-sensitive entry alone does not match.
  searcher_re only_sensitive(pattern_list{list[1]});
  EXPECT_EQ(only_sensitive.search("xxABC", 5), -1);
  EXPECT_EQ(only_sensitive.search("xxabc", 5), 0);

  factory.ignorecase = false;
  searcher_re later(factory.compile_pattern_list("abc"));
  EXPECT_EQ(later.search("ABC", 3), -1);
}

TEST(CompilePatternList, DotallAlways) {
  spawn factory(std::nullopt);
  searcher_re searcher(factory.compile_pattern_list("a.c"));
  EXPECT_EQ(searcher.search("a\nc", 3), 0);
  // ... but ^ and $ are not multi-line.
  searcher_re anchors(factory.compile_pattern_list({"^b", "a$"}));
  EXPECT_EQ(anchors.search("a\nb", 3), -1);
}

TEST(CompilePatternList, InvalidExpressionPropagates) {
  spawn factory(std::nullopt);
  try {
    factory.compile_pattern_list({"ok", "(abc"});
    FAIL() << "no error";
  } catch (const regex_error& error) {
    EXPECT_STREQ(error.what(), "missing closing parenthesis at offset 4");
  }
}

TEST(CompilePatternList, EofMarkersInCompiledList) {
  spawn factory(std::nullopt);
  searcher_re searcher(factory.compile_pattern_list({EOF_marker, "x", EOF_marker}));
  EXPECT_EQ(searcher.eof_index, 2);
  EXPECT_EQ(searcher.str(), "searcher_re:\n    1: re.compile(\"x\")\n    2: EOF");
}
