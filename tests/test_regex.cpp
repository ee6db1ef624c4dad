// The compiled-expression class and its match results (PCRE2 glue).

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/regex.hpp"
#include "pexpect_custom/searcher.hpp"

using pexpect_custom::Match;
using pexpect_custom::Regex;
using pexpect_custom::regex_error;
using namespace std::string_literals;

// ---- compilation --------------------------------------------------------------------------

TEST(RegexCompile, KeepsSourceAndFlags) {
  Regex plain("a.c");
  EXPECT_EQ(plain.pattern(), "a.c");
  EXPECT_EQ(plain.flags(), Regex::none);

  Regex both("x|y", Regex::dotall | Regex::ignorecase);
  EXPECT_EQ(both.pattern(), "x|y");
  EXPECT_EQ(both.flags(), Regex::dotall | Regex::ignorecase);
}

TEST(RegexCompile, CopiesShareTheCompiledExpression) {
  Regex original("ab+");
  Regex copy = original;
  EXPECT_EQ(&copy.pattern(), &original.pattern());
  // Both still search correctly, one after the other.
  std::size_t s = 0, e = 0;
  ASSERT_TRUE(copy.search_span("xxabbb", 0, s, e));
  EXPECT_EQ(s, 2u);
  EXPECT_EQ(e, 6u);
  ASSERT_TRUE(original.search_span("ab", 0, s, e));
  EXPECT_EQ(s, 0u);
  EXPECT_EQ(e, 2u);
}

TEST(RegexCompile, InvalidExpressionCarriesPcre2MessageAndOffset) {
  try {
    Regex bad("(abc");
    FAIL() << "no error";
  } catch (const regex_error& error) {
    EXPECT_STREQ(error.what(), "missing closing parenthesis at offset 4");
    EXPECT_EQ(error.offset(), 4u);
  }
  try {
    Regex bad("ab[c");
    FAIL() << "no error";
  } catch (const regex_error& error) {
    EXPECT_STREQ(error.what(), "missing terminating ] for character class at offset 4");
    EXPECT_EQ(error.offset(), 4u);
  }
  try {
    Regex bad("x{3,1}");
    FAIL() << "no error";
  } catch (const regex_error& error) {
    EXPECT_STREQ(error.what(), "numbers out of order in {} quantifier at offset 5");
  }
  // regex_error is an invalid-argument error.
  EXPECT_THROW(Regex("*"), std::invalid_argument);
}

TEST(RegexCompile, UnknownFlagBitsAreRejected) {
  EXPECT_THROW(Regex("a", 1u << 5), std::invalid_argument);
}

TEST(RegexCompile, PerlSyntax) {
  // Groups, alternation, classes, repetition, inline flags, look-around, (?P<name>) names.
  for (const char* source : {"(a|b)+", "[^\\s]{2,}", "(?i)abc", "(?s).", "(?<=x)y", "(?!z)\\w",
                             "(?P<name>\\d+)-(?P=name)", "(?<n>a)\\k<n>", "a*?b", "\\bword\\b"}) {
    EXPECT_NO_THROW(Regex{source}) << source;
  }
  EXPECT_TRUE(Regex("(?i)abc").search("xABC"));
  EXPECT_TRUE(Regex("(?P<name>\\d+)-(?P=name)").search("12-12"));
  EXPECT_FALSE(Regex("(?P<name>\\d+)-(?P=name)").search("12-13"));
}

// ---- flags ----------------------------------------------------------------------------------

TEST(RegexFlags, DotallLetsDotMatchNewline) {
  EXPECT_FALSE(Regex("a.c").search("a\nc"));
  auto m = Regex("a.c", Regex::dotall).search("a\nc");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group(), "a\nc");
}

TEST(RegexFlags, Ignorecase) {
  EXPECT_FALSE(Regex("abc").search("xABC"));
  auto m = Regex("abc", Regex::ignorecase).search("xABC");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 1u);
}

TEST(RegexFlags, NotMultiline) {
  EXPECT_FALSE(Regex("^b").search("a\nb"));
  EXPECT_FALSE(Regex("a$").search("a\nb"));
  EXPECT_FALSE(Regex("^b", Regex::dotall | Regex::ignorecase).search("a\nb"));
  // $ still matches before a final newline, as in Perl.
  EXPECT_TRUE(Regex("a$").search("a\n"));
}

// ---- search semantics -----------------------------------------------------------------------

TEST(RegexSearch, UnanchoredFromOffset) {
  Regex re("ab");
  auto m = re.search("abxxab", 1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 4u);
  EXPECT_EQ(m->end(), 6u);
  EXPECT_FALSE(re.search("abxxab", 5));
}

TEST(RegexSearch, CaretOnlyAtSubjectStart) {
  Regex re("^x");
  EXPECT_TRUE(re.search("xyz", 0));
  EXPECT_FALSE(re.search("xyzx", 1));
  EXPECT_FALSE(re.search("axyz", 1));
}

TEST(RegexSearch, LookBehindSeesBytesBeforeTheStart) {
  Regex re("(?<=a)b");
  auto m = re.search("ab", 1);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 1u);
  EXPECT_FALSE(Regex("(?<=c)b").search("ab", 1));
  // \b too sees the byte before the start.
  EXPECT_FALSE(Regex("\\bb").search("ab", 1));
}

TEST(RegexSearch, OffsetPastTheEndFindsNothing) {
  Regex empty("");
  EXPECT_FALSE(empty.search("abc", 4));
  std::size_t s = 0, e = 0;
  EXPECT_FALSE(empty.search_span("abc", 100, s, e));
  // At the end itself an empty match exists (the searchers, not Regex, discard it).
  ASSERT_TRUE(empty.search_span("abc", 3, s, e));
  EXPECT_EQ(s, 3u);
  EXPECT_EQ(e, 3u);
}

TEST(RegexSearch, LeftmostThenEngineRules) {
  // Perl semantics: the first alternative that matches at the leftmost position.
  auto m = Regex("foo|foobar").search("xfoobar");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group(), "foo");
  m = Regex("a+").search("baaab");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group(), "aaa");
  m = Regex("a+?").search("baaab");
  EXPECT_EQ(m->group(), "a");
}

TEST(RegexSearch, SpanAgreesWithSearch) {
  Regex re("b+(c)?");
  std::string subject = "abbbcabb";
  for (std::size_t offset = 0; offset <= subject.size() + 1; ++offset) {
    std::size_t s = 0, e = 0;
    bool found = re.search_span(subject, offset, s, e);
    auto m = re.search(subject, offset);
    ASSERT_EQ(found, m.has_value()) << offset;
    if (found) {
      EXPECT_EQ(s, m->start());
      EXPECT_EQ(e, m->end());
    }
  }
}

// ---- match results --------------------------------------------------------------------------

TEST(RegexMatch, GroupsSpansAndUnsetGroups) {
  auto m = Regex("(a)(x)?(b+)").search("zzabbq");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group_count(), 3u);
  EXPECT_EQ(m->start(), 2u);
  EXPECT_EQ(m->end(), 5u);
  EXPECT_EQ(m->group(0), "abb");
  EXPECT_EQ(m->group(1), "a");
  EXPECT_EQ(m->group(2), std::nullopt);
  EXPECT_EQ(m->start(2), std::string::npos);
  EXPECT_EQ(m->end(2), std::string::npos);
  EXPECT_EQ(m->group(3), "bb");
  EXPECT_EQ(m->start(3), 3u);
  EXPECT_EQ(m->end(3), 5u);
  std::vector<std::optional<std::string>> expected{"a", std::nullopt, "bb"};
  EXPECT_EQ(m->groups(), expected);
  EXPECT_THROW(m->group(4), std::out_of_range);
  EXPECT_THROW(m->start(4), std::out_of_range);
}

TEST(RegexMatch, TrailingUnsetGroupsAreCounted) {
  // PCRE2 reports only the groups up to the last one set; the match still has them all.
  auto m = Regex("(a)|(b)(c)").search("a");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group_count(), 3u);
  EXPECT_EQ(m->group(2), std::nullopt);
  EXPECT_EQ(m->group(3), std::nullopt);
}

TEST(RegexMatch, EmptyGroupIsNotUnset) {
  auto m = Regex("a(x*)b").search("ab");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group(1), "");
  EXPECT_EQ(m->start(1), 1u);
}

TEST(RegexMatch, NamedGroups) {
  auto m = Regex("(?P<user>\\w+)@(?<host>\\w+)(?<port>:\\d+)?").search("mail: joe@example now");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group("user"), "joe");
  EXPECT_EQ(m->group("host"), "example");
  EXPECT_EQ(m->group("port"), std::nullopt);
  EXPECT_THROW(m->group("nope"), std::out_of_range);
  std::map<std::string, std::optional<std::string>> expected{
      {"host", "example"}, {"port", std::nullopt}, {"user", "joe"}};
  EXPECT_EQ(m->groupdict(), expected);
  // Names stand for numbered groups.
  EXPECT_EQ(m->group(1), "joe");
  EXPECT_EQ(m->group(2), "example");
}

TEST(RegexMatch, DuplicateNamesPickTheGroupThatTookPart) {
  auto m = Regex("(?J)(?<x>a)|(?<x>b)").search("b");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group("x"), "b");
  m = Regex("(?J)(?<x>a)|(?<x>b)").search("a");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->group("x"), "a");
}

TEST(RegexMatch, NoNamedGroups) {
  auto m = Regex("a").search("a");
  ASSERT_TRUE(m);
  EXPECT_TRUE(m->groupdict().empty());
  EXPECT_TRUE(m->groups().empty());
  EXPECT_EQ(m->group_count(), 0u);
}

TEST(RegexMatch, OwnsCopiesOfItsText) {
  std::string subject = "hello world";
  auto m = Regex("(w\\w+)").search(subject);
  ASSERT_TRUE(m);
  subject.assign(subject.size(), 'x');
  subject.shrink_to_fit();
  subject = "completely different";
  EXPECT_EQ(m->group(), "world");
  EXPECT_EQ(m->group(1), "world");
}

TEST(RegexMatch, MatchDataReuseDoesNotLeakBetweenSearches) {
  Regex re("(a)|(b)");
  auto first = re.search("a");
  auto second = re.search("b");
  auto miss = re.search("c");
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_FALSE(miss);
  EXPECT_EQ(first->group(1), "a");
  EXPECT_EQ(first->group(2), std::nullopt);
  EXPECT_EQ(second->group(1), std::nullopt);
  EXPECT_EQ(second->group(2), "b");
}

TEST(RegexMatch, DefaultMatchHasNoGroups) {
  Match m;
  EXPECT_EQ(m.group_count(), 0u);
  EXPECT_THROW(m.group(), std::out_of_range);
}

// ---- bytes ----------------------------------------------------------------------------------

TEST(RegexBytes, NulInPatternAndSubject) {
  const std::string pattern = "a\0b"s;
  ASSERT_EQ(pattern.size(), 3u);
  Regex re(pattern);
  EXPECT_EQ(re.pattern(), pattern);
  const std::string subject = "x\0a\0b\0"s;
  auto m = re.search(subject);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 2u);
  EXPECT_EQ(m->end(), 5u);
  EXPECT_EQ(m->group(), "a\0b"s);
  // A NUL does not end the subject: bytes after it are searched.
  auto tail = Regex("z").search("\0\0z"s);
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->start(), 2u);
  // Escaped NUL and dot over NUL.
  EXPECT_TRUE(Regex("\\x00").search("a\0"s));
  auto dot = Regex("a.b").search("a\0b"s);
  ASSERT_TRUE(dot);
  EXPECT_EQ(dot->group()->size(), 3u);
}

TEST(RegexBytes, HighBytesAreNotDecoded) {
  // No UTF mode: a lone 0xff is an ordinary byte, "." takes exactly one byte.
  const std::string subject = "\xff\xfe\x80"s;
  auto m = Regex("\\xfe.").search(subject);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 1u);
  EXPECT_EQ(m->end(), 3u);
  EXPECT_TRUE(Regex("\xff").search(subject));
}

TEST(RegexBytes, SeveralMegabytes) {
  std::string big(6 * 1024 * 1024, 'a');
  big += "needle";
  big += std::string(1024, 'b');
  auto m = Regex("ne+dle").search(big);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->start(), 6u * 1024 * 1024);
  EXPECT_EQ(m->group(), "needle");
  // A dot-all greedy match spanning the whole buffer.
  auto all = Regex("a.*b", Regex::dotall).search(big);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->start(), 0u);
  EXPECT_EQ(all->end(), big.size());
  // A pattern that backtracks deeply: needs more than the default JIT stack.
  std::string ab;
  for (int i = 0; i < 20000; ++i) ab += "ab";
  auto deep = Regex("(a|b)*c").search(ab + "c");
  ASSERT_TRUE(deep);
  EXPECT_EQ(deep->start(), 0u);
  EXPECT_EQ(deep->end(), ab.size() + 1);
}

// ---- threads ----------------------------------------------------------------------------------

namespace {

using span_and_text = std::tuple<std::size_t, std::size_t, std::optional<std::string>>;
// Everything one buffer yields: each expression's own search, then the searcher's verdict.
using outcome = std::vector<std::pair<long, std::vector<span_and_text>>>;

std::vector<span_and_text> spans_of(const std::optional<Match>& m) {
  std::vector<span_and_text> spans;
  if (!m) return spans;
  for (std::size_t n = 0; n <= m->group_count(); ++n) spans.emplace_back(m->start(n), m->end(n), m->group(n));
  return spans;
}

outcome search_all(const pexpect_custom::pattern_list& list, const std::string& buffer) {
  outcome result;
  for (const auto& entry : list) {
    const auto& expression = std::get<Regex>(entry.value);
    result.emplace_back(0, spans_of(expression.search(buffer, buffer.size() / 3)));
  }
  pexpect_custom::searcher_re searcher(list);
  const long index = searcher.search(buffer, static_cast<long>(buffer.size()));
  result.emplace_back(index, spans_of(index >= 0 ? searcher.match : std::nullopt));
  return result;
}

}  // namespace

TEST(RegexThreads, SharedExpressionsGiveEveryThreadItsOwnResults) {
  const pexpect_custom::pattern_list list = {
      Regex("(\\w+)@(?<host>[a-z]+)(:\\d+)?"), Regex("(?<=\n)(ERR|WARN)[^\n]*"),
      Regex("(a|b)*c"),  // deep backtracking on the long buffers: the JIT needs a larger stack
      Regex("x{2,}(y)?$"), Regex("done-(\\d+)", Regex::ignorecase | Regex::dotall)};
  std::mt19937 rng(0x7ea5);
  std::vector<std::string> buffers;
  const std::string alphabet = "ab c@x:1\n\nERRWARNdone-DONE-y";
  for (int n = 0; n < 300; ++n) {
    std::string text(std::uniform_int_distribution<std::size_t>(0, 200)(rng), ' ');
    for (char& c : text)
      c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    if (n % 25 == 0) {
      for (int i = 0; i < 20000; ++i) text += "ab";
      text += n % 50 == 0 ? "c" : "";
    }
    buffers.push_back(std::move(text));
  }
  std::vector<outcome> reference;
  for (const auto& buffer : buffers) reference.push_back(search_all(list, buffer));

  // Half of the threads search the shared list itself, half their own copies of it; each walks
  // the buffers from its own starting point, so different expressions run at the same moment.
  constexpr int thread_count = 8;
  std::atomic<int> mismatches{0};
  std::atomic<int> failures{0};
  std::latch start(thread_count);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      const pexpect_custom::pattern_list copied = list;
      const auto& mine = t % 2 == 0 ? list : copied;
      start.arrive_and_wait();
      try {
        for (std::size_t step = 0; step < 20 * buffers.size(); ++step) {
          const std::size_t n = (step + static_cast<std::size_t>(t) * 37) % buffers.size();
          if (search_all(mine, buffers[n]) != reference[n]) ++mismatches;
        }
      } catch (...) {
        ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(failures.load(), 0);
}
