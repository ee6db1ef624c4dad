#pragma once
// Decoding a raw wait status into the exit-status fields.

#include <optional>

namespace pexpect_custom::detail {

enum class wait_kind { exited, signaled, stopped, other };

struct decoded_status {
  wait_kind kind = wait_kind::other;
  std::optional<int> exitstatus;
  std::optional<int> signalstatus;
};

/// What a raw status from waitpid says.
decoded_status decode_wait_status(int raw);

}  // namespace pexpect_custom::detail
