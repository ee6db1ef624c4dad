#pragma once
// Compiled regular expressions over byte strings, and the match results they produce.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pexpect_custom {

namespace detail {
struct regex_access;
}

/// An expression that does not compile. `what()` carries the engine's own message and the offset.
class regex_error : public std::invalid_argument {
 public:
  regex_error(const std::string& message, std::size_t offset);
  /// Offset in the pattern where the fault was found.
  std::size_t offset() const noexcept { return offset_; }

 private:
  std::size_t offset_;
};

/// The result of one successful search. It owns copies of everything it reports.
class Match {
 public:
  Match() = default;
  Match(std::size_t start, std::size_t end, std::vector<std::optional<std::string>> groups,
        std::vector<std::pair<std::size_t, std::size_t>> spans, std::map<std::string, std::size_t> names);

  /// Start offset of group `n` (0: the whole match) in the searched buffer; npos if it did not take part.
  std::size_t start(std::size_t n = 0) const;
  /// End offset (one past the last byte) of group `n`; npos if it did not take part.
  std::size_t end(std::size_t n = 0) const;
  /// Text of group `n` (0: the whole match); nullopt if the group did not take part.
  std::optional<std::string> group(std::size_t n = 0) const;
  /// Text of the named group; nullopt if it did not take part. Throws std::out_of_range for an unknown name.
  std::optional<std::string> group(std::string_view name) const;
  /// The capturing groups 1..n.
  std::vector<std::optional<std::string>> groups() const;
  /// Every named group with its text.
  std::map<std::string, std::optional<std::string>> groupdict() const;
  /// Number of capturing groups (not counting group 0).
  std::size_t group_count() const { return groups_.empty() ? 0 : groups_.size() - 1; }

 private:
  std::vector<std::optional<std::string>> groups_;  // index 0 is the whole match
  std::vector<std::pair<std::size_t, std::size_t>> spans_;
  std::map<std::string, std::size_t> names_;
};

/// A compiled regular expression (Perl syntax, bytes). Copies share the compiled code, so a
/// pattern handed to a searcher is the caller's own. Searching changes nothing in it: any number
/// of threads may search with one Regex and its copies at the same time.
class Regex {
 public:
  /// Compile flags.
  enum flag : unsigned { none = 0, dotall = 1u << 0, ignorecase = 1u << 1 };

  /// Compiles `pattern` once (JIT when available). Throws regex_error.
  explicit Regex(std::string_view pattern, unsigned flags = none);

  /// The source text.
  const std::string& pattern() const;
  /// The flags it was compiled with.
  unsigned flags() const;

  /// Searches unanchored in the whole `subject`, from `start_offset` on: `^` matches only at
  /// offset 0 of the subject and look-behind sees bytes before `start_offset`. nullopt when
  /// there is no match (or `start_offset` lies past the end).
  std::optional<Match> search(std::string_view subject, std::size_t start_offset = 0) const;

  /// Same as `search`, reporting only the whole match's offsets (no copies).
  bool search_span(std::string_view subject, std::size_t start_offset, std::size_t& match_start,
                   std::size_t& match_end) const;

  struct impl;

 private:
  friend struct detail::regex_access;  // the searchers' resumable search
  std::shared_ptr<impl> impl_;
};

}  // namespace pexpect_custom
