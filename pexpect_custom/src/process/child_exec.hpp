#pragma once
// Everything the forked child needs, prepared before the fork, and the child's own code, which
// makes only async-signal-safe calls.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

// Marks code that runs in the child before its exec, on a stack the address sanitizer does not
// know: instrumenting it would make the sanitizer print warnings onto the child's terminal.
#if defined(__clang__) || defined(__GNUC__)
#define PEXPECT_CHILD_CODE __attribute__((no_sanitize("address")))
#else
#define PEXPECT_CHILD_CODE
#endif

namespace pexpect_custom::detail {

/// Why the child could not become the program; sent to the parent through the error pipe.
struct child_failure {
  enum kind_t : int { system_error = 1, still_has_controlling_tty = 2 };
  int kind = 0;
  int errno_value = 0;
};

/// The argument vector, environment and candidate paths of one start, as C arrays, and the
/// disposition the program gets for SIGHUP.
class exec_plan {
 public:
  exec_plan(const std::string& command, const std::vector<std::string>& args,
            const std::optional<std::map<std::string, std::string>>& env, bool ignore_sighup);

  const std::vector<const char*>& candidates() const { return candidate_ptrs_; }
  char* const* argv() const { return const_cast<char* const*>(argv_ptrs_.data()); }
  /// nullptr: inherit the caller's environment.
  char* const* envp() const;
  bool ignore_sighup() const { return ignore_sighup_; }

 private:
  std::vector<std::string> argv_;
  std::vector<std::string> envp_;
  std::vector<std::string> candidates_;
  std::vector<const char*> argv_ptrs_;
  std::vector<const char*> envp_ptrs_;
  std::vector<const char*> candidate_ptrs_;
  bool inherit_env_;
  bool ignore_sighup_;
};

/// In the child, right after the fork and with the slave on descriptors 0..2: closes every other descriptor
/// but `error_fd`, sets every signal to its default (SIGHUP ignored if the plan asks for it) with none
/// blocked, and executes the program. On failure reports to `error_fd` and ends with _exit.
[[noreturn]] PEXPECT_CHILD_CODE void become_program(const exec_plan& plan, int error_fd);

/// How the child takes over its terminal before it becomes the program. `attach` runs in the child
/// with every signal blocked, makes only system calls, and reports a failure on `error_fd`.
struct terminal_handover {
  void (*attach)(const terminal_handover& terminal, int error_fd);
  int slave;
  const char* slave_name;
};

/// How start_child makes the child.
enum class child_memory {
  /// The child borrows the caller's address space, on a stack of its own, while the calling
  /// thread waits for the exec (or the child's end): nothing is copied.
  borrowed,
  /// The child gets a copy-on-write copy and the call returns at once; the exec (or its
  /// failure) is learnt later from the error pipe.
  copied,
};

/// Borrowed memory when the start waits for the exec anyway, a copy when it does not.
inline child_memory child_memory_for(bool wait_for_exec) {
  return wait_for_exec ? child_memory::borrowed : child_memory::copied;
}

/// Starts a child that attaches its terminal and becomes the program. No handler of the caller
/// runs in the child. Returns the child's process id, or -1 with errno set when no child could
/// be made.
pid_t start_child(const exec_plan& plan, const terminal_handover& terminal, int error_fd,
                  child_memory memory = child_memory::borrowed);

/// In the child: reports `failure` on `error_fd` and ends with _exit(1).
[[noreturn]] PEXPECT_CHILD_CODE void report_child_failure(int error_fd, child_failure failure);

/// In the parent: waits for the exec (the pipe closes) and returns the child's failure, if any.
std::optional<child_failure> await_exec(int error_read_fd);

}  // namespace pexpect_custom::detail
