// Command-line splitting: any input splits without failing, and a list quoted back into a
// command line splits into that same list, whichever way each argument is quoted and whichever
// whitespace separates the arguments.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "pexpect_custom/command.hpp"

namespace {

constexpr char whitespace[] = {' ', '\t', '\n', '\v', '\f', '\r'};

bool is_special(char c) {
  for (char w : whitespace) {
    if (c == w) return true;
  }
  return c == '\'' || c == '"' || c == '\\';
}

// One argument in a form that splits back into exactly it. `style` picks the form: bare
// (when nothing in it is special), single quotes, double quotes, or a backslash before every
// byte; a form that cannot carry the argument falls back to single quotes.
std::string quote(const std::string& arg, int style) {
  std::string quoted;
  switch (style) {
    case 0: {
      bool bare = !arg.empty();
      for (char c : arg) bare = bare && !is_special(c);
      if (bare) return arg;
      [[fallthrough]];
    }
    case 1:
      // A single quote cannot stand inside single quotes: close, escape it, open again.
      quoted = "'";
      for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      return quoted + "'";
    case 2:
      quoted = "\"";
      for (char c : arg) quoted += c == '"' ? std::string("\"\\\"\"") : std::string(1, c);
      return quoted + "\"";
    default:
      if (arg.empty()) return "\"\"";
      for (char c : arg) (quoted += '\\') += c;
      return quoted;
  }
}

// The list as a command line: every argument followed by a run of whitespace, so that an empty
// last argument still counts (an empty quoted pair at the very end would give nothing).
std::string command_line(const std::vector<std::string>& list, FuzzedDataProvider& choices) {
  std::string line;
  for (const auto& arg : list) {
    line += quote(arg, choices.ConsumeIntegralInRange(0, 3));
    int run = choices.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < run; ++i) line += whitespace[choices.ConsumeIntegralInRange(0, 5)];
  }
  return line;
}

void check_round_trip(const std::vector<std::string>& list, FuzzedDataProvider& choices) {
  const std::string line = command_line(list, choices);
  const std::vector<std::string> again = pexpect_custom::split_command_line(line);
  FUZZ_CHECK(again == list, "list " + fuzz::printable(list) + "\nline " + fuzz::printable(line) + "\nsplit " +
                                fuzz::printable(again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // Any bytes at all: a list, never a failure.
  const std::vector<std::string> split = pexpect_custom::split_command_line(input);
  std::size_t kept = 0;
  for (const auto& arg : split) kept += arg.size();
  FUZZ_CHECK(kept <= input.size(), "split " + fuzz::printable(split) + " holds more than the input");

  // The list that came out, quoted back, comes out again.
  FuzzedDataProvider choices(data, size);
  check_round_trip(split, choices);

  // So does a list made directly from the input, every byte value allowed.
  std::vector<std::string> list;
  while (choices.remaining_bytes() > 0 && list.size() < 12)
    list.push_back(choices.ConsumeRandomLengthString(24));
  FuzzedDataProvider more_choices(data, size);
  check_round_trip(list, more_choices);
  return 0;
}
