#pragma once
// Time in fractional seconds, and sleeping that survives signals.

#include <optional>

namespace pexpect_custom::detail {

/// Seconds on a monotonic clock; only differences are meaningful.
double now();

/// Sleeps `seconds` (fractions allowed); returns at once for zero or less. A signal does not
/// shorten the sleep. Throws std::invalid_argument for NaN, naming the value as `what`; +inf and
/// huge values sleep for as long as the system can (they are clamped, never undefined).
void sleep_seconds(double seconds, const char* what = "a delay");

/// Throws std::invalid_argument when `seconds` is NaN, naming the value as `what`.
void require_number(double seconds, const char* what);

/// A time-out as the waits take it: nullopt and +inf mean no limit (nullopt is returned), any
/// other number is kept. Throws std::invalid_argument for NaN, naming the value as `what`.
std::optional<double> checked_timeout(std::optional<double> seconds, const char* what = "timeout");

}  // namespace pexpect_custom::detail
