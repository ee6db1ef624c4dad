#include "process/exec_values.hpp"

#include <stdexcept>
#include <string_view>

#include "expect/text_form.hpp"

namespace pexpect_custom::detail {

namespace {

bool has_nul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

[[noreturn]] void refuse(const std::string& what, std::string_view value, const char* fault) {
  throw std::invalid_argument(what + " " + quoted_text(value) + " " + fault +
                              ", which cannot be passed to a program");
}

void check_environment(const std::map<std::string, std::string>& env) {
  for (const auto& [name, value] : env) {
    if (name.empty()) refuse("The environment variable with the value", value, "has an empty name");
    if (name.find('=') != std::string::npos) {
      refuse("The environment variable name", name, "contains \"=\"");
    }
    if (has_nul(name)) refuse("The environment variable name", name, "contains a NUL byte");
    if (has_nul(value))
      refuse("The value of the environment variable " + quoted_text(name) + ",", value,
             "contains a NUL byte");
  }
}

}  // namespace

void check_exec_values(const std::vector<std::string>& args, const std::optional<std::string>& cwd,
                       const std::optional<std::map<std::string, std::string>>& env) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!has_nul(args[i])) continue;
    if (i == 0) refuse("The command", args[i], "contains a NUL byte");
    refuse("Argument " + std::to_string(i), args[i], "contains a NUL byte");
  }
  if (cwd && has_nul(*cwd)) refuse("The working directory", *cwd, "contains a NUL byte");
  if (env) check_environment(*env);
}

}  // namespace pexpect_custom::detail
