// Answers a program's questions with run(): a fixed answer and a computed one.
#include <iostream>

#include "pexpect_custom/pexpect_custom.hpp"

int main() {
  using namespace pexpect_custom;
  const char* script = "sh -c 'printf \"Continue? \"; read a; printf \"Name? \"; read n; echo \"$a, $n\"'";
  run_events events{
      {"Continue\\? ", std::string("yes\n")},
      {"Name\\? ", run_callback([](run_context& context) -> callback_return {
         return "user number " + std::to_string(context.event_count) + "\n";
       })},
  };
  auto result = run(script, {.timeout = 10, .withexitstatus = true, .events = events});
  std::cout << result.output;
  return result.output.find("yes, user number 1") != std::string::npos && result.exitstatus == 0 ? 0 : 1;
}
