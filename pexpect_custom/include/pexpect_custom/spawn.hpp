#pragma once
// spawn: one child process running on a new pseudo-terminal.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pexpect_custom/errors.hpp"
#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/searcher.hpp"

namespace pexpect_custom {

/// Environment map handed to a child: exactly these variables.
using environment = std::map<std::string, std::string>;

/// Keyword-style construction arguments: `spawn("ls", {}, {.cwd = "/tmp"})`.
struct spawn_options {
  std::optional<double> timeout = 30;
  long maxread = 2000;
  std::optional<long> searchwindowsize = std::nullopt;
  std::ostream* logfile = nullptr;
  std::optional<std::string> cwd = std::nullopt;
  std::optional<environment> env = std::nullopt;
};

/// Filter applied to each chunk relayed by `interact`.
using interact_filter = std::function<std::string(std::string_view)>;

/// One child process on a pseudo-terminal: start, read, send, expect, relay, exit status.
/// Movable, not copyable. Destroying a started object closes it and ends a child still running.
class spawn {
 public:
  /// Starts `command` (split like a command line when `args` is empty) on a new 24x80
  /// pseudo-terminal. `command` nullopt makes a factory object without a child.
  explicit spawn(std::optional<std::string> command, std::vector<std::string> args = {},
                 std::optional<double> timeout = 30, long maxread = 2000,
                 std::optional<long> searchwindowsize = std::nullopt, std::ostream* logfile = nullptr,
                 std::optional<std::string> cwd = std::nullopt,
                 std::optional<environment> env = std::nullopt);
  /// The same with keyword-style options.
  spawn(std::optional<std::string> command, std::vector<std::string> args, spawn_options options);
  /// A descriptor number is not a command: always throws ExceptionPexpect.
  explicit spawn(int command, std::vector<std::string> args = {});

  spawn(const spawn&) = delete;
  spawn& operator=(const spawn&) = delete;
  spawn(spawn&& other) noexcept;
  spawn& operator=(spawn&& other) noexcept;
  /// Closes the object (force) if it is open; never throws.
  ~spawn();

  // ---- fields, in the order the constructor sets them -------------------------------------
  int stdin_fileno = 0;
  int stdout_fileno = 1;
  int stderr_fileno = 2;
  std::istream* stdin_stream;
  std::ostream* stdout_stream;
  std::ostream* stderr_stream;
  /// Searcher of the last expect call.
  std::shared_ptr<searcher_base> searcher;
  /// Compile string patterns case-insensitively.
  bool ignorecase = false;
  /// Bytes before the last match.
  std::optional<std::string> before;
  /// The last match itself, or a marker.
  std::optional<after_value> after;
  /// The last match: a Match, the matched string, or a marker.
  std::optional<match_value> match;
  /// Index of the last matching pattern.
  std::optional<long> match_index;
  /// Child not running or its end collected.
  bool terminated = true;
  /// Exit code once collected; nullopt for a child ended by a signal.
  std::optional<int> exitstatus;
  /// Terminating signal once collected.
  std::optional<int> signalstatus;
  /// Raw wait status once collected.
  std::optional<int> status;
  /// End of file seen on the master side.
  bool flag_eof = false;
  /// The child's process id.
  std::optional<pid_t> pid;
  /// Master descriptor of the child's pseudo-terminal; -1 when none is held.
  int child_fd = -1;
  /// Default time-out of reads and expects, in seconds; nullopt for no limit.
  std::optional<double> timeout;
  /// What `read` and `readline` wait for.
  pattern_entry delimiter{EOF_marker};
  /// Receives every byte read and sent (not owned; flushed after each write).
  std::ostream* logfile = nullptr;
  /// Receives every byte read.
  std::ostream* logfile_read = nullptr;
  /// Receives every byte sent.
  std::ostream* logfile_send = nullptr;
  /// Largest single read from the master, in bytes.
  long maxread = 2000;
  /// Bytes read but not yet consumed.
  std::string buffer;
  /// How far back the expect loop searches; nullopt for the whole buffer.
  std::optional<long> searchwindowsize;
  /// Pause before every send, in seconds.
  double delaybeforesend = 0.05;
  /// Pause after closing the master, in seconds.
  double delayafterclose = 0.1;
  /// Pause after each signal of `terminate`, in seconds.
  double delayafterterminate = 0.1;
  /// Pause after each chunk the expect loop reads, in seconds.
  double delayafterread = 0.0001;
  /// File-like flag, never read.
  bool softspace = false;
  /// Display name: "<program args>".
  std::string name;
  /// File-like, always nullopt.
  std::optional<std::string> encoding;
  /// No master descriptor held.
  bool closed = true;
  /// Directory to change to at the start.
  std::optional<std::string> cwd;
  /// Complete environment of the child; nullopt: inherit the caller's.
  std::optional<environment> env;
  /// Selects the slow end-of-file check (false on Linux).
  bool irix_hack = false;
  /// true: start with the platform's forkpty; false: the library's own fork_pty.
  bool use_native_pty_fork = true;
  /// Resolved path of the program.
  std::optional<std::string> command;
  /// The child's argument vector; element 0 is `command`.
  std::optional<std::vector<std::string>> args;

  // ---- start and window size --------------------------------------------------------------
  /// Starts the child. Throws on every failure before and at the exec; see the README.
  void _spawn(const std::string& command, const std::vector<std::string>& args = {});
  void _spawn(int command, const std::vector<std::string>& args = {});
  /// (rows, columns) of the child's terminal.
  std::pair<int, int> getwinsize() const;
  /// Sets the child's terminal size; both values must lie in 0..65535.
  void setwinsize(long rows, long cols);

  // ---- reading ----------------------------------------------------------------------------
  /// One bounded wait and one read of at most `size` bytes. Throws EOF_, TIMEOUT,
  /// ExceptionPexpect, or std::logic_error on a closed object.
  std::string read_nonblocking(long size = 1, std::optional<double> timeout = -1);
  /// `size` < 0: everything up to `delimiter`; > 0: at most `size` bytes.
  std::string read(long size = -1);
  /// One line ending in CR LF, the last unterminated piece, or empty at end of file.
  std::string readline(long size = -1);
  /// Every remaining line.
  std::vector<std::string> readlines(long sizehint = -1);
  /// The next line, or nullopt at end of file.
  std::optional<std::string> next();

  class line_iterator;
  line_iterator begin();
  line_iterator end();

  // ---- sending and terminal control -------------------------------------------------------
  /// Sleeps `delaybeforesend`, logs, and makes one write; returns the count written.
  long send(std::string_view s);
  /// `send(s)` then `send("\n")`; returns the total count.
  long sendline(std::string_view s = {});
  /// Sends the control code of one character ("c" sends 3); returns 0 for a character without one.
  /// Throws std::invalid_argument unless `character` is exactly one byte.
  long sendcontrol(std::string_view character);
  /// Sends the terminal's end-of-file character.
  void sendeof();
  /// Sends the terminal's interrupt character.
  void sendintr();
  void write(std::string_view s);
  void writelines(const std::vector<std::string>& sequence);
  /// Whether the child's terminal echoes.
  bool getecho() const;
  void setecho(bool state);
  /// Waits until echo goes off; false on time-out.
  bool waitnoecho(std::optional<double> timeout = -1);
  int fileno() const { return child_fd; }
  bool isatty() const;
  /// Does nothing.
  void flush() {}
  /// Retired: always throws ExceptionPexpect.
  [[noreturn]] void setmaxread(long maxread);
  /// Retired: always throws ExceptionPexpect.
  [[noreturn]] void setlog(std::ostream* fileobject);

  // ---- lifetime ---------------------------------------------------------------------------
  /// Whether the child runs; collects its end without blocking (blocks once `flag_eof` is set).
  bool isalive();
  /// Blocks until the child ends; returns its exit code (nullopt if a signal ended it).
  std::optional<int> wait();
  /// Ends the child with SIGHUP, SIGCONT, SIGINT and, with `force`, SIGKILL. true if it is gone.
  bool terminate(bool force = false);
  /// Sends `sig` if the child is alive.
  void kill(int sig);
  /// Closes the master and makes sure the child is gone.
  void close(bool force = true);
  /// Whether a read has met end of file.
  bool eof() const { return flag_eof; }

  // ---- patterns and expect ----------------------------------------------------------------
  /// Strings become expressions compiled with dotall (and ignorecase when set); markers and
  /// compiled expressions are kept.
  pattern_list compile_pattern_list(std::nullopt_t) const { return {}; }
  pattern_list compile_pattern_list(const pattern_entry& pattern) const;
  pattern_list compile_pattern_list(const pattern_list& patterns) const;
  pattern_list compile_pattern_list(std::initializer_list<pattern_entry> patterns) const {
    return compile_pattern_list(pattern_list(patterns));
  }

  /// Waits for a regular expression (or marker) to turn up; returns its index.
  long expect(const pattern_list& pattern, std::optional<double> timeout = -1,
              std::optional<long> searchwindowsize = -1);
  long expect(std::initializer_list<pattern_entry> pattern, std::optional<double> timeout = -1,
              std::optional<long> searchwindowsize = -1);
  long expect(const pattern_entry& pattern, std::optional<double> timeout = -1,
              std::optional<long> searchwindowsize = -1);
  long expect(std::nullopt_t, std::optional<double> timeout = -1,
              std::optional<long> searchwindowsize = -1);
  /// Like expect, with a list already made by compile_pattern_list.
  long expect_list(const pattern_list& pattern_list, std::optional<double> timeout = -1,
                   std::optional<long> searchwindowsize = -1);
  /// Waits for plain text (no character is special).
  long expect_exact(const pattern_list& pattern_list, std::optional<double> timeout = -1,
                    std::optional<long> searchwindowsize = -1);
  long expect_exact(std::initializer_list<pattern_entry> pattern_list,
                    std::optional<double> timeout = -1, std::optional<long> searchwindowsize = -1);
  long expect_exact(const pattern_entry& pattern, std::optional<double> timeout = -1,
                    std::optional<long> searchwindowsize = -1);
  /// The read-and-search loop all expects end in.
  long expect_loop(std::shared_ptr<searcher_base> searcher, std::optional<double> timeout = -1,
                   std::optional<long> searchwindowsize = -1);

  // ---- interactive relay ------------------------------------------------------------------
  /// Relays the user's terminal (raw mode) to the child until it ends or the user types the
  /// escape string. The terminal mode is restored on every way out.
  void interact(std::optional<std::string> escape_character = std::string("\x1d"),
                interact_filter input_filter = {}, interact_filter output_filter = {});

  // ---- state report -----------------------------------------------------------------------
  /// The 26-line state report.
  std::string str() const;

 private:
  void init_fields(std::optional<double> timeout, long maxread,
                   std::optional<long> searchwindowsize, std::ostream* logfile,
                   std::optional<std::string> cwd, std::optional<environment> env);
  void start(std::optional<std::string> command, std::vector<std::string> args);
  std::pair<pid_t, int> fork_pty(int error_fd);
  void interact_copy(const std::optional<std::string>& escape_character,
                     const interact_filter& input_filter, const interact_filter& output_filter);
  std::string interact_read(int fd);
  void interact_writen(int fd, std::string_view data);
  bool isalive_nonblocking();
  bool check_alive(int waitpid_options);
  void record_end(int raw_status);
  void release() noexcept;

  // Set once close() has closed the descriptor but could not end the child, so that no later
  // close touches that descriptor number again.
  bool fd_already_closed_ = false;
};

/// Input iterator over the lines of a spawn (see spawn::next()).
class spawn::line_iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = std::string;
  using difference_type = std::ptrdiff_t;
  using pointer = const std::string*;
  using reference = const std::string&;

  line_iterator() = default;
  explicit line_iterator(spawn* owner);
  reference operator*() const { return line_; }
  pointer operator->() const { return &line_; }
  line_iterator& operator++();
  void operator++(int) { ++*this; }
  friend bool operator==(const line_iterator& a, const line_iterator& b) { return a.owner_ == b.owner_; }

 private:
  spawn* owner_ = nullptr;
  std::string line_;
};

/// Writes the state report.
std::ostream& operator<<(std::ostream& out, const spawn& child);

}  // namespace pexpect_custom
