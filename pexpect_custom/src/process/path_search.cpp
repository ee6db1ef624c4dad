#include "process/path_search.hpp"

namespace pexpect_custom::detail {

std::vector<std::string> path_candidates(const std::string& filename, std::string_view search_path) {
  if (search_path.empty()) search_path = default_search_path;
  std::vector<std::string> candidates;
  std::size_t from = 0;
  while (true) {
    std::size_t colon = search_path.find(':', from);
    std::string_view entry =
        search_path.substr(from, colon == std::string_view::npos ? std::string_view::npos : colon - from);
    // An absolute name stands for itself; an empty entry means the current directory.
    if ((!filename.empty() && filename.front() == '/') || entry.empty()) {
      candidates.push_back(filename);
    } else if (entry.back() == '/') {
      candidates.push_back(std::string(entry) + filename);
    } else {
      candidates.push_back(std::string(entry) + "/" + filename);
    }
    if (colon == std::string_view::npos) break;
    from = colon + 1;
  }
  return candidates;
}

}  // namespace pexpect_custom::detail
