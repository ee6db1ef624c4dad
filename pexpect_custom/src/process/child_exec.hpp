#pragma once
// Everything the forked child needs, prepared before the fork, and the child's own code, which
// makes only async-signal-safe calls.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.hpp"

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
  /// The child's environment: the map's, or the caller's as it was when the plan was made.
  char* const* envp() const;
  bool ignore_sighup() const { return ignore_sighup_; }
  /// The descriptor numbers the child closes lie below this.
  int descriptor_limit() const { return descriptor_limit_; }

 private:
  std::vector<std::string> argv_;
  std::vector<std::string> envp_;
  std::vector<std::string> candidates_;
  std::vector<const char*> argv_ptrs_;
  std::vector<const char*> envp_ptrs_;
  std::vector<const char*> candidate_ptrs_;
  bool inherit_env_;
  bool ignore_sighup_;
  int descriptor_limit_;
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
  /// The child shares the caller's address space, on a stack of its own, and the call returns at
  /// once: nothing is copied, and the launch must live until the exec notice says the child has
  /// executed the program or ended.
  shared,
  /// The child gets a copy-on-write copy and the call returns at once (where the child's system
  /// calls cannot leave errno alone).
  copied,
};

/// Borrowed memory when the start waits for the exec anyway; shared, or else copied, when not.
/// Copied always where the platform cannot run a child on its parent's memory.
child_memory child_memory_for(bool wait_for_exec);

/// Everything the child reads before its exec, kept in one place: with shared memory it must
/// outlive the start until the child has executed the program or ended.
class child_launch {
 public:
  child_launch(const std::string& command, const std::vector<std::string>& args,
               const std::optional<std::map<std::string, std::string>>& env, bool ignore_sighup);
  child_launch(const child_launch&) = delete;
  child_launch& operator=(const child_launch&) = delete;
  ~child_launch();

  /// The terminal the child takes over; `slave_name` is copied.
  void set_terminal(void (*attach)(const terminal_handover&, int), int slave, const std::string& slave_name);
  /// The top of a stack of the child's own, made on first use; nullptr when none could be made.
  void* stack_top();

  exec_plan plan;
  terminal_handover terminal{};
  int error_fd = -1;

 private:
  std::string slave_name_;
  char* stack_ = nullptr;
};

/// Starts a child that attaches its terminal and becomes the program. No handler of the caller
/// runs in the child. Returns the child's process id, or -1 with errno set when no child could
/// be made.
pid_t start_child(child_launch& launch, int error_fd, child_memory memory);

/// In the child: reports `failure` on `error_fd` and ends with _exit(1).
[[noreturn]] PEXPECT_CHILD_CODE void report_child_failure(int error_fd, child_failure failure);

/// In the parent: waits for the exec (the pipe closes) and returns the child's failure, if any.
std::optional<child_failure> await_exec(int error_read_fd);

}  // namespace pexpect_custom::detail
