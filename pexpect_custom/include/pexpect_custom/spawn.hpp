#pragma once
// spawn: one child process running on a new pseudo-terminal.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pexpect_custom/environment.hpp"
#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

namespace detail {
class window_follower;
class child_launch;
}  // namespace detail

/// Keyword-style construction arguments. Each member sets the field of the same name (see
/// expect_base and spawn); `dimensions` is the (rows, columns) size the child's terminal starts
/// with, and `screen` attaches a screen of that size. Designated initialisers must keep this order:
/// ```cpp
/// spawn child("ls", {}, {.timeout = 5, .cwd = "/tmp", .delaybeforesend = 0, .dimensions = {50, 132}});
/// ```
struct spawn_options {
  timeout_arg timeout = 30;
  long maxread = 2000;
  std::optional<long> searchwindowsize = std::nullopt;
  std::ostream* logfile = nullptr;
  std::optional<std::string> cwd = std::nullopt;
  std::optional<environment> env = std::nullopt;
  bool ignore_sighup = false;
  delay_arg delaybeforesend = defaults::delaybeforesend;
  delay_arg delayafterclose = defaults::delayafterclose;
  delay_arg delayafterterminate = defaults::delayafterterminate;
  delay_arg delayafterread = defaults::delayafterread;
  bool ignorecase = false;
  bool use_native_pty_fork = true;
  std::ostream* logfile_read = nullptr;
  std::ostream* logfile_send = nullptr;
  std::pair<int, int> dimensions = {24, 80};
  /// Attach a screen (see expect_base::attach_screen) once the child has started.
  bool screen = false;
  /// Sets the `recording` field once the child has started.
  recorder* recording = nullptr;
  /// Sets the `wait_for_exec` field: false returns as soon as the child is forked.
  bool wait_for_exec = true;
  /// Sets the `strip_terminal_sequences` field: expect on the output's text.
  bool strip_terminal_sequences = false;
};

/// Filter applied to each chunk relayed by `interact`.
using interact_filter = std::function<std::string(std::string_view)>;

/// One child process on a pseudo-terminal: start, read, send, expect, relay, exit status.
/// Movable, not copyable. Destroying a started object closes it and ends a child still running.
class spawn : public expect_base {
 public:
  /// Starts `command` (split like a command line when `args` is empty) on a new 24x80
  /// pseudo-terminal. `command` nullopt makes a factory object without a child.
  explicit spawn(const std::optional<std::string>& command, const std::vector<std::string>& args = {},
                 timeout_arg timeout = 30, long maxread = 2000,
                 std::optional<long> searchwindowsize = std::nullopt, std::ostream* logfile = nullptr,
                 std::optional<std::string> cwd = std::nullopt,
                 std::optional<environment> env = std::nullopt);
  /// The same with keyword-style options.
  spawn(const std::optional<std::string>& command, const std::vector<std::string>& args,
        spawn_options options);
  /// A descriptor number is not a command: always throws ExceptionPexpect.
  explicit spawn(int command, const std::vector<std::string>& args = {});

  spawn(spawn&& other) noexcept;
  spawn& operator=(spawn&& other) noexcept;
  /// Closes the object (force) if it is open; never throws.
  ~spawn() override;

  // ---- fields beyond the shared ones --------------------------------------------------------
  int stdin_fileno = 0;
  int stdout_fileno = 1;
  int stderr_fileno = 2;
  std::istream* stdin_stream;
  std::ostream* stdout_stream;
  std::ostream* stderr_stream;
  /// Child not running or its end collected.
  bool terminated = true;
  /// Exit code once collected; nullopt for a child ended by a signal.
  std::optional<int> exitstatus;
  /// Terminating signal once collected.
  std::optional<int> signalstatus;
  /// Raw wait status once collected.
  std::optional<int> status;
  /// The child's process id.
  std::optional<pid_t> pid;
  /// Directory to change to at the start.
  std::optional<std::string> cwd;
  /// Complete environment of the child; nullopt: inherit the caller's.
  std::optional<environment> env;
  /// true: start with the platform's forkpty; false: the library's own fork_pty.
  bool use_native_pty_fork = true;
  /// false (the default): the program starts with every signal at its default, so the hang-up
  /// sent when its terminal closes ends it and the jobs of its session. true: it starts with
  /// SIGHUP ignored and outlives its terminal. Read at each start.
  bool ignore_sighup = false;
  /// Resolved path of the program.
  std::optional<std::string> command;
  /// The child's argument vector; element 0 is `command`.
  std::optional<std::vector<std::string>> args;
  /// true (the default): a start returns once the child has executed the program, and raises
  /// at once when it could not. false: a start returns as soon as the child is forked, so that
  /// many children start side by side; a failed exec is then raised by the first read or expect
  /// (or confirm_start), with the error the start would have raised, and leaves the object
  /// closed with its child collected. Read at each start.
  bool wait_for_exec = true;

  // ---- start and window size --------------------------------------------------------------
  /// Starts the child. Throws on every failure before the exec, and at the exec unless
  /// `wait_for_exec` is false (then the first read raises it); see the README.
  void _spawn(const std::string& command, const std::vector<std::string>& args = {});
  void _spawn(int command, const std::vector<std::string>& args = {});
  /// After a start with `wait_for_exec` false: waits, if need be, until the child has executed
  /// the program or failed to. Returns when it runs; else collects the child, closes the object
  /// and raises what the start would have raised. Does nothing once the start is known.
  void confirm_start();
  /// A descriptor that turns readable once the child has executed the program or failed to,
  /// while a start made with `wait_for_exec` false is not yet confirmed; -1 otherwise.
  int exec_notice_fd() const noexcept { return exec_report_; }
  /// A descriptor, owned by this object, that turns readable once the child has ended (its end
  /// is not collected); -1 once the end is recorded, and always on a system with no such
  /// descriptor (macOS, the BSDs, the portable build), where waits look at the child after
  /// growing naps instead.
  int end_notice_fd() override;
  /// (rows, columns) of the child's terminal.
  std::pair<int, int> getwinsize() const;
  /// Sets the child's terminal size; both values must lie in 0..65535. The screen, if attached,
  /// takes the new size (at least 1 by 1), and the recording, if set, notes it.
  void setwinsize(long rows, long cols);

  // ---- lifetime ---------------------------------------------------------------------------
  /// Whether the child runs; collects its end without blocking (blocks once `flag_eof` is set).
  bool isalive() override;
  /// Blocks until the child ends; returns its exit code (nullopt if a signal ended it). Throws
  /// ExceptionPexpect "Cannot wait for dead child process." when its end was already collected
  /// (by `isalive`, an expect that met end of file, `terminate`, ...).
  std::optional<int> wait();
  /// Blocks until the child ends and returns its exit code (nullopt if a signal ended it; the
  /// signal is in `signalstatus`), whether or not its end was collected before. A stopped child
  /// is an error, as for `wait`.
  std::optional<int> wait_exit();
  /// Ends the child with SIGHUP, SIGCONT, SIGINT and, with `force`, SIGKILL, each followed by a
  /// wait of up to `delayafterterminate` for its end. true if it is gone.
  bool terminate(bool force = false);
  /// Sends `sig` if the child is alive.
  void kill(int sig);
  /// Closes the master, waits up to `delayafterclose` for the child's end, and makes sure it is
  /// gone.
  void close(bool force = true);

  // ---- interactive relay ------------------------------------------------------------------
  /// Relays the user's terminal (raw mode) to the child until it ends or the user types the
  /// escape string. The terminal mode is restored on every way out. With `follow_window_size`,
  /// the child's terminal takes the user's size at the start and after every resize (SIGWINCH);
  /// without it the child keeps its own size.
  void interact(const std::optional<std::string>& escape_character = std::string("\x1d"),
                const interact_filter& input_filter = {}, const interact_filter& output_filter = {},
                bool follow_window_size = false);

 private:
  report_identity identity() const override;
  bool alive_without_blocking() override { return isalive_nonblocking(); }
  bool end_unannounced() override;
  // Ends the pause early once the program waits for input (where that can be told).
  void pause_before_send() override;
  void init_fields(timeout_arg timeout, long maxread, std::optional<long> searchwindowsize,
                   std::ostream* logfile, std::optional<std::string> cwd, std::optional<environment> env);
  void start(const std::optional<std::string>& command, const std::vector<std::string>& args);
  std::pair<pid_t, int> fork_pty(detail::child_launch& launch, int error_fd);
  long read_from_descriptor(char* into, std::size_t size) override;
  // Leaves the object as a start that failed: no descriptor, no child (it is collected).
  void abandon_start() noexcept;
  void interact_copy(const std::optional<std::string>& escape_character, const interact_filter& input_filter,
                     const interact_filter& output_filter, detail::window_follower* window);
  std::string interact_read(int fd);
  // Tells the screen and the recording the terminal's current size.
  void note_window_size();
  void interact_writen(int fd, std::string_view data);
  bool isalive_nonblocking();
  bool check_alive(int waitpid_options);
  std::optional<int> collect_end();
  void await_own_end(double seconds, const char* what);
  void record_end(int raw_status);
  void release() noexcept;
  void take_own_fields(spawn& other) noexcept;

  // Set once close() has closed the descriptor but could not end the child, so that no later
  // close touches that descriptor number again.
  bool fd_already_closed_ = false;
  // The (rows, columns) the child's terminal starts with.
  std::pair<int, int> dimensions_{24, 80};
  // The child's end notice, opened the first time a read waits; -1 until then and after close.
  int end_notice_ = -1;
  // The read end of the pipe the child closes at its exec (or reports a failure on), kept from
  // a start that did not wait for the exec until confirm_start; -1 otherwise.
  int exec_report_ = -1;
  // What a child that shares this process's memory reads before its exec; kept until the exec
  // notice says it has executed the program or ended.
  std::unique_ptr<detail::child_launch> launch_;
};

}  // namespace pexpect_custom
