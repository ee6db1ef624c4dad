#include "process/child_exec.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "process/path_search.hpp"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PEXPECT_ADDRESS_SANITIZER 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define PEXPECT_ADDRESS_SANITIZER 1
#endif
#ifdef PEXPECT_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace pexpect_custom::detail {

namespace {

std::vector<std::string> exec_candidates(const std::string& command,
                                         const std::optional<std::map<std::string, std::string>>& env) {
  if (!env || command.find('/') != std::string::npos) return {command};
  auto path = env->find("PATH");
  if (path == env->end()) return path_candidates(command, default_search_path);
  if (path->second.empty()) return {command};
  return path_candidates(command, path->second);
}

std::vector<const char*> pointers_to(const std::vector<std::string>& strings) {
  std::vector<const char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const auto& s : strings) pointers.push_back(s.c_str());
  pointers.push_back(nullptr);
  return pointers;
}

PEXPECT_CHILD_CODE void close_other_descriptors(int keep_fd) {
  // close_range closes in the kernel without touching each number; the loop is the fallback for
  // kernels without it, bounded by the soft descriptor limit.
  bool closed_all = keep_fd <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep_fd - 1), 0u) == 0;
  closed_all = closed_all && syscall(SYS_close_range, static_cast<unsigned>(keep_fd + 1), ~0u, 0u) == 0;
  if (closed_all) return;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd) {
    if (static_cast<int>(fd) != keep_fd) ::close(static_cast<int>(fd));
  }
}

// With SIGHUP at its default, the hang-up the kernel sends when the terminal closes ends the
// program and, through the session, the jobs it started.
PEXPECT_CHILD_CODE void reset_signals(bool ignore_sighup) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &action, nullptr);
  if (ignore_sighup) {
    action.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &action, nullptr);
  }
  sigset_t empty;
  sigemptyset(&empty);
  sigprocmask(SIG_SETMASK, &empty, nullptr);
}

// The child needs a few KiB; the rest is room for instrumented builds. Pages never touched cost
// nothing, and the lowest page is a guard.
constexpr std::size_t child_stack_bytes = std::size_t{256} * 1024;

struct child_start {
  const exec_plan* plan;
  const terminal_handover* terminal;
  int error_fd;
};

PEXPECT_CHILD_CODE int child_main(void* argument) {
  const auto& start = *static_cast<const child_start*>(argument);
  start.terminal->attach(*start.terminal, start.error_fd);
  become_program(*start.plan, start.error_fd);
}

class child_stack {
 public:
  child_stack() {
    void* area = mmap(nullptr, child_stack_bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (area == MAP_FAILED) return;
    base_ = static_cast<char*>(area);
    mprotect(base_, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE);
  }
  child_stack(const child_stack&) = delete;
  child_stack& operator=(const child_stack&) = delete;
  ~child_stack() {
    if (!base_) return;
#ifdef PEXPECT_ADDRESS_SANITIZER
    // The child's frames never returned; their red zones must not outlive the mapping.
    __asan_unpoison_memory_region(base_, child_stack_bytes);
#endif
    munmap(base_, child_stack_bytes);
  }
  bool usable() const {
    return base_ != nullptr;
  }
  void* top() const {
    return base_ + child_stack_bytes;
  }

 private:
  char* base_ = nullptr;
};

}  // namespace

exec_plan::exec_plan(const std::string& command, const std::vector<std::string>& args,
                     const std::optional<std::map<std::string, std::string>>& env, bool ignore_sighup)
    : argv_(args),
      candidates_(exec_candidates(command, env)),
      inherit_env_(!env),
      ignore_sighup_(ignore_sighup) {
  if (env) {
    for (const auto& [name, value] : *env) envp_.emplace_back(name).append("=").append(value);
  }
  argv_ptrs_ = pointers_to(argv_);
  envp_ptrs_ = pointers_to(envp_);
  candidate_ptrs_ = pointers_to(candidates_);
  candidate_ptrs_.pop_back();
}

char* const* exec_plan::envp() const {
  return inherit_env_ ? nullptr : const_cast<char* const*>(envp_ptrs_.data());
}

PEXPECT_CHILD_CODE void report_child_failure(int error_fd, child_failure failure) {
  ssize_t ignored = ::write(error_fd, &failure, sizeof failure);
  (void)ignored;
  _exit(1);
}

PEXPECT_CHILD_CODE void become_program(const exec_plan& plan, int error_fd) {
  // The terminal's size was set on the master before the fork.
  close_other_descriptors(error_fd);
  reset_signals(plan.ignore_sighup());

  char* const* envp = plan.envp();
  // The first failure that is not "no such file" is the telling one; without one, the last.
  int first_telling = 0;
  int last = ENOENT;
  for (const char* candidate : plan.candidates()) {
    if (envp)
      execve(candidate, plan.argv(), envp);
    else
      execv(candidate, plan.argv());
    last = errno;
    if (first_telling == 0 && last != ENOENT && last != ENOTDIR) first_telling = last;
  }
  int reported = first_telling != 0 ? first_telling : last;
  report_child_failure(error_fd, {child_failure::system_error, reported});
}

namespace {

// A copy-on-write child runs on its copy of the caller's stack: no stack of its own is needed.
// _Fork runs no fork handler of the caller in the child.
PEXPECT_CHILD_CODE pid_t fork_copied_child(child_start& start) {
  const pid_t pid = _Fork();
  if (pid == 0) child_main(&start);
  return pid;
}

pid_t clone_borrowing_child(child_start& start) {
  child_stack stack;
  if (!stack.usable()) return -1;
  return clone(child_main, stack.top(), CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
}

}  // namespace

pid_t start_child(const exec_plan& plan, const terminal_handover& terminal, int error_fd,
                  child_memory memory) {
  // A handler of the caller must not run in the child before its exec (in a borrowing child it
  // would run on the caller's memory), so every signal stays blocked until the child has set
  // them all to their defaults.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  child_start start{&plan, &terminal, error_fd};
  const pid_t pid =
      memory == child_memory::borrowed ? clone_borrowing_child(start) : fork_copied_child(start);
  const int clone_errno = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = clone_errno;
  return pid;
}

std::optional<child_failure> await_exec(int error_read_fd) {
  child_failure failure;
  ssize_t n;
  do {
    n = ::read(error_read_fd, &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof failure)) return failure;
  return std::nullopt;
}

}  // namespace pexpect_custom::detail
