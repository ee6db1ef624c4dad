#include "words.hpp"

namespace launcher {

namespace {
enum class section { initial, cd, env, cmd };
}

bool parse_assignment(const std::string& word, std::string& name, std::string& value) {
  std::size_t equals = word.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  std::string rest = word.substr(equals + 1);
  std::size_t line_feed = rest.find('\n');
  if (line_feed != std::string::npos) {
    if (line_feed != rest.size() - 1) return false;
    rest.pop_back();
  }
  name = word.substr(0, equals);
  value = std::move(rest);
  return true;
}

request sort_words(const std::vector<std::string>& words) {
  request sorted;
  section state = section::initial;
  for (const std::string& word : words) {
    switch (state) {
      case section::initial:
        if (word == "CD")
          state = section::cd;
        else if (word == "ENV")
          state = section::env;
        else if (word == "--")
          state = section::cmd;
        else {
          sorted.cmdline = {word};
          state = section::cmd;
        }
        break;
      case section::cd:
        if (word == "--")
          state = section::initial;
        else
          sorted.cdto.push_back(word);
        break;
      case section::env: {
        std::string name, value;
        if (word == "--")
          state = section::initial;
        else if (parse_assignment(word, name, value))
          sorted.env[name] = value;
        break;
      }
      case section::cmd:
        sorted.cmdline.push_back(word);
        break;
    }
  }
  return sorted;
}

std::string joined_directory(const std::vector<std::string>& cdto) {
  std::string joined;
  for (std::size_t i = 0; i < cdto.size(); ++i) joined += (i ? " " : "") + cdto[i];
  return joined;
}

}  // namespace launcher
