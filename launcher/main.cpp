// The launcher: runs a program on a new 24x80 pseudo-terminal with a chosen directory and an
// exact environment, relays the user's terminal to it, and exits with the program's status.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "exit_status.hpp"
#include "pexpect_custom/spawn.hpp"
#include "signals.hpp"
#include "standard_fds.hpp"
#include "words.hpp"

namespace {

// Set when the launcher was started without a standard output.
bool messages_to_stderr = false;

// Messages go to standard output; when there is none, or it is gone (a reader that closed its
// pipe), the line goes to standard error instead of being lost.
void say(const std::string& line) {
  if (!messages_to_stderr) {
    std::cout << line << std::endl;
    if (std::cout) return;
    std::cout.clear();
  }
  std::string text = line + "\n";
  ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

// Holds back the signals that stop the launcher while the child changes hands: they are
// delivered, to whatever handler is then in place, once this object goes.
class stop_signals_held {
 public:
  stop_signals_held() {
    sigset_t stop;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stop, sig);
    sigprocmask(SIG_BLOCK, &stop, &previous_);
  }
  ~stop_signals_held() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  stop_signals_held(const stop_signals_held&) = delete;
  stop_signals_held& operator=(const stop_signals_held&) = delete;

 private:
  sigset_t previous_;
};

// How the relay ended: with the launcher's status chosen, or with the reader of standard output
// gone, when the status is the child's once it has been hung up.
struct relay_end {
  int status = 0;
  bool output_gone = false;
};

relay_end relay_failed(const pexpect_custom::spawn& child, const std::exception& error) {
  say(std::string("Failed to run the program: ") + error.what());
  return {launcher::status_after_failed_relay(child)};
}

relay_end relay(pexpect_custom::spawn& child) {
  try {
    child.interact();
  } catch (const pexpect_custom::SystemError& error) {
    if (error.code().value() == EPIPE) return {.output_gone = true};
    return relay_failed(child, error);
  } catch (const std::exception& error) {
    return relay_failed(child, error);
  }
  return {launcher::status_of(child)};
}

// Nobody reads the output any more: the launcher ends quietly, as a filter in a pipeline does.
// Closing the master hangs the child up; close() ends it if it outlives that, and collects it.
int hang_up(pexpect_custom::spawn& child) {
  try {
    child.close();
  } catch (const std::exception&) {
  }
  return child.terminated ? launcher::status_of(child) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  messages_to_stderr = launcher::fill_closed_standard_fds();
  launcher::set_own_dispositions();
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    say("No program specified");
    return 1;
  }
  launcher::request request = launcher::sort_words(words);
  if (request.cmdline.empty()) {
    say("No program to run!");
    return 1;
  }
  std::optional<pexpect_custom::spawn> launch;
  {
    // A signal that comes while the child starts waits until the handlers that end the child
    // are in place. (The child clears its signal mask before it runs the program.)
    stop_signals_held held;
    try {
      std::vector<std::string> args(request.cmdline.begin() + 1, request.cmdline.end());
      launch.emplace(request.cmdline.front(), std::move(args),
                     pexpect_custom::spawn_options{.cwd = launcher::joined_directory(request.cdto),
                                                   .env = std::move(request.env)});
    } catch (const std::exception& error) {
      say(std::string("Failed to launch the program: ") + error.what());
      return 1;
    }
    launcher::guard_relay(*launch->pid);
  }
  relay_end end = relay(*launch);
  {
    // Closing the object ends a child still running. A signal that comes meanwhile is handled
    // once that is done, when there is no child left to end.
    stop_signals_held held;
    launcher::forget_child();
    if (end.output_gone) end.status = hang_up(*launch);
    launch.reset();
  }
  return end.status;
}
