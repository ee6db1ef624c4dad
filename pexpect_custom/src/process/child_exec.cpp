#include "process/child_exec.hpp"

#include <signal.h>
#include <sys/mman.h>
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

// The child needs a few KiB; the rest is room for instrumented builds. Pages never touched cost
// nothing, and the lowest page is a guard.
constexpr std::size_t child_stack_bytes = std::size_t{256} * 1024;

PEXPECT_CHILD_CODE int child_main(void* argument) {
  const auto& launch = *static_cast<const child_launch*>(argument);
  launch.terminal.attach(launch.terminal, launch.error_fd);
  become_program(launch.plan, launch.error_fd);
}

}  // namespace

exec_plan::exec_plan(const std::string& command, const std::vector<std::string>& args,
                     const std::optional<std::map<std::string, std::string>>& env, bool ignore_sighup)
    : argv_(args),
      candidates_(exec_candidates(command, env)),
      inherit_env_(!env),
      ignore_sighup_(ignore_sighup),
      descriptor_limit_(platform::descriptor_limit()) {
  if (env) {
    for (const auto& [name, value] : *env) envp_.emplace_back(name).append("=").append(value);
  }
  argv_ptrs_ = pointers_to(argv_);
  envp_ptrs_ = pointers_to(envp_);
  // The caller's environment as it is now, as execv would have passed it.
  if (inherit_env_) {
    envp_ptrs_.clear();
    for (char** entry = environ; entry && *entry; ++entry) envp_ptrs_.push_back(*entry);
    envp_ptrs_.push_back(nullptr);
  }
  candidate_ptrs_ = pointers_to(candidates_);
  candidate_ptrs_.pop_back();
}

char* const* exec_plan::envp() const {
  return const_cast<char* const*>(envp_ptrs_.data());
}

PEXPECT_CHILD_CODE void report_child_failure(int error_fd, child_failure failure) {
  child_sys::write(error_fd, &failure, sizeof failure);
  child_sys::exit(1);
}

PEXPECT_CHILD_CODE void become_program(const exec_plan& plan, int error_fd) {
  // The terminal's size was set on the master before the fork.
  child_sys::close_others(error_fd, plan.descriptor_limit());
  child_sys::reset_signals(plan.ignore_sighup());

  // The first failure that is not "no such file" is the telling one; without one, the last.
  int first_telling = 0;
  int last = ENOENT;
  for (const char* candidate : plan.candidates()) {
    last = static_cast<int>(-child_sys::exec(candidate, plan.argv(), plan.envp()));
    if (first_telling == 0 && last != ENOENT && last != ENOTDIR) first_telling = last;
  }
  int reported = first_telling != 0 ? first_telling : last;
  report_child_failure(error_fd, {child_failure::system_error, reported});
}

namespace {

pid_t share_on_own_stack(child_launch& launch, bool parent_waits) {
  void* top = launch.stack_top();
  if (!top) return -1;
  return platform::share_child(child_main, &launch, top, parent_waits);
}

}  // namespace

child_memory child_memory_for(bool wait_for_exec) {
  if (!platform::can_share_memory()) return child_memory::copied;
  if (wait_for_exec) return child_memory::borrowed;
  return child_sys::errno_free ? child_memory::shared : child_memory::copied;
}

child_launch::child_launch(const std::string& command, const std::vector<std::string>& args,
                           const std::optional<std::map<std::string, std::string>>& env, bool ignore_sighup)
    : plan(command, args, env, ignore_sighup) {}

child_launch::~child_launch() {
  if (!stack_) return;
#ifdef PEXPECT_ADDRESS_SANITIZER
  // The child's frames never returned; their red zones must not outlive the mapping.
  __asan_unpoison_memory_region(stack_, child_stack_bytes);
#endif
  munmap(stack_, child_stack_bytes);
}

void child_launch::set_terminal(void (*attach)(const terminal_handover&, int), int slave,
                                const std::string& slave_name) {
  slave_name_ = slave_name;
  terminal = {attach, slave, slave_name_.c_str()};
}

#ifdef MAP_STACK
constexpr int map_stack = MAP_STACK;
#else
constexpr int map_stack = 0;
#endif

// The lowest page is a guard; pages never touched cost nothing.
void* child_launch::stack_top() {
  if (!stack_) {
    void* area = mmap(nullptr, child_stack_bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | map_stack, -1, 0);
    if (area == MAP_FAILED) return nullptr;
    stack_ = static_cast<char*>(area);
    mprotect(stack_, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE);
  }
  return stack_ + child_stack_bytes;
}

pid_t start_child(child_launch& launch, int error_fd, child_memory memory) {
  // A handler of the caller must not run in the child before its exec (in a child on the
  // caller's memory it would run there), so every signal stays blocked until the child has set
  // them all to their defaults.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  launch.error_fd = error_fd;
  pid_t pid;
  if (memory == child_memory::copied)
    pid = platform::fork_child(child_main, &launch);
  else
    pid = share_on_own_stack(launch, memory == child_memory::borrowed);
  const int start_errno = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = start_errno;
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
