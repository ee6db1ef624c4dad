#pragma once
// What exec can carry: C strings end at the first NUL, and an environment entry is NAME=value.
// A start checks its values here before it changes, opens or forks anything, so that nothing is
// silently cut short or turned into another variable.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pexpect_custom::detail {

/// Throws std::invalid_argument naming the first value exec cannot pass unchanged: an element of
/// `args` (element 0 is the command) or `cwd` holding a NUL byte, or an `env` entry whose name is
/// empty or holds "=" or a NUL byte, or whose value holds a NUL byte.
void check_exec_values(const std::vector<std::string>& args, const std::optional<std::string>& cwd,
                       const std::optional<std::map<std::string, std::string>>& env);

}  // namespace pexpect_custom::detail
