// Both searchers against brute force. The reference looks at every (position, entry) pair: an
// entry occurs at a position when the pattern matches there, anchored, and the position lies
// inside the entry's allowed range; the winner is the smallest position, then the smallest
// index, and a position at the very end of the buffer never counts. The regular-expression
// reference drives PCRE2 directly, one anchored attempt per position.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <fuzzer/FuzzedDataProvider.h>
#include <pcre2.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "pexpect_custom/searcher.hpp"

namespace {

using namespace pexpect_custom;

// Mostly a small alphabet, so that patterns occur often; sometimes any byte.
std::string text_from(FuzzedDataProvider& input, std::size_t max_length) {
  std::string text = input.ConsumeRandomLengthString(max_length);
  if (input.ConsumeBool()) {
    for (char& c : text) c = "abcA\n"[static_cast<unsigned char>(c) % 5];
  }
  return text;
}

// A small expression from a grammar that stays clear of constructs that move a match's start
// away from where the attempt began (\K, \G, backtracking verbs).
std::string expression_from(FuzzedDataProvider& input, int depth = 0) {
  static const char* const atoms[] = {"a", "b", "c", "A", ".", "\\n", "[ab]", "[^a]", "\\w", "\\s", "x"};
  static const char* const quantifiers[] = {"", "", "", "*", "+", "?", "{0,2}", "*?", "+?", "{2}"};
  std::string alternatives;
  const int branches = input.ConsumeIntegralInRange(1, depth < 2 ? 3 : 1);
  for (int b = 0; b < branches; ++b) {
    if (b > 0) alternatives += "|";
    const int pieces = input.ConsumeIntegralInRange(0, 3);
    for (int p = 0; p < pieces; ++p) {
      std::string atom;
      bool quantifiable = true;
      switch (depth < 2 ? input.ConsumeIntegralInRange(0, 4) : 0) {
        // A group is at most optional: repeating groups that repeat inside makes backtracking
        // exponential, and each such case would only spend the run on the engine's limits.
        case 1:
          atom = "(" + expression_from(input, depth + 1) + ")" + (input.ConsumeBool() ? "?" : "");
          quantifiable = false;
          break;
        case 2:
          atom = "(?:" + expression_from(input, depth + 1) + ")" + (input.ConsumeBool() ? "?" : "");
          quantifiable = false;
          break;
        case 3:
          atom = input.ConsumeBool() ? "(?<=a)" : "(?=b)";
          quantifiable = false;
          break;
        case 4:
          atom = input.ConsumeBool() ? "^" : "$";
          quantifiable = false;
          break;
        default:
          atom = atoms[input.ConsumeIntegralInRange<std::size_t>(0, std::size(atoms) - 1)];
      }
      if (quantifiable)
        atom += quantifiers[input.ConsumeIntegralInRange<std::size_t>(0, std::size(quantifiers) - 1)];
      alternatives += atom;
    }
  }
  return alternatives;
}

struct found {
  long index = -1;
  std::size_t start = 0;
  std::size_t end = 0;
};

// Picks the smallest (position, index) among the candidates; positions at the end never count.
void consider(found& best, std::size_t buffer_length, std::size_t position, long index, std::size_t end) {
  if (position >= buffer_length) return;
  if (best.index < 0 || position < best.start || (position == best.start && index < best.index)) {
    best = {index, position, end};
  }
}

// ---- plain text ------------------------------------------------------------------------------

found plain_reference(const std::string& buffer, const std::vector<std::pair<long, std::string>>& strings,
                      long freshlen, std::optional<long> window) {
  found best;
  const long length = static_cast<long>(buffer.size());
  for (const auto& [index, s] : strings) {
    const long size = static_cast<long>(s.size());
    // Where this string may begin: counted back from the end for a negative offset, the whole
    // buffer for 0, the offset itself for a positive one.
    const long offset = window ? -*window : -(freshlen + size);
    const long from = offset < 0 ? std::max(0L, length + offset) : offset;
    for (long position = from; position + size <= length; ++position) {
      if (buffer.compare(static_cast<std::size_t>(position), s.size(), s) == 0) {
        consider(best, buffer.size(), static_cast<std::size_t>(position), index,
                 static_cast<std::size_t>(position + size));
      }
    }
  }
  return best;
}

// ---- regular expressions ---------------------------------------------------------------------

struct code_deleter {
  void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct match_data_deleter {
  void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

struct reference_expression {
  long index;
  std::unique_ptr<pcre2_code, code_deleter> code;
};

std::optional<reference_expression> compile_reference(long index, const std::string& source, unsigned flags) {
  uint32_t options = 0;
  if (flags & Regex::dotall) options |= PCRE2_DOTALL;
  if (flags & Regex::ignorecase) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), options,
                                   &error, &offset, nullptr);
  if (code == nullptr) return std::nullopt;
  return reference_expression{index, std::unique_ptr<pcre2_code, code_deleter>(code)};
}

struct regex_found {
  bool gave_up = false;  // the engine hit one of its limits: nothing to compare
  found at;
  std::vector<std::optional<std::string>> groups;  // of the winner, group 0 first
};

regex_found regex_reference(const std::string& buffer, const std::vector<reference_expression>& expressions,
                            std::optional<long> window) {
  regex_found best;
  if (window && *window < 0) return best;  // the search would start past the end
  const std::size_t from = window && static_cast<std::size_t>(*window) < buffer.size()
                               ? buffer.size() - static_cast<std::size_t>(*window)
                               : 0;
  // A low backtracking limit: an expression that needs more only spends the run's time on the
  // engine's limits, and such an input is left out (the searcher is not asked either).
  static pcre2_match_context* const context = [] {
    pcre2_match_context* made = pcre2_match_context_create(nullptr);
    pcre2_set_match_limit(made, 100000);
    return made;
  }();
  for (const auto& expression : expressions) {
    std::unique_ptr<pcre2_match_data, match_data_deleter> data(
        pcre2_match_data_create_from_pattern(expression.code.get(), nullptr));
    for (std::size_t position = from; position < buffer.size(); ++position) {
      int rc = pcre2_match(expression.code.get(), reinterpret_cast<PCRE2_SPTR>(buffer.data()), buffer.size(),
                           position, PCRE2_ANCHORED | PCRE2_NO_JIT, data.get(), context);
      if (rc == PCRE2_ERROR_NOMATCH) continue;
      if (rc < 0) {
        best.gave_up = true;
        return best;
      }
      const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
      const long before_index = best.at.index;
      const std::size_t before_start = best.at.start;
      consider(best.at, buffer.size(), position, expression.index, ovector[1]);
      if (best.at.index != before_index || best.at.start != before_start) {
        best.groups.clear();
        const uint32_t pairs = pcre2_get_ovector_count(data.get());
        for (uint32_t g = 0; g < pairs && g < static_cast<uint32_t>(rc); ++g) {
          if (ovector[2 * g] == PCRE2_UNSET)
            best.groups.emplace_back(std::nullopt);
          else
            best.groups.emplace_back(buffer.substr(ovector[2 * g], ovector[2 * g + 1] - ovector[2 * g]));
        }
      }
      break;  // the first position is this expression's only candidate
    }
  }
  return best;
}

std::string describe(const std::string& buffer, long freshlen, std::optional<long> window,
                     const std::string& list) {
  return "buffer " + fuzz::printable(buffer) + "\nfreshlen " + std::to_string(freshlen) + " window " +
         (window ? std::to_string(*window) : std::string("none")) + "\nentries " + list;
}

// A marker now and then, at any position; it keeps its index but is never searched.
template <typename Make>
pattern_list entries_from(FuzzedDataProvider& input, Make make_pattern) {
  pattern_list entries;
  const int count = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < count; ++i) {
    switch (input.ConsumeIntegralInRange(0, 7)) {
      case 0:
        entries.emplace_back(EOF_marker);
        break;
      case 1:
        entries.emplace_back(TIMEOUT_marker);
        break;
      default:
        entries.push_back(make_pattern());
    }
  }
  return entries;
}

void check_plain(FuzzedDataProvider& input) {
  std::vector<std::pair<long, std::string>> strings;
  std::string list;
  pattern_list entries = entries_from(input, [&] { return pattern_entry(text_from(input, 4)); });
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (const auto* s = std::get_if<std::string>(&entries[i].value)) {
      strings.emplace_back(static_cast<long>(i), *s);
      list += fuzz::printable(*s) + " ";
    } else {
      list += entries[i].is_eof() ? "EOF " : "TIMEOUT ";
    }
  }
  searcher_string searcher(entries);
  std::string buffer;
  for (int round = 0; round < 3; ++round) {
    // A new buffer, or the last one with more bytes at its end, as the expect loop grows it.
    const bool grows = round > 0 && input.ConsumeBool();
    const std::string more = text_from(input, grows ? 16 : 48);
    buffer = grows ? buffer + more : more;
    const long freshlen = grows && input.ConsumeBool()
                              ? static_cast<long>(more.size())
                              : input.ConsumeIntegralInRange<long>(-2, static_cast<long>(buffer.size()) + 2);
    std::optional<long> window;
    if (input.ConsumeBool())
      window = input.ConsumeIntegralInRange<long>(-2, static_cast<long>(buffer.size()) + 2);
    const auto previous = std::make_tuple(searcher.match, searcher.start, searcher.end);
    const long index = searcher.search(buffer, freshlen, window);
    const found expected = plain_reference(buffer, strings, freshlen, window);
    const std::string context = describe(buffer, freshlen, window, list);
    FUZZ_CHECK(index == expected.index,
               context + "\nindex " + std::to_string(index) + " expected " + std::to_string(expected.index));
    if (index < 0) {
      // A failed search changes nothing.
      FUZZ_CHECK(std::make_tuple(searcher.match, searcher.start, searcher.end) == previous, context);
      continue;
    }
    FUZZ_CHECK(searcher.start == expected.start && searcher.end == expected.end,
               context + "\nspan " + std::to_string(*searcher.start) + ".." + std::to_string(*searcher.end) +
                   " expected " + std::to_string(expected.start) + ".." + std::to_string(expected.end));
    FUZZ_CHECK(searcher.match == buffer.substr(expected.start, expected.end - expected.start), context);
  }
}

void check_regex(FuzzedDataProvider& input) {
  std::vector<reference_expression> references;
  std::string list;
  pattern_list entries = entries_from(input, [&]() -> pattern_entry {
    const std::string source = expression_from(input);
    const unsigned flags = input.ConsumeIntegralInRange(0u, 3u);
    auto reference = compile_reference(-1, source, flags);
    if (!reference) return pattern_entry(EOF_marker);  // cannot happen with this grammar; keep the list valid
    references.push_back(std::move(*reference));
    list += "/" + source + "/" + std::to_string(flags) + " ";
    return pattern_entry(Regex(source, flags));
  });
  // Each expression's index is its place in the list, markers counted.
  std::size_t next_reference = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (std::holds_alternative<Regex>(entries[i].value))
      references[next_reference++].index = static_cast<long>(i);
  }
  searcher_re searcher(entries);
  std::string buffer;
  for (int round = 0; round < 3; ++round) {
    const bool grows = round > 0 && input.ConsumeBool();
    const std::string more = text_from(input, grows ? 16 : 48);
    buffer = grows ? buffer + more : more;
    const long freshlen = static_cast<long>(grows ? more.size() : buffer.size());
    std::optional<long> window;
    if (input.ConsumeBool())
      window = input.ConsumeIntegralInRange<long>(-2, static_cast<long>(buffer.size()) + 2);
    const regex_found expected = regex_reference(buffer, references, window);
    if (expected.gave_up) return;
    const std::optional<std::size_t> previous_start = searcher.start;
    long index;
    try {
      // A grown buffer continues the previous search, as in the expect loop.
      index = grows ? searcher.continue_search(buffer, freshlen, window)
                    : searcher.search(buffer, freshlen, window);
    } catch (const std::runtime_error&) {
      // An expression whose backtracking exceeds the engine's limits fails the search with an
      // error, as it should; there is no result to compare.
      return;
    }
    const std::string context = describe(buffer, freshlen, window, list);
    FUZZ_CHECK(index == expected.at.index, context + "\nindex " + std::to_string(index) + " expected " +
                                               std::to_string(expected.at.index));
    if (index < 0) {
      FUZZ_CHECK(searcher.start == previous_start, context);
      continue;
    }
    FUZZ_CHECK(searcher.start == expected.at.start && searcher.end == expected.at.end,
               context + "\nspan " + std::to_string(*searcher.start) + ".." + std::to_string(*searcher.end) +
                   " expected " + std::to_string(expected.at.start) + ".." + std::to_string(expected.at.end));
    // Groups past the last one that took part are unset in the reference's report.
    const Match& match = *searcher.match;
    FUZZ_CHECK(expected.groups.size() <= match.group_count() + 1, context);
    for (std::size_t g = 0; g <= match.group_count(); ++g) {
      const std::optional<std::string> wanted =
          g < expected.groups.size() ? expected.groups[g] : std::nullopt;
      FUZZ_CHECK(match.group(g) == wanted, context + "\ngroup " + std::to_string(g));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool())
    check_plain(input);
  else
    check_regex(input);
  return 0;
}
