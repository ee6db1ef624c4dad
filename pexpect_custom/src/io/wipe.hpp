#pragma once
// Overwriting memory that held a secret, in a way the compiler may not optimise away.

#include <cstddef>

namespace pexpect_custom::detail {

/// Sets `size` bytes at `data` to zero through volatile writes, so that a clear just before the
/// memory is freed is still made.
void wipe_bytes(char* data, std::size_t size) noexcept;

}  // namespace pexpect_custom::detail
