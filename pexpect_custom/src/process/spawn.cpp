// Construction of spawn objects and the start of the child.
#include "pexpect_custom/spawn.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <sstream>

#include "io/unique_fd.hpp"
#include "pexpect_custom/command.hpp"
#include "platform/platform.hpp"
#include "process/child_exec.hpp"
#include "process/exec_values.hpp"
#include "process/pty_pair.hpp"

namespace pexpect_custom {

namespace {

std::string object_description(const void* address) {
  std::ostringstream text;
  text << "pexpect_custom::spawn object at " << address;
  return text.str();
}

// Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "<" + std::string&&.
std::string in_angle_brackets(std::string_view text) {
  std::string bracketed = "<";
  bracketed.append(text).append(">");
  return bracketed;
}

std::string join_with_blanks(const std::vector<std::string>& words) {
  std::string joined;
  for (const auto& word : words) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

bool platform_name_contains(std::string_view word) {
#if defined(__linux__)
  std::string_view platform = "linux";
#else
  std::string_view platform = "unix";
#endif
  return platform.find(word) != std::string_view::npos;
}

[[noreturn]] void fork_failed(const SystemError& error) {
  throw ExceptionPexpect(std::string("Error! pty.fork() failed: ") + error.what());
}

// A close-on-exec pipe through which the child reports a failed start. Its ends never sit on
// descriptors 0..2, which the child overwrites with the terminal.
std::pair<detail::unique_fd, detail::unique_fd> make_error_pipe() {
  int fds[2];
  if (!detail::platform::make_pipe(fds, false)) throw_system_error();
  detail::unique_fd ends[2] = {detail::unique_fd(fds[0]), detail::unique_fd(fds[1])};
  for (auto& end : ends) {
    if (end.get() > 2) continue;
    int moved = fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) throw_system_error();
    end.reset(moved);
  }
  return {std::move(ends[0]), std::move(ends[1])};
}

// On the native path the error pipe is part of the fork, so its failure is reported as one.
std::pair<detail::unique_fd, detail::unique_fd> start_error_pipe(bool native_fork) {
  try {
    return make_error_pipe();
  } catch (const SystemError& error) {
    if (!native_fork) throw;
    fork_failed(error);
  }
}

// In the child: a new session with the slave as its controlling terminal and standard descriptors.
PEXPECT_CHILD_CODE void attach_native(const detail::terminal_handover& terminal, int error_fd) {
  detail::attach_terminal(terminal.slave, error_fd);
}

// The platform's way: a new terminal pair, then a child that takes the slave as its controlling
// terminal and becomes the program. Returns (pid, master).
std::pair<pid_t, int> native_pty_fork(detail::child_launch& launch, std::pair<int, int> dimensions,
                                      int error_fd, detail::child_memory memory) {
  detail::pty_pair pty;
  try {
    pty = detail::open_pty_pair(dimensions.first, dimensions.second);
  } catch (const SystemError& error) {
    fork_failed(error);
  }
  launch.set_terminal(attach_native, pty.slave.get(), pty.slave_name);
  const pid_t child_pid = detail::start_child(launch, error_fd, memory);
  if (child_pid < 0) fork_failed(SystemError(errno));
  return {child_pid, pty.master.release()};
}

void reap(pid_t pid) {
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

[[noreturn]] void raise_start_failure(const detail::child_failure& failure) {
  if (failure.kind == detail::child_failure::still_has_controlling_tty) {
    throw ExceptionPexpect("Error! We are not disconnected from a controlling tty.");
  }
  throw SystemError(failure.errno_value);
}

}  // namespace

spawn::spawn(const std::optional<std::string>& command_word, const std::vector<std::string>& argv,
             timeout_arg timeout_seconds, long maxread_bytes, std::optional<long> window, std::ostream* log,
             std::optional<std::string> directory, std::optional<environment> environment_map) {
  init_fields(timeout_seconds, maxread_bytes, window, log, std::move(directory), std::move(environment_map));
  start(command_word, argv);
}

spawn::spawn(const std::optional<std::string>& command_word, const std::vector<std::string>& argv,
             spawn_options options) {
  init_fields(options.timeout, options.maxread, options.searchwindowsize, options.logfile,
              std::move(options.cwd), std::move(options.env));
  ignore_sighup = options.ignore_sighup;
  delaybeforesend = options.delaybeforesend;
  delayafterclose = options.delayafterclose;
  delayafterterminate = options.delayafterterminate;
  delayafterread = options.delayafterread;
  ignorecase = options.ignorecase;
  use_native_pty_fork = options.use_native_pty_fork;
  logfile_read = options.logfile_read;
  logfile_send = options.logfile_send;
  dimensions_ = options.dimensions;
  wait_for_exec = options.wait_for_exec;
  strip_terminal_sequences = options.strip_terminal_sequences;
  start(command_word, argv);
  if (options.screen && !closed) attach_screen();
  recording = options.recording;
}

expect_base::report_identity spawn::identity() const {
  return {"pexpect_custom::spawn", command, args, exitstatus, pid};
}

spawn::spawn(int command_fd, const std::vector<std::string>& argv) {
  init_fields(30, 2000, std::nullopt, nullptr, std::nullopt, std::nullopt);
  _spawn(command_fd, argv);
}

void spawn::init_fields(timeout_arg timeout_seconds, long maxread_bytes, std::optional<long> window,
                        std::ostream* log, std::optional<std::string> directory,
                        std::optional<environment> environment_map) {
  stdin_stream = &std::cin;
  stdout_stream = &std::cout;
  stderr_stream = &std::cerr;
  // Here -1 has no meaning of its own: there is no other field to stand for.
  timeout = timeout_seconds.seconds();
  logfile = log;
  maxread = maxread_bytes;
  searchwindowsize = window;
  name = in_angle_brackets(object_description(this));
  cwd = std::move(directory);
  env = std::move(environment_map);
  irix_hack = platform_name_contains("irix");
  use_native_pty_fork = !(platform_name_contains("solaris") || platform_name_contains("sunos5"));
}

void spawn::start(const std::optional<std::string>& command_word, const std::vector<std::string>& argv) {
  if (!command_word) {
    command.reset();
    args.reset();
    name = "<pexpect factory incomplete>";
    return;
  }
  _spawn(*command_word, argv);
}

void spawn::_spawn(int, const std::vector<std::string>&) {
  throw ExceptionPexpect(
      "Command is an int type. If this is a file descriptor then maybe you want to use "
      "fdpexpect.fdspawn which takes an existing file descriptor instead of a command string.");
}

void spawn::_spawn(const std::string& command_word, const std::vector<std::string>& argv) {
  std::vector<std::string> child_args;
  if (argv.empty()) {
    child_args = split_command_line(command_word);
    if (child_args.empty()) throw std::out_of_range("list index out of range");
  } else {
    child_args = argv;
    child_args.insert(child_args.begin(), command_word);
  }
  detail::check_exec_values(child_args, cwd, env);
  if (dimensions_.first < 0 || dimensions_.first > 65535 || dimensions_.second < 0 ||
      dimensions_.second > 65535) {
    throw std::out_of_range("spawn: the terminal's rows and columns must lie in 0..65535");
  }
  args = child_args;
  command = child_args.front();

  if (cwd && !cwd->empty() && ::chdir(cwd->c_str()) != 0) {
    *stdout_stream << "Warning: Failed to change working directory" << std::endl;
  }

  std::optional<std::string> command_with_path = which(*command);
  if (!command_with_path) {
    throw ExceptionPexpect("The command was not found or was not executable: " + *command + ".");
  }
  command = *command_with_path;
  args->front() = *command_with_path;
  name = in_angle_brackets(join_with_blanks(*args));

  if (pid) throw std::logic_error("The pid member should be None.");

  auto launch = std::make_unique<detail::child_launch>(*command, *args, env, ignore_sighup);
  auto [error_read, error_write] = start_error_pipe(use_native_pty_fork);
  const detail::child_memory memory = detail::child_memory_for(wait_for_exec);
  const auto [child_pid, master] = use_native_pty_fork
                                       ? native_pty_fork(*launch, dimensions_, error_write.get(), memory)
                                       : fork_pty(*launch, error_write.get());

  error_write.reset();
  detail::unique_fd master_fd(master);
  if (wait_for_exec) {
    if (auto failure = detail::await_exec(error_read.get())) {
      reap(child_pid);
      raise_start_failure(*failure);
    }
  } else {
    exec_report_ = error_read.release();
    if (memory == detail::child_memory::shared) launch_ = std::move(launch);
  }
  pid = child_pid;
  child_fd = master_fd.release();
  terminated = false;
  closed = false;
}

// The child closes the pipe's write end at its exec, or writes its failure there and ends, so a
// read returns at once whenever the terminal has shown any sign of the child.
void spawn::confirm_start() {
  if (exec_report_ < 0) return;
  const std::optional<detail::child_failure> failure = detail::await_exec(exec_report_);
  ::close(std::exchange(exec_report_, -1));
  launch_.reset();
  if (!failure) return;
  abandon_start();
  raise_start_failure(*failure);
}

void spawn::abandon_start() noexcept {
  if (end_notice_ >= 0) ::close(std::exchange(end_notice_, -1));
  if (child_fd >= 0) ::close(std::exchange(child_fd, -1));
  if (!terminated && pid) reap(*pid);
  pid.reset();
  status.reset();
  exitstatus.reset();
  signalstatus.reset();
  terminated = true;
  closed = true;
}

long spawn::read_from_descriptor(char* into, std::size_t size) {
  confirm_start();
  return expect_base::read_from_descriptor(into, size);
}

}  // namespace pexpect_custom
