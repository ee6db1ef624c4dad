// Runs a command to its end and prints its output and exit status.
#include <iostream>

#include "pexpect_custom/pexpect_custom.hpp"

int main() {
  using namespace pexpect_custom;
  auto [output, status] = run("ls -d /tmp /nonexistent", {.withexitstatus = true});
  std::cout << "output:\n"
            << output << "exit status: " << (status ? std::to_string(*status) : "none") << "\n";
  // ls reports the missing one with status 2 and still lists /tmp.
  return status == 2 && output.find("/tmp") != std::string::npos ? 0 : 1;
}
