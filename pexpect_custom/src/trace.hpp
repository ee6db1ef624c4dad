#pragma once
// Call traces for ExceptionPexpect::get_trace().

#include <string>
#include <vector>

namespace pexpect_custom::detail {

/// Raw frames of the current call stack, captured cheaply (symbolised only when formatted).
std::vector<std::string> capture_trace();
/// One entry per kept frame, each ending in a line feed.
std::string format_trace(const std::vector<std::string>& frames);
/// The filter: false for a frame whose source file is named "pexpect" plus a source extension.
bool filter_not_pexpect(const std::string& source_file);

}  // namespace pexpect_custom::detail
