#include "exit_status.hpp"

namespace launcher {

int status_of(const pexpect_custom::spawn& child) {
  if (child.exitstatus && *child.exitstatus != 0) return *child.exitstatus;
  if (child.signalstatus) return 128 + *child.signalstatus;
  return 0;
}

int status_after_failed_relay(const pexpect_custom::spawn& child) {
  int status = status_of(child);
  return status != 0 ? status : 1;
}

}  // namespace launcher
