// The launcher's word sorting: any list of words sorts without failing, and the directory,
// environment and program come out as the keyword rules put them. The reference here reads the
// words section by section (a CD or ENV section runs to the next "--"), and checks each
// environment word against the assignment expression itself.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "pexpect_custom/regex.hpp"
#include "words.hpp"

namespace {

// Words with a strong lean towards the keywords and assignments, so that sections form often.
std::vector<std::string> words_from(FuzzedDataProvider& input) {
  static const char* const common[] = {"CD",  "ENV", "--", "cd",    "-",    "---",    "CD ",
                                       "A=1", "=x",  "A=", "B=2=3", "A=\n", "A=x\ny", "ls"};
  std::vector<std::string> words;
  while (input.remaining_bytes() > 0 && words.size() < 32) {
    if (input.ConsumeBool()) {
      words.emplace_back(common[input.ConsumeIntegralInRange<std::size_t>(0, std::size(common) - 1)]);
    } else {
      words.push_back(input.ConsumeRandomLengthString(12));
    }
  }
  return words;
}

struct reference {
  std::vector<std::string> cdto;
  std::map<std::string, std::string> env;
  std::vector<std::string> cmdline;
};

// An environment word: the expression ^([^=]+)=(.*)$ without dot-matches-newline.
void assign_if_matching(const std::string& word, std::map<std::string, std::string>& env) {
  static const pexpect_custom::Regex assignment("^([^=]+)=(.*)$");
  if (auto match = assignment.search(word)) env[*match->group(1)] = *match->group(2);
}

reference sorted_by_sections(const std::vector<std::string>& words) {
  reference result;
  std::size_t i = 0;
  while (i < words.size()) {
    const std::string& word = words[i];
    if (word == "CD" || word == "ENV") {
      std::size_t end = i + 1;
      while (end < words.size() && words[end] != "--") ++end;
      for (std::size_t k = i + 1; k < end; ++k) {
        if (word == "CD")
          result.cdto.push_back(words[k]);
        else
          assign_if_matching(words[k], result.env);
      }
      i = end + 1;  // past the closing "--" (or past the end: the section ran out)
      continue;
    }
    // "--" opens the program part; any other word is the program itself.
    const std::size_t first = word == "--" ? i + 1 : i;
    result.cmdline.assign(words.begin() + static_cast<std::ptrdiff_t>(first), words.end());
    break;
  }
  return result;
}

std::string printable_env(const std::map<std::string, std::string>& env) {
  std::string text;
  for (const auto& [name, value] : env) text += fuzz::printable(name) + "=" + fuzz::printable(value) + " ";
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::vector<std::string> words = words_from(input);
  const launcher::request sorted = launcher::sort_words(words);
  const reference expected = sorted_by_sections(words);
  const std::string context = "words " + fuzz::printable(words);
  FUZZ_CHECK(sorted.cdto == expected.cdto, context + "\ncdto " + fuzz::printable(sorted.cdto) +
                                               "\nexpected " + fuzz::printable(expected.cdto));
  FUZZ_CHECK(sorted.env == expected.env,
             context + "\nenv " + printable_env(sorted.env) + "\nexpected " + printable_env(expected.env));
  FUZZ_CHECK(sorted.cmdline == expected.cmdline, context + "\ncmdline " + fuzz::printable(sorted.cmdline) +
                                                     "\nexpected " + fuzz::printable(expected.cmdline));

  // The directory handed to the library: the directory words with one blank between neighbours.
  std::string joined;
  for (std::size_t i = 0; i < sorted.cdto.size(); ++i) joined += (i ? " " : "") + sorted.cdto[i];
  FUZZ_CHECK(launcher::joined_directory(sorted.cdto) == joined, context);
  return 0;
}
