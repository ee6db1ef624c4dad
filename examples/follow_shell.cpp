// Hands the user a shell on a new pseudo-terminal that keeps the size of the user's window.
// With arguments, runs them instead of an interactive shell: `example_follow_shell stty size`.
#include <cstdlib>
#include <iostream>

#include "pexpect_custom/pexpect_custom.hpp"

int main(int argc, char** argv) {
  using namespace pexpect_custom;
  const char* shell = std::getenv("SHELL");
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string program = args.empty() ? (shell ? shell : "/bin/sh") : args.front();
  if (!args.empty()) args.erase(args.begin());
  try {
    spawn child(program, args.empty() ? std::vector<std::string>{"-i"} : args);
    if (argc == 1)
      std::cout << "A shell that follows your window; leave it with exit or Ctrl-]." << std::endl;
    child.interact(std::string("\x1d"), {}, {}, /*follow_window_size=*/true);
    child.close();
    return child.exitstatus.value_or(1);
  } catch (const std::exception& error) {
    std::cerr << "follow_shell: " << error.what() << "\n";
    return 1;
  }
}
