#include "process/wait_status.hpp"

#include <sys/wait.h>

namespace pexpect_custom::detail {

decoded_status decode_wait_status(int raw) {
  if (WIFEXITED(raw)) return {wait_kind::exited, WEXITSTATUS(raw), std::nullopt};
  if (WIFSIGNALED(raw)) return {wait_kind::signaled, std::nullopt, WTERMSIG(raw)};
  if (WIFSTOPPED(raw)) return {wait_kind::stopped, std::nullopt, std::nullopt};
  return {};
}

}  // namespace pexpect_custom::detail
