// The launcher: runs a program on a new 24x80 pseudo-terminal with a chosen directory and an
// exact environment, relays the user's terminal to it, and exits with the program's status.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "pexpect_custom/spawn.hpp"
#include "signals.hpp"
#include "words.hpp"

namespace {

// The child's own non-zero code; 128 + the signal for a child a signal ended; else 0.
int exit_status_of(const pexpect_custom::spawn& child) {
  if (child.exitstatus && *child.exitstatus != 0) return *child.exitstatus;
  if (child.signalstatus) return 128 + *child.signalstatus;
  return 0;
}

void say(const std::string& line) { std::cout << line << std::endl; }

int relay(pexpect_custom::spawn& child) {
  launcher::guard_relay(*child.pid);
  try {
    child.interact();
  } catch (const std::exception& error) {
    say(std::string("Failed to run the program: ") + error.what());
    if (!child.terminated) {
      launcher::forget_child();
      return 1;
    }
  }
  launcher::forget_child();
  return exit_status_of(child);
}

}  // namespace

int main(int argc, char** argv) {
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
  try {
    std::vector<std::string> args(request.cmdline.begin() + 1, request.cmdline.end());
    launch.emplace(request.cmdline.front(), std::move(args),
                   pexpect_custom::spawn_options{.cwd = launcher::joined_directory(request.cdto),
                                                 .env = std::move(request.env)});
  } catch (const std::exception& error) {
    say(std::string("Failed to launch the program: ") + error.what());
    return 1;
  }
  int status = relay(*launch);
  launch.reset();  // ends a child still running; the status is already chosen
  return status;
}
