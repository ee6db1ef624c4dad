#pragma once
// The library's error family and the two marker values.

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace pexpect_custom {

/// A failure the library detects itself. `what()` is exactly `value`.
class ExceptionPexpect : public std::exception {
 public:
  explicit ExceptionPexpect(std::string value);

  /// The message given at construction.
  std::string value;

  const char* what() const noexcept override { return value.c_str(); }

  /// The call trace captured where this error was made, one entry per frame (each ending in a line
  /// feed), innermost frame last. Frames from source files named "pexpect" followed directly by a
  /// source-file extension are left out.
  std::string get_trace() const;

 private:
  std::vector<void*> frames_;  // return addresses, outermost first
};

/// The child's output reached end of file. (`EOF` is a C macro, hence the underscore.)
class EOF_ : public ExceptionPexpect {
 public:
  using ExceptionPexpect::ExceptionPexpect;
};

/// A read or an expect ran past its time-out.
class TIMEOUT : public ExceptionPexpect {
 public:
  using ExceptionPexpect::ExceptionPexpect;
};

/// An error reported by the operating system. `code().value()` is the errno, and `what()` is
/// exactly "[Errno N] description".
class SystemError : public std::system_error {
 public:
  explicit SystemError(int errno_value);
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::string text_;
};

/// A failure of a terminal-attribute call (tcgetattr, tcsetattr).
class TerminalError : public SystemError {
 public:
  using SystemError::SystemError;
};

/// Throws SystemError for the current errno.
[[noreturn]] void throw_system_error();
/// Throws TerminalError for the current errno.
[[noreturn]] void throw_terminal_error();

/// Marker type standing for end of file in pattern lists and match fields.
struct EOF_marker_t {
  friend constexpr bool operator==(EOF_marker_t, EOF_marker_t) { return true; }
};
/// Marker type standing for a time-out in pattern lists and match fields.
struct TIMEOUT_marker_t {
  friend constexpr bool operator==(TIMEOUT_marker_t, TIMEOUT_marker_t) { return true; }
};
/// The end-of-file marker value.
inline constexpr EOF_marker_t EOF_marker{};
/// The time-out marker value.
inline constexpr TIMEOUT_marker_t TIMEOUT_marker{};

}  // namespace pexpect_custom
