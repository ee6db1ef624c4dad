#pragma once
// Command resolution and splitting.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pexpect_custom {

/// Cuts a command line into arguments like a simple shell: backslash escapes, single and double
/// quotes, and the six whitespace bytes " \t\n\v\f\r". Nothing else is special.
std::vector<std::string> split_command_line(std::string_view command_line);

/// The executable `filename` names on this process's own PATH (":/bin:/usr/bin" when PATH is unset
/// or empty), or nullopt. A name containing "/" is tried as it is first.
std::optional<std::string> which(std::string_view filename);

}  // namespace pexpect_custom
