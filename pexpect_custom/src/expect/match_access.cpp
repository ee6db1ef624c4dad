// Reading the last expect's result as text.
#include <stdexcept>
#include <variant>

#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

std::optional<std::string> expect_base::group(std::size_t n) const {
  if (!match) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*match)) {
    return n == 0 ? std::optional<std::string>(*text) : std::nullopt;
  }
  const auto* found = std::get_if<Match>(&*match);
  if (found == nullptr || n > found->group_count()) return std::nullopt;
  return found->group(n);
}

std::optional<std::string> expect_base::group(std::string_view group_name) const {
  const auto* found = match ? std::get_if<Match>(&*match) : nullptr;
  if (found == nullptr) return std::nullopt;
  const auto groups = found->groupdict();
  const auto named = groups.find(std::string(group_name));
  return named == groups.end() ? std::nullopt : named->second;
}

std::optional<std::string> expect_base::matched_text() const {
  const auto* text = after ? std::get_if<std::string>(&*after) : nullptr;
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

}  // namespace pexpect_custom
