#pragma once
// The environment a child is given.

#include <map>
#include <optional>
#include <string>

namespace pexpect_custom {

/// Environment map handed to a child: exactly these variables.
using environment = std::map<std::string, std::string>;

/// The calling process's own environment with `changes` applied: a name mapped to a value is set
/// to it, a name mapped to std::nullopt is removed. For the common "inherit, plus a few" case:
/// ```cpp
/// spawn child("make", {}, {.env = inherit_environment({{"LANG", "C"}, {"DISPLAY", std::nullopt}})});
/// ```
environment inherit_environment(const std::map<std::string, std::optional<std::string>>& changes = {});

}  // namespace pexpect_custom
