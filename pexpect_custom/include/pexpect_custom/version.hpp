#pragma once
// The library's version constants.

namespace pexpect_custom {

/// The library's version.
inline constexpr const char* version = "2.4";
/// The library's revision.
inline constexpr const char* revision = "$Revision: 516 $";

}  // namespace pexpect_custom
