// expect_base::compile_pattern_list: turns what a caller hands to expect into a uniform pattern list.
//
// The design's type error ("Argument must be one of StringTypes, EOF, TIMEOUT, SRE_Pattern, or a
// list of those type. %s") cannot happen here: a pattern_entry holds only a string, a compiled
// expression or one of the two markers.

#include <variant>

#include "pexpect_custom/expect_base.hpp"

namespace pexpect_custom {

pattern_list expect_base::compile_pattern_list(const pattern_entry& pattern) const {
  return compile_pattern_list(pattern_list{pattern});
}

pattern_list expect_base::compile_pattern_list(const pattern_list& patterns) const {
  // DOTALL always; IGNORECASE as the field says at the moment of the call.
  const unsigned flags = Regex::dotall | (ignorecase ? Regex::ignorecase : Regex::none);
  pattern_list compiled;
  compiled.reserve(patterns.size());
  for (const pattern_entry& entry : patterns) {
    if (const auto* text = std::get_if<std::string>(&entry.value)) {
      compiled.emplace_back(Regex(*text, flags));
    } else {
      // The markers, and compiled expressions with the flags they were compiled with.
      compiled.push_back(entry);
    }
  }
  return compiled;
}

}  // namespace pexpect_custom
