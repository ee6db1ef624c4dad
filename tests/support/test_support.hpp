#pragma once
// Shared helpers for the test suites.

#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace test_support {

/// Path of the helper child program.
inline const std::string helper = PEXPECT_HELPER;
/// Path of the launcher executable.
inline const std::string launcher = PEXPECT_LAUNCHER;

/// The descriptors this process has open.
std::set<int> open_fds();
/// Children of this process that have ended but are not reaped (zombies).
std::vector<pid_t> zombie_children();
/// Whether a process with this id exists (zombies included).
bool process_exists(pid_t pid);

/// Waits, without collecting it, until child `pid` has ended; false after a generous deadline.
bool ended_unreaped(pid_t pid);
/// The same for a stop of child `pid`.
bool stopped_unreaped(pid_t pid);

/// Waits (sleeping in short steps) until `condition` holds or `seconds` pass; returns whether it held.
bool eventually(const std::function<bool()>& condition, double seconds = 20);

/// A fresh, empty temporary directory, removed with its contents when this object goes.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  /// Writes `content` into `name` inside the directory with mode `mode`; returns the full path.
  std::string write_file(const std::string& name, const std::string& content, int mode = 0644) const;

 private:
  std::string path_;
};

/// Restores the process's working directory when it goes out of scope.
class cwd_guard {
 public:
  cwd_guard();
  ~cwd_guard();

 private:
  std::string saved_;
};

/// Result of running a program to completion with its output captured.
struct process_result {
  int exit_code = -1;   // exit code, or -1 if ended by a signal
  int term_signal = 0;  // the signal that ended it, or 0
  std::string output;   // standard output and standard error
};

/// Runs `argv` with standard input from /dev/null (or `input` through a pipe) and captures its
/// output through a pipe. `env` nullptr: inherit.
process_result run_process(const std::vector<std::string>& argv, const std::string& input = {},
                           const std::vector<std::string>* env = nullptr);

}  // namespace test_support
