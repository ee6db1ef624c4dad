// Drives an interactive shell with expect and sendline.
#include <iostream>

#include "pexpect_custom/pexpect_custom.hpp"

int main() {
  using namespace pexpect_custom;
  spawn shell("/bin/sh", {},
              {.timeout = 10, .env = environment{{"PS1", "demo$ "}, {"PATH", "/usr/bin:/bin"}}});
  shell.expect_exact("demo$ ");
  shell.sendline("echo $((6 * 7))");
  shell.expect("\\r\\n(\\d+)\\r\\n");  // skip the echoed command line, take the answer
  std::string answer = *std::get<Match>(*shell.match).group(1);
  std::cout << "the shell says 6 * 7 = " << answer << "\n";
  shell.expect_exact("demo$ ");
  shell.sendline("exit 0");
  shell.expect(EOF_marker);
  shell.close();
  std::cout << "the shell exited with " << *shell.exitstatus << "\n";
  return answer == "42" && shell.exitstatus == 0 ? 0 : 1;
}
