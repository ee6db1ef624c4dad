#pragma once
// What the regular-expression searcher needs of a compiled expression beyond its public
// interface: a search that treats the end of the subject as the end of the output received so
// far, so that a later search can begin where no match can begin any more.

#include <cstddef>
#include <string_view>

#include "pexpect_custom/regex.hpp"

namespace pexpect_custom::detail {

struct regex_access {
  /// The result of a search that expects more bytes to follow the subject.
  enum class outcome {
    none,      ///< no match can begin at or after the start offset, whatever bytes follow
    complete,  ///< a whole match that no further byte can change
    partial,   ///< a match attempt ran into the end of the subject
  };

  /// Hard partial search of `subject` from `start_offset`. For `complete` and `partial`,
  /// `match_start` is where that match (attempt) begins; every offset from `start_offset` up to
  /// it is then settled: no match can begin there however much output follows.
  static outcome search_partial(const Regex& expression, std::string_view subject, std::size_t start_offset,
                                std::size_t& match_start);

  /// Whether the expression finds the same matches whatever offset a search starts from (at
  /// or before them), so that a later search may start where an earlier one left off. False
  /// for expressions holding \G (matches at the start offset), \K (a match reported after
  /// the position it began at) or backtracking verbs such as (*COMMIT) and (*SKIP).
  static bool resumable(const Regex& expression);

  /// Identifies the compiled code, which copies of an expression share.
  static const void* identity(const Regex& expression);
};

}  // namespace pexpect_custom::detail
