#pragma once
// The library's one wait on descriptors.

#include <optional>
#include <vector>

namespace pexpect_custom::detail {

/// Descriptors found ready, by kind.
struct ready_lists {
  std::vector<int> read;
  std::vector<int> write;
  std::vector<int> except;
};

/// Waits until a descriptor of `iwtd` is readable, one of `owtd` writable or one of `ewtd` has an
/// exceptional condition, or `timeout` seconds pass (nullopt: no limit; 0: poll once). A signal
/// does not end the wait early: it goes on with the remaining time. Built on poll, so any
/// descriptor number works. Other failures throw SystemError.
ready_lists select(const std::vector<int>& iwtd, const std::vector<int>& owtd, const std::vector<int>& ewtd,
                   std::optional<double> timeout = std::nullopt);

}  // namespace pexpect_custom::detail
