#pragma once
// What the fuzz targets share: a check that stops the run with a message when a property fails,
// and a printable form of byte strings for that message.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

/// The bytes with everything unprintable as \xNN, between double quotes.
inline std::string printable(std::string_view bytes) {
  std::string text = "\"";
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      text += escaped;
    }
  }
  return text + "\"";
}

inline std::string printable(const std::vector<std::string>& list) {
  std::string text = "[";
  for (std::size_t i = 0; i < list.size(); ++i) text += (i ? ", " : "") + printable(list[i]);
  return text + "]";
}

[[noreturn]] inline void fail(const char* condition, const char* file, int line, const std::string& detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::abort();
}

}  // namespace fuzz

// Stops the run when `condition` is false; `detail` (a std::string expression) says what was seen.
#define FUZZ_CHECK(condition, detail)                                         \
  do {                                                                        \
    if (!(condition)) ::fuzz::fail(#condition, __FILE__, __LINE__, (detail)); \
  } while (false)
