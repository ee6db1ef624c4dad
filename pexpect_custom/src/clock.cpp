#include "clock.hpp"

#include <time.h>

#include <cerrno>
#include <cmath>

namespace pexpect_custom::detail {

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_seconds(double seconds) {
  if (!(seconds > 0)) return;
  double whole = std::floor(seconds);
  timespec remaining{static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

}  // namespace pexpect_custom::detail
