// Logs in to a program that asks for a name and a password, the way a script would talk to a
// login prompt: wait for each prompt, answer it, then wait for the verdict.
//
//   example_login PROGRAM [NAME [PASSWORD]]
//
// PROGRAM is started with the single argument "login"; the test helper program has such a
// mode. The example exits with 0 when the login worked, 1 when it was refused or went wrong.
#include <iostream>
#include <string>
#include <variant>

#include "pexpect_custom/pexpect_custom.hpp"

namespace pc = pexpect_custom;

namespace {

// Waits for `prompt`; returns false (after saying why) on end of file or time-out.
bool await_prompt(pc::spawn& child, const std::string& prompt) {
  switch (child.expect_exact({prompt, pc::EOF_marker, pc::TIMEOUT_marker})) {
    case 0:
      return true;
    case 1:
      std::cout << "The program ended before asking for \"" << prompt
                << "\"; it said: " << child.before.value_or("") << "\n";
      return false;
    default:
      std::cout << "No \"" << prompt << "\" prompt within " << child.timeout.value_or(0) << " s\n";
      return false;
  }
}

// Answers both prompts and reads the verdict; true when the program welcomed us.
bool log_in(pc::spawn& child, const std::string& name, const std::string& password) {
  if (!await_prompt(child, "Name: ")) return false;
  child.sendline(name);
  // The program switches its terminal's echo off before it asks, so the password is not shown.
  if (!await_prompt(child, "Password: ")) return false;
  child.sendline(pc::secret(password));  // the logs show ********

  switch (child.expect({"Welcome, (.*?)!", "Access denied", pc::EOF_marker, pc::TIMEOUT_marker})) {
    case 0: {
      const auto& found = std::get<pc::Match>(*child.match);
      std::cout << "Logged in as " << found.group(1).value_or("") << "\n";
      return true;
    }
    case 1:
      std::cout << "The password was refused\n";
      return false;
    case 2:
      std::cout << "The program ended without a verdict\n";
      return false;
    default:
      std::cout << "No verdict within " << child.timeout.value_or(0) << " s\n";
      return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::cerr << "usage: " << argv[0] << " PROGRAM [NAME [PASSWORD]]\n";
    return 2;
  }
  const std::string name = argc > 2 ? argv[2] : "alice";
  const std::string password = argc > 3 ? argv[3] : "secret";
  try {
    pc::spawn child(argv[1], {"login"}, {.timeout = 10});
    const bool logged_in = log_in(child, name, password);
    // Let the program finish on its own; close() ends it if it does not.
    child.expect({pc::EOF_marker, pc::TIMEOUT_marker});
    child.close();
    if (child.exitstatus) std::cout << "The program exited with status " << *child.exitstatus << "\n";
    if (child.signalstatus) std::cout << "The program was ended by signal " << *child.signalstatus << "\n";
    return logged_in ? 0 : 1;
  } catch (const std::exception& error) {
    std::cout << "Login failed: " << error.what() << "\n";
    return 1;
  }
}
