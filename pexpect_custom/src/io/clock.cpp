#include "io/clock.hpp"

#include <time.h>

#include <cerrno>
#include <cmath>
#include <stdexcept>
#include <string>

namespace pexpect_custom::detail {

namespace {

// About 31 million years: far beyond any real wait, and well inside time_t.
constexpr double longest_sleep_seconds = 1e15;

}  // namespace

void require_number(double seconds, const char* what) {
  if (std::isnan(seconds)) {
    throw std::invalid_argument(std::string(what) + " must be a number of seconds, not NaN");
  }
}

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_seconds(double seconds, const char* what) {
  require_number(seconds, what);
  if (!(seconds > 0)) return;
  if (seconds > longest_sleep_seconds) seconds = longest_sleep_seconds;
  double whole = std::floor(seconds);
  timespec remaining{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::optional<double> checked_timeout(std::optional<double> seconds, const char* what) {
  if (!seconds) return std::nullopt;
  require_number(*seconds, what);
  if (std::isinf(*seconds) && *seconds > 0) return std::nullopt;
  return seconds;
}

}  // namespace pexpect_custom::detail
