#pragma once
// The system calls of a child before its exec. The child may share its parent's memory while the
// parent runs on, errno included (it lives in the memory of the thread that started the child),
// so where the platform allows these calls go straight to the kernel and never touch errno: each
// returns its result, or -errno on failure.

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "process/child_exec.hpp"

namespace pexpect_custom::detail::child_sys {

#if defined(__x86_64__) || defined(__aarch64__)
/// The calls below leave errno alone.
inline constexpr bool errno_free = true;

PEXPECT_CHILD_CODE inline long call(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
#if defined(__x86_64__)
  long result;
  register long r10 __asm__("r10") = d;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                   : "rcx", "r11", "memory");
  return result;
#else
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
  return x0;
#endif
}
#else
/// The calls below go through the C library and set errno: a child must not share the memory
/// of a thread that runs on.
inline constexpr bool errno_free = false;

inline long call(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
  const long result = ::syscall(number, a, b, c, d);
  return result < 0 ? -errno : result;
}
#endif

PEXPECT_CHILD_CODE inline long close(int fd) {
  return call(SYS_close, fd);
}
PEXPECT_CHILD_CODE inline long open(const char* path, int flags) {
  return call(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), flags);
}
PEXPECT_CHILD_CODE inline long write(int fd, const void* data, unsigned long size) {
  return call(SYS_write, fd, reinterpret_cast<long>(data), static_cast<long>(size));
}
[[noreturn]] PEXPECT_CHILD_CODE inline void exit(int status) {
  for (;;) call(SYS_exit_group, status);
}

}  // namespace pexpect_custom::detail::child_sys
