#pragma once
// The plain rule of the regular-expression searcher, kept as the reference its resumed searches
// are checked against.

#include <optional>
#include <string_view>

#include "pexpect_custom/searcher.hpp"

namespace pexpect_custom::detail {

/// Searches every expression of `searcher` from the window start (offset 0 without a window)
/// in the whole of `buffer`, as if it had never searched before, and records a match in its
/// fields exactly as searcher_re::search does. Returns the winning index or -1.
long rescanning_search(searcher_re& searcher, std::string_view buffer, std::optional<long> searchwindowsize);

}  // namespace pexpect_custom::detail
