#pragma once
// Sorting the launcher's command-line words into directory, environment and program.

#include <map>
#include <string>
#include <vector>

namespace launcher {

/// The launcher's request, sorted from its words.
struct request {
  std::vector<std::string> cdto;           // directory words, over all CD sections
  std::map<std::string, std::string> env;  // ENV assignments, later ones winning
  std::vector<std::string> cmdline;        // program word, then its arguments
};

/// Sorts `words` (the command line without the launcher's own name) with the CD / ENV / -- rules.
request sort_words(const std::vector<std::string>& words);

/// The working directory handed to the library: the directory words joined with single blanks.
std::string joined_directory(const std::vector<std::string>& cdto);

/// Splits an ENV word NAME=value: the name is everything before the first "=" and must not be
/// empty; a value holding a line feed anywhere but at its very end does not match, and a single
/// final line feed is dropped. Returns false when the word does not match.
bool parse_assignment(const std::string& word, std::string& name, std::string& value);

}  // namespace launcher
