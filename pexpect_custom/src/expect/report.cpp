// The state report of a spawn object: one labelled line per field of interest.
#include <ostream>
#include <typeinfo>
#include <variant>

#include "expect/text_form.hpp"
#include "pexpect_custom/spawn.hpp"
#include "pexpect_custom/version.hpp"

namespace pexpect_custom {

namespace {

using namespace detail;

// Lines 6 and 7 show only the tail of the buffers.
constexpr std::size_t shown_tail = 100;

// Strings show as their bytes, markers by name, other objects by type and address.
struct value_text {
  std::string operator()(const std::string& bytes) const { return bytes; }
  std::string operator()(EOF_marker_t marker) const { return marker_text(marker); }
  std::string operator()(TIMEOUT_marker_t marker) const { return marker_text(marker); }
  std::string operator()(const Match& match) const { return object_text("pexpect_custom::Match", &match); }
  std::string operator()(const Regex& regex) const { return object_text("pexpect_custom::Regex", &regex); }
};

template <typename Variant>
std::string variant_text(const Variant& value) {
  return std::visit(value_text{}, value);
}

std::string sink_text(const std::ostream* sink) {
  return sink ? object_text("std::ostream", sink) : std::string(none_text);
}

// The searcher's own report. A searcher holding an entry of the wrong kind refuses to report;
// the state report still must not fail, so such a searcher is identified by type and address.
std::string searcher_text(const searcher_base* searcher) {
  if (!searcher) return std::string(none_text);
  try {
    return searcher->str();
  } catch (const std::exception&) {
    return object_text(type_name(typeid(*searcher)), searcher);
  }
}

std::string integer_form(long long value) {
  return integer_text(value);
}

}  // namespace

std::string expect_base::str() const {
  const report_identity me = identity();
  // The time-out is usually a whole number of seconds given by the caller and shows as one
  // ("30"); the pauses are always shown as reals ("0.05", "2.0").
  const std::pair<const char*, std::string> lines[] = {
      {"", object_text(me.class_name, this)},
      {"version: ", std::string(version) + " (" + revision + ")"},
      {"command: ", optional_text(me.command, [](const std::string& s) { return s; })},
      {"args: ", optional_text(me.args, list_text)},
      {"searcher: ", searcher_text(searcher.get())},
      {"buffer (last 100 chars): ", std::string(last_bytes(buffer, shown_tail))},
      {"before (last 100 chars): ",
       optional_text(before, [](const std::string& s) { return last_bytes(s, shown_tail); })},
      {"after: ", optional_text(after, variant_text<after_value>)},
      {"match: ", optional_text(match, variant_text<match_value>)},
      {"match_index: ", optional_text(match_index, integer_form)},
      {"exitstatus: ", optional_text(me.exitstatus, integer_form)},
      {"flag_eof: ", bool_text(flag_eof)},
      {"pid: ", optional_text(me.pid, integer_form)},
      {"child_fd: ", integer_text(child_fd)},
      {"closed: ", bool_text(closed)},
      {"timeout: ", optional_text(timeout, whole_or_real_text)},
      {"delimiter: ", variant_text(delimiter.value)},
      {"logfile: ", sink_text(logfile)},
      {"logfile_read: ", sink_text(logfile_read)},
      {"logfile_send: ", sink_text(logfile_send)},
      {"maxread: ", integer_text(maxread)},
      {"ignorecase: ", bool_text(ignorecase)},
      {"searchwindowsize: ", optional_text(searchwindowsize, integer_form)},
      {"delaybeforesend: ", real_text(delaybeforesend)},
      {"delayafterclose: ", real_text(delayafterclose)},
      {"delayafterterminate: ", real_text(delayafterterminate)},
  };

  std::string report;
  for (const auto& [label, text] : lines) report += label + text + '\n';
  report.pop_back();  // no line feed after the last line
  return report;
}

std::ostream& operator<<(std::ostream& out, const expect_base& object) {
  return out << object.str();
}

}  // namespace pexpect_custom
