#include "pexpect_custom/environment.hpp"

#include <unistd.h>

#include <cstring>

namespace pexpect_custom {

environment inherit_environment(const std::map<std::string, std::optional<std::string>>& changes) {
  environment inherited;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr) continue;  // not NAME=value: nothing a child could be given
    // The first entry of a name wins, as getenv() sees it.
    inherited.emplace(std::string(*entry, static_cast<std::size_t>(equals - *entry)),
                      std::string(equals + 1));
  }
  for (const auto& [name, value] : changes) {
    if (value)
      inherited.insert_or_assign(name, *value);
    else
      inherited.erase(name);
  }
  return inherited;
}

}  // namespace pexpect_custom
