#pragma once
// The searchers: find the earliest match of a pattern list in a buffer.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pexpect_custom/pattern.hpp"

namespace pexpect_custom {

/// What the expect loop needs of a searcher.
class searcher_base {
 public:
  virtual ~searcher_base() = default;

  /// Index of the last EOF marker in the list, or -1.
  long eof_index = -1;
  /// Index of the last TIMEOUT marker in the list, or -1.
  long timeout_index = -1;
  /// After a successful search: offset of the match's first byte.
  std::optional<std::size_t> start;
  /// After a successful search: offset just past the match's last byte.
  std::optional<std::size_t> end;

  /// Returns the index of the winning entry, or -1. `freshlen` is how many bytes at the end of
  /// `buffer` are new since the previous search; `searchwindowsize` restricts the search to the
  /// last bytes of the buffer.
  virtual long search(std::string_view buffer, long freshlen,
                      std::optional<long> searchwindowsize = std::nullopt) = 0;

  /// The same result as `search`, for a caller that vouches that `buffer` is the buffer of this
  /// searcher's previous search, unchanged, followed by `freshlen` new bytes (the expect loop,
  /// whose buffer only grows during a call). A searcher may then skip what that search settled.
  virtual long continue_search(std::string_view buffer, long freshlen,
                               std::optional<long> searchwindowsize = std::nullopt) {
    return search(buffer, freshlen, searchwindowsize);
  }

  /// The last match as the value the expect fields hold (nullopt before any match).
  virtual std::optional<match_value> match_result() const = 0;

  /// The text report: a header line, then one line per entry.
  virtual std::string str() const = 0;
};

/// Plain-text searcher: entries are matched byte for byte.
class searcher_string : public searcher_base {
 public:
  explicit searcher_string(const pattern_list& strings);

  /// (index, entry) for every entry that is not a marker.
  std::vector<std::pair<long, pattern_entry>> _strings;
  /// After a successful search: the winning string.
  std::optional<std::string> match;

  long search(std::string_view buffer, long freshlen,
              std::optional<long> searchwindowsize = std::nullopt) override;
  std::optional<match_value> match_result() const override;
  std::string str() const override;
};

/// Regular-expression searcher: entries are compiled expressions.
///
/// Every search gives the result of searching each expression from the window start (offset 0
/// without a window), whatever came before. `continue_search` with the same window and entries
/// does not look again at offsets where the previous search showed that no match can begin any
/// more, so waiting for a match at the end of N bytes read in chunks costs O(N). A derived
/// class that changes `search` changes `continue_search` too: the expect loop calls it for
/// every search after the first of a call.
class searcher_re : public searcher_base {
 public:
  explicit searcher_re(const pattern_list& patterns);

  /// (index, entry) for every entry that is not a marker.
  std::vector<std::pair<long, pattern_entry>> _searches;
  /// After a successful search: the winning expression's match.
  std::optional<Match> match;

  long search(std::string_view buffer, long freshlen,
              std::optional<long> searchwindowsize = std::nullopt) override;
  long continue_search(std::string_view buffer, long freshlen,
                       std::optional<long> searchwindowsize = std::nullopt) override;
  std::optional<match_value> match_result() const override;
  std::string str() const override;

 private:
  // What the previous search settled, for the next one to go on from.
  struct progress {
    bool valid = false;
    std::size_t length = 0;            // length of the buffer searched
    std::optional<long> window;        // searchwindowsize of that search
    std::vector<const void*> entries;  // the compiled code of each entry of _searches
    std::vector<std::size_t> resume;   // per entry: no match begins between the window
                                       // start and this offset, whatever bytes follow
  };
  progress progress_;

  // Whether a search of `length` bytes, `freshlen` of them new, with this window and the
  // current entries, can go on from progress_.
  bool continues_progress(std::size_t length, long freshlen, std::optional<long> searchwindowsize) const;
  // Searches, from progress_ when `resume` is set, else from the window start; leaves in
  // progress_ what this search settled.
  long search_and_settle(std::string_view buffer, std::optional<long> searchwindowsize, bool resume);
};

}  // namespace pexpect_custom
