#pragma once
// The candidate paths a command name stands for on a search path.

#include <string>
#include <string_view>
#include <vector>

namespace pexpect_custom::detail {

/// The search path used when PATH is unset or empty.
inline constexpr std::string_view default_search_path = ":/bin:/usr/bin";

/// One candidate per entry of `search_path` (the default path when it is empty), in order: an
/// absolute `filename` stands for itself, an empty entry means the current directory.
std::vector<std::string> path_candidates(const std::string& filename, std::string_view search_path);

}  // namespace pexpect_custom::detail
