#pragma once
// The calls a child makes between its start and its exec: async-signal-safe only. Each returns
// its result, or -errno on failure. On Linux the child may share its parent's memory while the
// parent runs on, errno included (it lives in the memory of the thread that started the child),
// so where the processor allows these calls go straight to the kernel and never touch errno.
// Elsewhere they go through the C library, in a child with a memory of its own.

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#if PEXPECT_LINUX_MECHANISMS
#include <sys/syscall.h>
#endif

namespace pexpect_custom::detail::child_sys {

#if PEXPECT_LINUX_MECHANISMS && (defined(__x86_64__) || defined(__aarch64__))
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
#elif PEXPECT_LINUX_MECHANISMS
/// The calls below go through the C library and set errno: a child must not share the memory
/// of a thread that runs on.
inline constexpr bool errno_free = false;

inline long call(long number, long a = 0, long b = 0, long c = 0, long d = 0) {
  const long result = ::syscall(number, a, b, c, d);
  return result < 0 ? -errno : result;
}
#else
inline constexpr bool errno_free = false;

/// A C library call's result as the calls below return it.
PEXPECT_CHILD_CODE inline long result_of(long result) {
  return result < 0 ? -errno : result;
}
#endif

#if PEXPECT_LINUX_MECHANISMS

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
PEXPECT_CHILD_CODE inline long setsid() {
  return call(SYS_setsid);
}
/// Makes terminal `fd` the controlling terminal of the new session.
PEXPECT_CHILD_CODE inline long take_terminal(int fd) {
  return call(SYS_ioctl, fd, TIOCSCTTY, 0);
}
/// A copy of `fd` on the lowest free number from `lowest` up, without close-on-exec.
PEXPECT_CHILD_CODE inline long dup_above(int fd, int lowest) {
  return call(SYS_fcntl, fd, F_DUPFD, lowest);
}
/// A copy of `fd` on `target`, without close-on-exec; `fd` must not be `target`.
PEXPECT_CHILD_CODE inline long dup_onto(int fd, int target) {
  return call(SYS_dup3, fd, target, 0);
}
PEXPECT_CHILD_CODE inline long exec(const char* path, char* const* argv, char* const* envp) {
  return call(SYS_execve, reinterpret_cast<long>(path), reinterpret_cast<long>(argv),
              reinterpret_cast<long>(envp));
}

/// Closes every descriptor from 3 up but `keep_fd`. close_range does it in the kernel without
/// touching each number; the loop up to `limit` is for kernels without it.
PEXPECT_CHILD_CODE inline void close_others(int keep_fd, int limit) {
  bool closed_all = keep_fd <= 3 || call(SYS_close_range, 3, keep_fd - 1, 0) == 0;
  closed_all = closed_all && call(SYS_close_range, keep_fd + 1, ~0u, 0) == 0;
  if (closed_all) return;
  for (int fd = 3; fd < limit; ++fd) {
    if (fd != keep_fd) close(fd);
  }
}

// The kernel's form of a signal action; a default or ignored disposition needs no restorer.
struct kernel_sigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

/// Every signal to its default disposition (SIGHUP ignored with `ignore_sighup`), none blocked.
/// SIGKILL and SIGSTOP are refused by the kernel, harmlessly.
PEXPECT_CHILD_CODE inline void reset_signals(bool ignore_sighup) {
  kernel_sigaction action{SIG_DFL, 0, nullptr, 0};
  for (int sig = 1; sig < NSIG; ++sig) {
    call(SYS_rt_sigaction, sig, reinterpret_cast<long>(&action), 0, sizeof action.mask);
  }
  if (ignore_sighup) {
    action.handler = SIG_IGN;
    call(SYS_rt_sigaction, SIGHUP, reinterpret_cast<long>(&action), 0, sizeof action.mask);
  }
  const unsigned long none = 0;
  call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&none), 0, sizeof none);
}

#else

PEXPECT_CHILD_CODE inline long close(int fd) {
  return result_of(::close(fd));
}
PEXPECT_CHILD_CODE inline long open(const char* path, int flags) {
  return result_of(::open(path, flags));
}
PEXPECT_CHILD_CODE inline long write(int fd, const void* data, unsigned long size) {
  return result_of(::write(fd, data, size));
}
[[noreturn]] PEXPECT_CHILD_CODE inline void exit(int status) {
  ::_exit(status);
}
PEXPECT_CHILD_CODE inline long setsid() {
  return result_of(::setsid());
}
PEXPECT_CHILD_CODE inline long take_terminal(int fd) {
  return result_of(::ioctl(fd, TIOCSCTTY, 0));
}
PEXPECT_CHILD_CODE inline long dup_above(int fd, int lowest) {
  return result_of(::fcntl(fd, F_DUPFD, lowest));
}
PEXPECT_CHILD_CODE inline long dup_onto(int fd, int target) {
  return result_of(::dup2(fd, target));
}
PEXPECT_CHILD_CODE inline long exec(const char* path, char* const* argv, char* const* envp) {
  return result_of(::execve(path, argv, envp));
}

/// Closes every descriptor from 3 up to `limit` but `keep_fd`, one number at a time: POSIX has
/// no call that closes a range. It costs one system call per number below the limit.
PEXPECT_CHILD_CODE inline void close_others(int keep_fd, int limit) {
  for (int fd = 3; fd < limit; ++fd) {
    if (fd != keep_fd) ::close(fd);
  }
}

/// Every signal to its default disposition (SIGHUP ignored with `ignore_sighup`), none blocked.
/// SIGKILL, SIGSTOP and signals the C library keeps for itself are refused, harmlessly.
PEXPECT_CHILD_CODE inline void reset_signals(bool ignore_sighup) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &action, nullptr);
  if (ignore_sighup) {
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

#endif

}  // namespace pexpect_custom::detail::child_sys
