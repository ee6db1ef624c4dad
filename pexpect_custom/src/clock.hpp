#pragma once
// Time in fractional seconds, and sleeping that survives signals.

namespace pexpect_custom::detail {

/// Seconds on a monotonic clock; only differences are meaningful.
double now();
/// Sleeps `seconds` (fractions allowed); returns at once for zero or less. A signal does not
/// shorten the sleep.
void sleep_seconds(double seconds);

}  // namespace pexpect_custom::detail
