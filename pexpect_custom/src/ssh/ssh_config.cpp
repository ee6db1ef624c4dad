// The user's OpenSSH client configuration: libssh's parser sets what it keeps in the session, and
// a small reader of the same file's `Host` blocks finds the values libssh does not hand back
// (identity files, host key checking, connection time-out).
#include <fnmatch.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ssh/ssh_connection.hpp"

namespace pexpect_custom::detail {

namespace {

std::string home_folder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = getpwuid(geteuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The words of a value; double quotes group blanks into one word.
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  bool in_word = false;
  for (char c : text) {
    if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == ',')) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

// A `Host` line matches when one of its patterns does and none of its negated ones.
bool host_matches(const std::string& patterns, const std::string& host) {
  bool matched = false;
  for (const std::string& pattern : words_of(patterns)) {
    const bool negated = !pattern.empty() && pattern[0] == '!';
    const std::string glob = lowered(negated ? pattern.substr(1) : pattern);
    if (fnmatch(glob.c_str(), lowered(host).c_str(), 0) != 0) continue;
    if (negated) return false;
    matched = true;
  }
  return matched;
}

// "Keyword value" or "Keyword=value"; the keyword in lower case.
std::pair<std::string, std::string> split_line(const std::string& line) {
  std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos || line[start] == '#') return {};
  std::size_t end = line.find_first_of(" \t=", start);
  if (end == std::string::npos) return {lowered(line.substr(start)), {}};
  std::string keyword = lowered(line.substr(start, end - start));
  std::size_t value = line.find_first_not_of(" \t", end);
  if (value != std::string::npos && line[value] == '=') value = line.find_first_not_of(" \t", value + 1);
  std::string rest = value == std::string::npos ? std::string() : line.substr(value);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r')) rest.pop_back();
  return {std::move(keyword), std::move(rest)};
}

std::string first_word(const std::string& value) {
  const std::vector<std::string> words = words_of(value);
  return words.empty() ? std::string() : words.front();
}

}  // namespace

std::string expand_path(const std::string& path, const std::string& host, const std::string& user) {
  std::string text = path;
  if (text == "~" || text.rfind("~/", 0) == 0) text = home_folder() + text.substr(1);
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    switch (text[++i]) {
      case 'd':
        out += home_folder();
        break;
      case 'h':
        out += host;
        break;
      case 'r':
        out += user;
        break;
      case '%':
        out += '%';
        break;
      default:
        out += '%';
        out += text[i];
    }
  }
  return out;
}

// The first value of a keyword counts, as with `ssh`; identity files add up. `Match` blocks are
// not understood and count as not matching; `Include` is not followed.
config_extras read_config_extras(const std::string& file, const std::string& host) {
  config_extras found;
  std::ifstream in(file);
  bool applies = true;
  for (std::string line; std::getline(in, line);) {
    const auto [keyword, value] = split_line(line);
    if (keyword == "host") {
      applies = host_matches(value, host);
    } else if (keyword == "match") {
      applies = lowered(value) == "all";
    } else if (!applies || value.empty()) {
      continue;
    } else if (keyword == "identityfile") {
      found.identity_files.push_back(first_word(value));
    } else if (keyword == "stricthostkeychecking" && !found.strict_host_key_checking) {
      found.strict_host_key_checking = lowered(first_word(value));
    } else if ((keyword == "proxyjump" || keyword == "proxycommand") && !found.proxy) {
      found.proxy.emplace(keyword, value);
    } else if (keyword == "connecttimeout" && !found.connect_timeout) {
      char* end = nullptr;
      const double seconds = std::strtod(value.c_str(), &end);
      if (end != value.c_str() && seconds > 0) found.connect_timeout = seconds;
    }
  }
  return found;
}

}  // namespace pexpect_custom::detail
