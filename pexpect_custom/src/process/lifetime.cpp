// Following the child's life: liveness, exit status, signals, staged termination, closing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "io/clock.hpp"
#include "io/select.hpp"
#include "pexpect_custom/spawn.hpp"
#include "platform/platform.hpp"
#include "process/child_exec.hpp"
#include "process/wait_status.hpp"

namespace pexpect_custom {

namespace {

pid_t wait_for(pid_t pid, int& raw_status, int options) {
  pid_t result;
  do {
    result = waitpid(pid, &raw_status, options);
  } while (result < 0 && errno == EINTR);
  return result;
}

constexpr double forced_end_grace_seconds = 5.0;

// Whether `pid` is our child and has not ended yet; its end is not collected here.
bool running_child(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

// Sleeps until `pid` has ended and its parent can collect it (it is not collected here), or
// `seconds` pass (nullopt: no limit). A traced process (by a debugger, or a sanitizer's leak
// checker) is reported to its tracer first: its parent may see it only a while after it has
// ended. Without an end notice, a bounded wait looks again after growing naps.
void await_end(pid_t pid, std::optional<double> seconds) {
  if (!running_child(pid)) return;
  if (const int notice = detail::platform::open_end_notice(pid); notice >= 0) {
    detail::select({notice}, {}, {}, seconds);
    ::close(notice);
  }
  if (!seconds) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    return;
  }
  const double end_time = detail::now() + *seconds;
  detail::platform::growing_nap naps;
  for (double left = *seconds; running_child(pid) && left > 0; left = end_time - detail::now()) {
    detail::sleep_seconds(std::min(naps.next(), left));
  }
}

}  // namespace

// Stops are reported too (WUNTRACED): a stopped child is an error the caller must hear of, and
// without it wait() would block for ever on a child that nobody continues.
bool spawn::isalive() {
  return check_alive((flag_eof ? 0 : WNOHANG) | WUNTRACED);
}

// The same test without ever blocking, for close() and terminate(): a child that closed its
// terminal but keeps running must still be signalled, and a stopped one is continued there.
bool spawn::isalive_nonblocking() {
  return check_alive(WNOHANG);
}

bool spawn::check_alive(int options) {
  if (terminated) return false;
  int raw = 0;
  pid_t result = wait_for(*pid, raw, options);
  if (result < 0) {
    if (errno == ECHILD) {
      throw ExceptionPexpect(
          "isalive() encountered condition where \"terminated\" is 0, but there was no child "
          "process. Did someone else call waitpid() on our process?");
    }
    throw_system_error();
  }
  if (result == 0) {
    result = wait_for(*pid, raw, options);
    if (result < 0) {
      if (errno == ECHILD) {
        throw ExceptionPexpect(
            "isalive() encountered condition that should never happen. There was no child "
            "process. Did someone else call waitpid() on our process?");
      }
      throw_system_error();
    }
    if (result == 0) return true;
  }
  auto decoded = detail::decode_wait_status(raw);
  if (decoded.kind == detail::wait_kind::stopped) {
    throw ExceptionPexpect(
        "isalive() encountered condition where child process is stopped. This is not "
        "supported. Is some other process attempting job control with our child pid?");
  }
  record_end(raw);
  return false;
}

void spawn::record_end(int raw) {
  auto decoded = detail::decode_wait_status(raw);
  if (decoded.kind != detail::wait_kind::exited && decoded.kind != detail::wait_kind::signaled) return;
  status = raw;
  exitstatus = decoded.exitstatus;
  signalstatus = decoded.signalstatus;
  terminated = true;
}

std::optional<int> spawn::wait() {
  if (!isalive()) throw ExceptionPexpect("Cannot wait for dead child process.");
  return collect_end();
}

std::optional<int> spawn::wait_exit() {
  if (!isalive()) return exitstatus;
  return collect_end();
}

// Blocks until the running child ends (or stops, which is an error) and records how it ended.
std::optional<int> spawn::collect_end() {
  int raw = 0;
  if (wait_for(*pid, raw, WUNTRACED) < 0) throw_system_error();
  exitstatus = (raw >> 8) & 0xff;
  if (detail::decode_wait_status(raw).kind == detail::wait_kind::stopped) {
    throw ExceptionPexpect(
        "Wait was called for a child process that is stopped. This is not supported. Is some "
        "other process attempting job control with our child pid?");
  }
  record_end(raw);
  return exitstatus;
}

void spawn::kill(int sig) {
  if (isalive() && ::kill(*pid, sig) != 0) throw_system_error();
}

bool spawn::terminate(bool force) {
  if (!isalive_nonblocking()) return true;
  auto signal_and_test = [&](int sig) {
    if (isalive_nonblocking() && ::kill(*pid, sig) != 0) throw_system_error();
    await_own_end(delayafterterminate, "delayafterterminate");
    return !isalive_nonblocking();
  };
  try {
    if (signal_and_test(SIGHUP)) return true;
    if (signal_and_test(SIGCONT)) return true;
    if (signal_and_test(SIGINT)) return true;
    if (!force) return false;
    if (signal_and_test(SIGKILL)) return true;
    // SIGKILL cannot be refused: give the kernel a bounded moment to finish the child, so that
    // a short delayafterterminate does not leave a zombie behind a reported failure.
    await_end(*pid, forced_end_grace_seconds);
    return !isalive_nonblocking();
  } catch (const SystemError&) {
    await_own_end(delayafterterminate, "delayafterterminate");
    return !isalive_nonblocking();
  }
}

// The pauses of close() and terminate() are the longest they wait for the child to end: the
// liveness test after them gives the same answer the moment it has.
void spawn::await_own_end(double seconds, const char* what) {
  detail::require_number(seconds, what);
  if (terminated || !(seconds > 0)) return;
  await_end(*pid, seconds);
}

int spawn::end_notice_fd() {
  if (terminated) return -1;
  if (end_notice_ < 0) end_notice_ = detail::platform::open_end_notice(*pid);
  return end_notice_;
}

bool spawn::end_unannounced() {
  return !terminated && pid && end_notice_fd() < 0;
}

void spawn::close(bool force) {
  if (closed) return;
  // A child on this process's memory may still read it: let it reach its exec (or its end) first.
  // It is continued first, so that one stopped before its exec cannot hold the close for ever;
  // it is ended below in any case.
  if (exec_report_ >= 0) {
    if (launch_) {
      if (pid) ::kill(*pid, SIGCONT);
      detail::await_exec(exec_report_);
    }
    ::close(std::exchange(exec_report_, -1));
  }
  launch_.reset();
  // Refused before anything is closed, so that a bad delay leaves the object as it was.
  detail::require_number(delayafterclose, "delayafterclose");
  detail::require_number(delayafterterminate, "delayafterterminate");
  // After end of file the child has usually let go of its terminal and is finishing. Closing the
  // terminal would hang it up and the staged termination would signal it, losing its exit code,
  // so it gets up to `timeout` to end by itself first.
  if (flag_eof && !terminated && !fd_already_closed_) await_end(*pid, detail::checked_timeout(timeout));
  if (end_notice_ >= 0) ::close(std::exchange(end_notice_, -1));
  flush();
  if (!fd_already_closed_) {
    if (::close(child_fd) != 0) throw_system_error();
    fd_already_closed_ = true;
  }
  await_own_end(delayafterclose, "delayafterclose");
  if (isalive_nonblocking() && !terminate(force)) {
    throw ExceptionPexpect("close() could not terminate the child using terminate()");
  }
  child_fd = -1;
  closed = true;
  fd_already_closed_ = false;
}

void spawn::release() noexcept {
  if (closed) return;
  // Nothing can be raised from here, and a child must not be left behind for a bad delay.
  if (std::isnan(delayafterclose)) delayafterclose = 0;
  if (std::isnan(delayafterterminate)) delayafterterminate = 0;
  try {
    close(true);
  } catch (...) {
  }
}

spawn::~spawn() {
  release();
}

spawn::spawn(spawn&& other) noexcept : expect_base(std::move(other)) {
  take_own_fields(other);
}

// Member-wise: this object lets go of its own child first, then takes the other's state. A
// class derived from spawn keeps its own members untouched.
spawn& spawn::operator=(spawn&& other) noexcept {
  if (this != &other) {
    release();
    expect_base::operator=(std::move(other));
    take_own_fields(other);
  }
  return *this;
}

// The fields spawn adds to expect_base; `other` is left holding no child to close or end.
void spawn::take_own_fields(spawn& other) noexcept {
  stdin_fileno = other.stdin_fileno;
  stdout_fileno = other.stdout_fileno;
  stderr_fileno = other.stderr_fileno;
  stdin_stream = other.stdin_stream;
  stdout_stream = other.stdout_stream;
  stderr_stream = other.stderr_stream;
  terminated = std::exchange(other.terminated, true);
  exitstatus = other.exitstatus;
  signalstatus = other.signalstatus;
  status = other.status;
  pid = other.pid;
  cwd = std::move(other.cwd);
  env = std::move(other.env);
  use_native_pty_fork = other.use_native_pty_fork;
  ignore_sighup = other.ignore_sighup;
  command = std::move(other.command);
  args = std::move(other.args);
  fd_already_closed_ = std::exchange(other.fd_already_closed_, false);
  if (end_notice_ >= 0) ::close(end_notice_);
  end_notice_ = std::exchange(other.end_notice_, -1);
  wait_for_exec = other.wait_for_exec;
  if (exec_report_ >= 0) ::close(exec_report_);
  exec_report_ = std::exchange(other.exec_report_, -1);
  launch_ = std::move(other.launch_);
}

}  // namespace pexpect_custom
