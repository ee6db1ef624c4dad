#include "pexpect_custom/errors.hpp"

#include <cerrno>
#include <cstring>

#include "expect/trace.hpp"

namespace pexpect_custom {

ExceptionPexpect::ExceptionPexpect(std::string value_text)
    : value(std::move(value_text)), frames_(detail::capture_trace()) {}

std::string ExceptionPexpect::get_trace() const {
  return detail::format_trace(frames_);
}

namespace {
std::string errno_text(int errno_value) {
  return "[Errno " + std::to_string(errno_value) + "] " + std::strerror(errno_value);
}
}  // namespace

SystemError::SystemError(int errno_value)
    : std::system_error(errno_value, std::generic_category()), text_(errno_text(errno_value)) {}

void throw_system_error() {
  throw SystemError(errno);
}
void throw_terminal_error() {
  throw TerminalError(errno);
}

}  // namespace pexpect_custom
