#include "pexpect_custom/command.hpp"

#include <unistd.h>

#include <cstdlib>

#include "process/path_search.hpp"

namespace pexpect_custom {

namespace {

enum class split_state { basic, esc, singlequote, doublequote, whitespace };

bool is_split_whitespace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::vector<std::string> split_command_line(std::string_view command_line) {
  std::vector<std::string> arg_list;
  std::string arg;
  auto state = split_state::basic;
  for (char c : command_line) {
    switch (state) {
      case split_state::basic:
      case split_state::whitespace:
        if (c == '\\') {
          state = split_state::esc;
        } else if (c == '\'') {
          state = split_state::singlequote;
        } else if (c == '"') {
          state = split_state::doublequote;
        } else if (is_split_whitespace(c)) {
          if (state == split_state::basic) {
            arg_list.push_back(std::move(arg));
            arg.clear();
          }
          state = split_state::whitespace;
        } else {
          arg += c;
          state = split_state::basic;
        }
        break;
      case split_state::esc:
        arg += c;
        state = split_state::basic;
        break;
      case split_state::singlequote:
        if (c == '\'')
          state = split_state::basic;
        else
          arg += c;
        break;
      case split_state::doublequote:
        if (c == '"')
          state = split_state::basic;
        else
          arg += c;
        break;
    }
  }
  if (!arg.empty()) arg_list.push_back(std::move(arg));
  return arg_list;
}

std::optional<std::string> which(std::string_view filename) {
  // No file name holds a NUL byte, and the system calls below would see only the part before it.
  if (filename.find('\0') != std::string_view::npos) return std::nullopt;
  std::string name(filename);
  if (name.find('/') != std::string::npos && ::access(name.c_str(), X_OK) == 0) return name;
  const char* path = std::getenv("PATH");
  for (const std::string& candidate : detail::path_candidates(name, path ? path : "")) {
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

}  // namespace pexpect_custom
