// The regular-expression searcher's continued searches against the plain rule (every expression
// searched from the window start on every call), which is kept in the library as the reference.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "expect/rescanning_search.hpp"
#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/regex.hpp"
#include "pexpect_custom/searcher.hpp"

using namespace pexpect_custom;
using namespace std::string_literals;

namespace {

// Everything a search leaves in a searcher: start, end, and every group's span and text.
using group_view = std::tuple<std::size_t, std::size_t, std::optional<std::string>>;
using searcher_view = std::tuple<std::optional<std::size_t>, std::optional<std::size_t>,
                                 std::vector<group_view>, std::map<std::string, std::optional<std::string>>>;

searcher_view view_of(const searcher_re& searcher) {
  std::vector<group_view> groups;
  std::map<std::string, std::optional<std::string>> named;
  if (searcher.match) {
    for (std::size_t n = 0; n <= searcher.match->group_count(); ++n) {
      groups.emplace_back(searcher.match->start(n), searcher.match->end(n), searcher.match->group(n));
    }
    named = searcher.match->groupdict();
  }
  return {searcher.start, searcher.end, groups, named};
}

// Random expressions over a small alphabet, with the constructs whose behaviour at the end of
// the output differs: repeats of every kind, alternations with empty branches, anchors, word
// boundaries, look-around, atomic groups, back-references, and now and then \G, \K and a
// backtracking verb, which cannot resume and must be searched from the window start.
class expression_maker {
 public:
  explicit expression_maker(std::mt19937& rng) : rng_(rng) {}

  std::string make() {
    groups_ = 0;
    return sequence_or_alternation(0);
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  std::string sequence_or_alternation(int depth) {
    std::string text = sequence(depth);
    if (pick(4) == 0) {
      text += "|" + sequence(depth);
      if (pick(3) == 0) text += "|";  // an empty branch
    }
    return text;
  }

  std::string sequence(int depth) {
    std::string text;
    for (int n = pick(depth == 0 ? 4 : 3) + (depth == 0 ? 1 : 0); n > 0; --n) {
      text += piece(depth);
    }
    return text;
  }

  std::string piece(int depth) {
    std::string text = atom(depth);
    switch (pick(9)) {
      case 0:
        text += "*";
        break;
      case 1:
        text += "+";
        break;
      case 2:
        text += "?";
        break;
      case 3:
        text += "{1,3}";
        break;
      case 4:
        text += "{0,2}";
        break;
      default:
        return text;
    }
    switch (pick(4)) {
      case 0:
        text += "?";
        break;  // lazy
      case 1:
        text += "+";
        break;  // possessive
      default:
        break;  // greedy
    }
    return text;
  }

  std::string lookbehind_body() {
    static const char* const bodies[] = {"a", "b", "\n", "ab", "ba", "a|bc", "[ab]", "c|"};
    return bodies[pick(8)];
  }

  std::string atom(int depth) {
    static const char* const simple[] = {"a", "b",    "c",    "\n",  "ab",  "ba",  "\\x00",
                                         ".", "[ab]", "[^a]", "\\w", "\\s", "a\nb"};
    const int kinds = depth >= 2 ? 3 : 22;
    switch (pick(kinds)) {
      case 0:
      case 1:
      case 2:
        return simple[pick(13)];
      case 3:
        ++groups_;
        return "(" + sequence_or_alternation(depth + 1) + ")";
      case 4:
        ++groups_;
        return "(?<g" + std::to_string(groups_) + ">" + sequence_or_alternation(depth + 1) + ")";
      case 5:
        return "(?:" + sequence_or_alternation(depth + 1) + ")";
      case 6:
        return "(?>" + sequence_or_alternation(depth + 1) + ")";
      case 7:
        return "(?=" + sequence_or_alternation(depth + 1) + ")";
      case 8:
        return "(?!" + sequence_or_alternation(depth + 1) + ")";
      case 9:
        return "(?<=" + lookbehind_body() + ")";
      case 10:
        return "(?<!" + lookbehind_body() + ")";
      case 11:
        return "^";
      case 12:
        return "$";
      case 13:
        return pick(2) ? "\\b" : "\\B";
      case 14:
        return pick(2) ? "\\A" : (pick(2) ? "\\z" : "\\Z");
      case 15:
        return groups_ > 0 ? "\\1" : "a";
      case 16:
        return pick(4) == 0 ? "\\G" : "b";
      case 17:
        return pick(4) == 0 ? "\\K" : "c";
      case 18:
        return pick(6) == 0 ? (pick(2) ? "(*COMMIT)" : "(*SKIP)") : "a";
      default:
        return simple[pick(13)];
    }
  }

  std::mt19937& rng_;
  int groups_ = 0;
};

std::string random_output(std::mt19937& rng, std::size_t max_length) {
  static const char alphabet[] = {'a', 'b', 'c', '\n', ' ', 'a', 'b', '\0'};
  std::uniform_int_distribution<std::size_t> length(0, max_length);
  std::uniform_int_distribution<int> pick(0, 7);
  std::string text(length(rng), '\0');
  for (char& c : text) c = alphabet[pick(rng)];
  return text;
}

// The sizes of the chunks the output arrives in; the first is what the buffer held already.
std::vector<std::size_t> random_chunking(std::mt19937& rng, std::size_t length) {
  std::vector<std::size_t> sizes;
  std::uniform_int_distribution<int> style(0, 3);
  std::size_t left = length;
  // Sometimes everything arrives at once, sometimes byte by byte, mostly in between.
  const int chosen = style(rng);
  std::uniform_int_distribution<std::size_t> first(0, length);
  std::size_t initial = chosen == 0 ? length : (chosen == 1 ? 0 : first(rng) / 2);
  sizes.push_back(initial);
  left -= initial;
  while (left > 0) {
    std::size_t size = chosen == 1 ? 1 : std::uniform_int_distribution<std::size_t>(0, 7)(rng);
    size = std::min(size, left);
    sizes.push_back(size);  // an empty chunk searches the same buffer again
    left -= size;
  }
  return sizes;
}

std::string printable(const std::string& text) {
  std::ostringstream out;
  for (char c : text) {
    if (c == '\n')
      out << "\\n";
    else if (c == '\0')
      out << "\\0";
    else
      out << c;
  }
  return out.str();
}

}  // namespace

// ---- the differential test ------------------------------------------------------------------

TEST(SearcherIncremental, AgreesWithRescanningAtEveryStep) {
  std::mt19937 rng(0x5eed2024);
  expression_maker maker(rng);
  std::uniform_int_distribution<int> count(1, 4);
  std::uniform_int_distribution<int> coin(0, 3);
  int cases = 0;
  int hits = 0;
  int steps = 0;
  int over_limit = 0;
  while (cases < 4000) {
    // A pattern list of compiled expressions and markers, as compile_pattern_list makes it.
    pattern_list list;
    std::vector<std::string> sources;
    for (int n = count(rng); n > 0; --n) {
      if (coin(rng) == 0) {
        list.emplace_back(coin(rng) == 0 ? pattern_entry(TIMEOUT_marker) : EOF_marker);
        continue;
      }
      std::string source = maker.make();
      unsigned flags = coin(rng) == 0 ? Regex::none : Regex::dotall;
      if (coin(rng) == 0) flags |= Regex::ignorecase;
      try {
        list.emplace_back(Regex(source, flags));
        sources.push_back(source);
      } catch (const regex_error&) {
        // Not every combination is valid (a quantified anchor, \K in look-around): skip it.
      }
    }
    ++cases;

    const std::string output = random_output(rng, 48);
    std::optional<long> window;
    if (coin(rng) == 0) {
      window = std::uniform_int_distribution<long>(-1, static_cast<long>(output.size()) + 2)(rng);
    }
    std::ostringstream trace;
    trace << "case " << cases << ", output \"" << printable(output) << "\", window "
          << (window ? std::to_string(*window) : "none") << ", expressions:";
    for (const auto& source : sources) trace << " /" << printable(source) << "/";
    SCOPED_TRACE(trace.str());

    searcher_re incremental(list);
    searcher_re reference(list);
    std::string buffer;
    const std::vector<std::size_t> chunks = random_chunking(rng, output.size());
    for (std::size_t step = 0; step < chunks.size(); ++step) {
      buffer.append(output, buffer.size(), chunks[step]);
      // The first search of an expect call sees the whole buffer as new.
      const long freshlen = static_cast<long>(step == 0 ? buffer.size() : chunks[step]);
      long want = -1;
      try {
        want = detail::rescanning_search(reference, buffer, window);
      } catch (const std::runtime_error& error) {
        // An expression that backtracks past the engine's limits fails either way; the resumed
        // search, which starts no earlier, must not fail where this one succeeds.
        ++over_limit;
        EXPECT_THROW(incremental.continue_search(buffer, freshlen, window), std::runtime_error);
        break;
      }
      const long got = step == 0 ? incremental.search(buffer, freshlen, window)
                                 : incremental.continue_search(buffer, freshlen, window);
      ++steps;
      ASSERT_EQ(got, want) << "step " << step << ", buffer \"" << printable(buffer) << "\"";
      // Both searchers have seen the same history, so a failed search leaves both alike too.
      ASSERT_EQ(view_of(incremental), view_of(reference))
          << "step " << step << ", buffer \"" << printable(buffer) << "\"";
      if (got >= 0) ++hits;
    }
  }
  // The generator must produce plenty of matches and misses to mean anything.
  EXPECT_GT(hits, steps / 10);
  EXPECT_LT(hits, steps * 9 / 10);
  EXPECT_LT(over_limit, cases / 100);
  RecordProperty("steps", steps);
  RecordProperty("matches", hits);
}

// ---- pinned cases of the resumed search -----------------------------------------------------

TEST(SearcherIncremental, MatchesSpanningChunks) {
  searcher_re searcher({Regex("DONE-(\\d+)\n"), Regex("(?<=ab)c")});
  std::string buffer = "build... DO";
  EXPECT_EQ(searcher.search(buffer, static_cast<long>(buffer.size())), -1);
  buffer += "NE-4";
  EXPECT_EQ(searcher.continue_search(buffer, 4), -1);
  buffer += "2\n";
  ASSERT_EQ(searcher.continue_search(buffer, 2), 0);
  EXPECT_EQ(searcher.start, 9u);
  EXPECT_EQ(searcher.match->group(1), "42");

  // The look-behind reads bytes that were settled by earlier searches.
  searcher_re behind({Regex("(?<=ab)c")});
  buffer = "xa";
  EXPECT_EQ(behind.search(buffer, 2), -1);
  buffer += "b";
  EXPECT_EQ(behind.continue_search(buffer, 1), -1);
  buffer += "c";
  ASSERT_EQ(behind.continue_search(buffer, 1), 0);
  EXPECT_EQ(behind.start, 3u);
}

TEST(SearcherIncremental, LaterOutputCanMoveAMatchEarlier) {
  // "b" matches first; once "c" arrives, the match at 0 begins earlier and wins, as a search
  // from the start would find. A match found does not settle the offsets before it.
  searcher_re searcher({Regex("a.*c|b")});
  ASSERT_EQ(searcher.search("ab", 2), 0);
  EXPECT_EQ(searcher.start, 1u);
  ASSERT_EQ(searcher.continue_search("abc", 1), 0);
  EXPECT_EQ(searcher.start, 0u);
  EXPECT_EQ(searcher.end, 3u);

  // An empty match at the very end never counts, but must not settle what comes before it.
  searcher_re tail({Regex("ab|$")});
  EXPECT_EQ(tail.search("xa", 2), -1);
  ASSERT_EQ(tail.continue_search("xab", 1), 0);
  EXPECT_EQ(tail.start, 1u);
}

TEST(SearcherIncremental, StartOffsetDependentExpressionsAreSearchedFromTheWindowStart) {
  // \G matches only where a search starts: resuming at offset 1 would find "b" there.
  searcher_re anchored({Regex("\\Gb")});
  EXPECT_EQ(anchored.search("a", 1), -1);
  EXPECT_EQ(anchored.continue_search("ab", 1), -1);
  // \K reports a match after the offset its attempt began at: here at the very end, where it
  // does not count, although the attempt began at 1.
  searcher_re keep({Regex("a\\K")});
  EXPECT_EQ(keep.search("xa", 2), -1);
  ASSERT_EQ(keep.continue_search("xab", 1), 0);
  EXPECT_EQ(keep.start, 2u);
  // (*COMMIT) fails the whole search once passed.
  searcher_re commit({Regex("a(*COMMIT)b")});
  EXPECT_EQ(commit.search("ac", 2), -1);
  EXPECT_EQ(commit.continue_search("acab", 2), -1);
}

TEST(SearcherIncremental, SettledBytesAreNotSearchedAgain) {
  // What makes the search linear: once a stretch is settled, a continued search never looks at
  // it again. Changing a settled byte behind the searcher's back shows it.
  std::string buffer(1000, '.');
  searcher_re searcher({Regex("MARK")});
  EXPECT_EQ(searcher.search(buffer, 1000), -1);
  buffer.replace(500, 4, "MARK");
  buffer += "..........";
  EXPECT_EQ(searcher.continue_search(buffer, 10), -1);
  // The public search, asked the same, searches from the start.
  EXPECT_EQ(searcher.search(buffer, 10), 0);
  searcher_re fresh({Regex("MARK")});
  EXPECT_EQ(fresh.search(buffer, static_cast<long>(buffer.size())), 0);
  EXPECT_EQ(fresh.start, 500u);
}

TEST(SearcherIncremental, AnythingButAContinuationIsSearchedFromTheStart) {
  const std::string grown = "xxMARKyy";
  auto settled = [] {
    auto searcher = std::make_unique<searcher_re>(pattern_list{Regex("MARK")});
    EXPECT_EQ(searcher->search("xxMA", 4), -1);
    EXPECT_EQ(searcher->continue_search("xxMAzz", 2), -1);  // "MA" no longer starts a match
    return searcher;
  };
  // The public search owes nothing to earlier calls, even where the arguments look like a
  // continuation of them.
  EXPECT_EQ(settled()->search(grown, 2), 0);
  // A continuation that does not fit what the previous search saw starts over: freshlen does
  // not account for the growth, or the buffer shrank.
  EXPECT_EQ(settled()->continue_search(grown, 1), 0);
  EXPECT_EQ(settled()->continue_search("xxMARK", -1), 0);
  EXPECT_EQ(settled()->continue_search("MARK", 0), 0);
  // Another window.
  EXPECT_EQ(settled()->continue_search(grown, 2, 100), 0);
  // Other entries.
  auto searcher = settled();
  searcher->_searches[0].second = pattern_entry(Regex("MARK"));
  EXPECT_EQ(searcher->continue_search(grown, 2), 0);
  // After all of these, the start is the real one.
  EXPECT_EQ(searcher->start, 2u);
}

TEST(SearcherIncremental, PublicSearchOfADifferentBufferWithTheSameEnds) {
  // Two buffers of one length and the same first and last 64 bytes, with a match only in the
  // middle of the second: whichever comes first, each gets its own answer, whatever freshlen.
  const std::string ends(64, '.');
  const std::string without = ends + std::string(100, '-') + ends;
  const std::string with = ends + std::string(50, '-') + "MARK" + std::string(46, '-') + ends;
  ASSERT_EQ(without.size(), with.size());
  for (const long freshlen : {0L, 10L, static_cast<long>(with.size())}) {
    SCOPED_TRACE(freshlen);
    searcher_re searcher({Regex("MARK"), EOF_marker});
    EXPECT_EQ(searcher.search(without, freshlen), -1);
    ASSERT_EQ(searcher.search(with, freshlen), 0);
    EXPECT_EQ(searcher.start, 114u);
    EXPECT_EQ(searcher.search(without, freshlen), -1);
  }
}

TEST(SearcherIncremental, WindowStillBoundsTheSearch) {
  // The window start moves forward as the buffer grows; resumed searches respect it.
  searcher_re searcher({Regex("a+b")});
  std::string buffer = "aaaa";
  EXPECT_EQ(searcher.search(buffer, 4, 3), -1);
  buffer += "b";
  ASSERT_EQ(searcher.continue_search(buffer, 1, 3), 0);
  EXPECT_EQ(searcher.start, 2u);  // the first "a" inside the last 3 bytes
  EXPECT_EQ(searcher.match->group(), "aab");
  // ^ matches only at offset 0 of the buffer, never at the window start.
  searcher_re caret({Regex("^x")});
  EXPECT_EQ(caret.search("yx", 2, 1), -1);
  EXPECT_EQ(caret.continue_search("yxx", 1, 1), -1);
}
