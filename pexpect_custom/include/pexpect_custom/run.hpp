#pragma once
// run: start a command, answer its prompts, and return everything it printed.

#include <any>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "pexpect_custom/pattern.hpp"
#include "pexpect_custom/secret.hpp"
#include "pexpect_custom/spawn.hpp"

namespace pexpect_custom {

struct run_context;

/// What a callback returns: nothing (go on), a truth value (true stops the loop, false goes on),
/// or a string to send to the child. A callback that answers with a secret sends it itself
/// (`context.child->send(secret(...))`) and returns nothing.
using callback_return = std::variant<std::monostate, bool, std::string>;
/// A response computed when its pattern is seen.
using run_callback = std::function<callback_return(run_context&)>;
/// What answers a pattern: a string sent unchanged (no line feed added), a callback, or a secret,
/// sent unchanged too but shown in the logs only as `secret::mask`.
using run_response = std::variant<std::string, run_callback, secret>;
/// Patterns and their responses, in the order in which the patterns are tried.
using run_events = std::vector<std::pair<pattern_entry, run_response>>;

/// The names a callback sees, made fresh for each call. Storing into the plain members changes
/// nothing in `run`; the objects behind the pointers are run's own (a callback may send to
/// `child` or add to `child_result_list`).
struct run_context {
  std::string command;
  std::optional<double> timeout;
  bool withexitstatus = false;
  const run_events* events = nullptr;
  std::any* extra_args = nullptr;
  std::ostream* logfile = nullptr;
  std::optional<std::string> cwd;
  std::optional<environment> env;
  spawn* child = nullptr;
  const pattern_list* patterns = nullptr;  // nullptr when there are no events
  const std::vector<run_response>* responses = nullptr;
  std::vector<std::string>* child_result_list = nullptr;
  long event_count = 0;
  long index = 0;
  /// What the previous callback returned; empty until a callback has returned.
  std::optional<callback_return> callback_result;
};

/// The output of `run` and, when it was asked for, the child's exit status.
struct run_result {
  /// Everything the command printed, as read (the terminal turns "\n" into "\r\n").
  std::string output;
  /// The exit code when `withexitstatus` was true; nullopt when a signal ended the child or when
  /// the status was not asked for.
  std::optional<int> exitstatus;

  /// The output alone, so that `std::string out = run("ls");` reads naturally:
  /// ```cpp
  /// std::string out = run("ls");
  /// auto [output, status] = run("ls", {.withexitstatus = true});
  /// ```
  operator const std::string&() const { return output; }
};

/// Keyword-style arguments of `run`. The members after `env` set the child's fields of the same
/// names, as spawn_options does. Designated initialisers must keep this order.
struct run_options {
  timeout_arg timeout = -1;
  bool withexitstatus = false;
  std::optional<run_events> events = std::nullopt;
  std::any extra_args = {};
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
};

/// Runs `command` (split like a command line) to its end, answering each pattern of `events` with
/// its response, and returns what it printed. `timeout` applies to each wait for output (-1: the
/// spawn default of 30 s; nullopt: no limit). End of file and time-outs end the loop and are not
/// raised. With `withexitstatus`, the child is closed and its exit status returned too.
run_result run(const std::string& command, timeout_arg timeout = -1, bool withexitstatus = false,
               std::optional<run_events> events = std::nullopt, std::any extra_args = {},
               std::ostream* logfile = nullptr, const std::optional<std::string>& cwd = std::nullopt,
               const std::optional<environment>& env = std::nullopt);

/// The same with keyword-style arguments:
/// ```cpp
/// run_events answers{{"(?i)password: ", secret("hunter2\n")}};
/// auto [output, status] = run("passwd", {.timeout = 10, .withexitstatus = true, .events = answers});
/// ```
run_result run(const std::string& command, run_options options);

}  // namespace pexpect_custom
