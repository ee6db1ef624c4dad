#pragma once
// Time-out and delay arguments: seconds as a number, or any std::chrono duration.

#include <chrono>
#include <optional>
#include <type_traits>

namespace pexpect_custom {

/// Seconds as a plain number (not a truth value).
template <typename T>
concept seconds_number = std::is_arithmetic_v<T> && !std::is_same_v<T, bool>;

/// A time-out argument. As a number of seconds, -1 stands for the object's own `timeout` field
/// and std::nullopt for no limit, as everywhere in the library; a std::chrono duration is always
/// exactly that long (a negative one is a time-out already spent, never the field).
/// ```cpp
/// spawn child("sh -c 'sleep 1; echo done'");
/// child.expect("done", 5);
/// child.expect(EOF_marker, std::chrono::milliseconds(500));
/// ```
class timeout_arg {
 public:
  timeout_arg(std::nullopt_t) noexcept {}
  template <seconds_number Number>
  timeout_arg(Number seconds) noexcept : seconds_(static_cast<double>(seconds)), number_(true) {}
  timeout_arg(std::optional<double> seconds) noexcept : seconds_(seconds), number_(true) {}
  template <typename Rep, typename Period>
  timeout_arg(std::chrono::duration<Rep, Period> length) noexcept
      : seconds_(std::chrono::duration<double>(length).count()) {}

  /// Whether this is the number -1, which stands for the object's `timeout` field.
  bool means_field() const noexcept { return number_ && seconds_ == -1.0; }
  /// The time-out in seconds (nullopt: no limit), with -1 replaced by `field`.
  std::optional<double> resolve(std::optional<double> field) const noexcept {
    return means_field() ? field : seconds_;
  }
  /// The time-out in seconds as given (-1 stays -1).
  std::optional<double> seconds() const noexcept { return seconds_; }

 private:
  std::optional<double> seconds_;
  bool number_ = false;
};

/// A delay argument: a number of seconds or a std::chrono duration.
class delay_arg {
 public:
  template <seconds_number Number>
  constexpr delay_arg(Number seconds) noexcept : seconds_(static_cast<double>(seconds)) {}
  template <typename Rep, typename Period>
  constexpr delay_arg(std::chrono::duration<Rep, Period> length) noexcept
      : seconds_(std::chrono::duration<double>(length).count()) {}

  /// The delay in seconds.
  constexpr double seconds() const noexcept { return seconds_; }
  constexpr operator double() const noexcept { return seconds_; }

 private:
  double seconds_;
};

}  // namespace pexpect_custom
