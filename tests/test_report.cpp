// The state report of a spawn object and the text forms it is built from.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "expect/text_form.hpp"
#include "pexpect_custom/regex.hpp"
#include "pexpect_custom/searcher.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;

namespace {

// The identification the report gives an object, worked out independently of the library.
std::string identification(const std::string& type, const void* address) {
  std::ostringstream text;
  text << "<" << type << " object at " << address << ">";
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The report line that starts with `label`, or "" if there is none.
std::string line_with(const std::string& report, const std::string& label) {
  for (const auto& line : lines_of(report)) {
    if (line.rfind(label, 0) == 0) return line;
  }
  return "";
}

}  // namespace

// ---- the whole report ---------------------------------------------------------------------

TEST(StateReport, NeverStartedObjectShowsConstructionDefaults) {
  spawn factory(std::nullopt);
  const std::string expected = identification("pexpect_custom::spawn", &factory) + "\n" +
                               "version: 2.4 ($Revision: 516 $)\n"
                               "command: None\n"
                               "args: None\n"
                               "searcher: None\n"
                               "buffer (last 100 chars): \n"
                               "before (last 100 chars): None\n"
                               "after: None\n"
                               "match: None\n"
                               "match_index: None\n"
                               "exitstatus: None\n"
                               "flag_eof: False\n"
                               "pid: None\n"
                               "child_fd: -1\n"
                               "closed: True\n"
                               "timeout: 30\n"
                               "delimiter: pexpect_custom::EOF_\n"
                               "logfile: None\n"
                               "logfile_read: None\n"
                               "logfile_send: None\n"
                               "maxread: 2000\n"
                               "ignorecase: False\n"
                               "searchwindowsize: None\n"
                               "delaybeforesend: 0.05\n"
                               "delayafterclose: 0.1\n"
                               "delayafterterminate: 0.1";
  EXPECT_EQ(factory.str(), expected);

  std::ostringstream streamed;
  streamed << factory;
  EXPECT_EQ(streamed.str(), expected);
}

TEST(StateReport, ConstructionArgumentsShowInTheirLines) {
  std::ostringstream log;
  spawn factory(std::nullopt, {},
                spawn_options{.timeout = std::nullopt, .maxread = 1, .searchwindowsize = 0, .logfile = &log});
  const std::string report = factory.str();
  EXPECT_EQ(line_with(report, "timeout: "), "timeout: None");
  EXPECT_EQ(line_with(report, "maxread: "), "maxread: 1");
  EXPECT_EQ(line_with(report, "searchwindowsize: "), "searchwindowsize: 0");
  EXPECT_EQ(line_with(report, "logfile: "), "logfile: " + identification("std::ostream", &log));
}

TEST(StateReport, FieldsSetByHand) {
  spawn child(std::nullopt);
  child.command = "/bin/echo";
  child.args = std::vector<std::string>{"/bin/echo", "it's", ""};
  child.searcher = std::make_shared<searcher_string>(pattern_list{"ok", EOF_marker});
  child.buffer = std::string(150, 'a') + std::string(100, 'b');
  child.before = std::string(50, 'x') + std::string(100, 'y');
  child.after = std::string(300, 'z');
  child.match = match_value(std::string("ok"));
  child.match_index = 0;
  child.exitstatus = 3;
  child.flag_eof = true;
  child.pid = 4242;
  child.child_fd = 7;
  child.closed = false;
  child.timeout = 2.5;
  child.delimiter = "> ";
  child.ignorecase = true;
  child.searchwindowsize = 500;
  child.delaybeforesend = 0;
  child.delayafterclose = 2;
  child.delayafterterminate = 1.0 / 3;

  const auto lines = lines_of(child.str());
  ASSERT_EQ(lines.size(), 28u);  // the searcher's report takes three lines
  EXPECT_EQ(lines[2], "command: /bin/echo");
  EXPECT_EQ(lines[3], "args: ['/bin/echo', 'it\\'s', '']");
  EXPECT_EQ(lines[4], "searcher: searcher_string:");
  EXPECT_EQ(lines[5], "    0: \"ok\"");
  EXPECT_EQ(lines[6], "    1: EOF");
  EXPECT_EQ(lines[7], "buffer (last 100 chars): " + std::string(100, 'b'));
  EXPECT_EQ(lines[8], "before (last 100 chars): " + std::string(100, 'y'));
  EXPECT_EQ(lines[9], "after: " + std::string(300, 'z'));
  EXPECT_EQ(lines[10], "match: ok");
  EXPECT_EQ(lines[11], "match_index: 0");
  EXPECT_EQ(lines[12], "exitstatus: 3");
  EXPECT_EQ(lines[13], "flag_eof: True");
  EXPECT_EQ(lines[14], "pid: 4242");
  EXPECT_EQ(lines[15], "child_fd: 7");
  EXPECT_EQ(lines[16], "closed: False");
  EXPECT_EQ(lines[17], "timeout: 2.5");
  EXPECT_EQ(lines[18], "delimiter: > ");
  EXPECT_EQ(lines[23], "ignorecase: True");
  EXPECT_EQ(lines[24], "searchwindowsize: 500");
  EXPECT_EQ(lines[25], "delaybeforesend: 0.0");
  EXPECT_EQ(lines[26], "delayafterclose: 2.0");
  EXPECT_EQ(lines[27], "delayafterterminate: 0.333333333333");
}

TEST(StateReport, ShortBuffersShowWhole) {
  spawn child(std::nullopt);
  child.buffer = std::string(100, 'q');
  child.before = "";
  const std::string report = child.str();
  EXPECT_EQ(line_with(report, "buffer "), "buffer (last 100 chars): " + std::string(100, 'q'));
  EXPECT_EQ(line_with(report, "before "), "before (last 100 chars): ");
}

TEST(StateReport, BytesAreShownAsTheyAre) {
  spawn child(std::nullopt);
  child.buffer = std::string("a\0b\xff", 4);
  EXPECT_NE(child.str().find(std::string("buffer (last 100 chars): a\0b\xff\nbefore", 36)),
            std::string::npos);
}

TEST(StateReport, MarkersInAfterMatchAndDelimiter) {
  spawn child(std::nullopt);
  child.after = after_value(TIMEOUT_marker);
  child.match = match_value(TIMEOUT_marker);
  child.delimiter = TIMEOUT_marker;
  std::string report = child.str();
  EXPECT_EQ(line_with(report, "after: "), "after: pexpect_custom::TIMEOUT");
  EXPECT_EQ(line_with(report, "match: "), "match: pexpect_custom::TIMEOUT");
  EXPECT_EQ(line_with(report, "delimiter: "), "delimiter: pexpect_custom::TIMEOUT");

  child.after = after_value(EOF_marker);
  child.match = match_value(EOF_marker);
  report = child.str();
  EXPECT_EQ(line_with(report, "after: "), "after: pexpect_custom::EOF_");
  EXPECT_EQ(line_with(report, "match: "), "match: pexpect_custom::EOF_");
}

TEST(StateReport, ObjectsAreIdentifiedByTypeAndAddress) {
  spawn child(std::nullopt);
  std::ostringstream read_log;
  std::ostringstream send_log;
  child.logfile_read = &read_log;
  child.logfile_send = &send_log;
  child.match = match_value(*Regex("b+").search("abbc"));
  child.delimiter = Regex("x");

  const std::string report = child.str();
  const auto& match = std::get<Match>(*child.match);
  const auto& delimiter = std::get<Regex>(child.delimiter.value);
  EXPECT_EQ(line_with(report, "match: "), "match: " + identification("pexpect_custom::Match", &match));
  EXPECT_EQ(line_with(report, "delimiter: "),
            "delimiter: " + identification("pexpect_custom::Regex", &delimiter));
  EXPECT_EQ(line_with(report, "logfile_read: "),
            "logfile_read: " + identification("std::ostream", &read_log));
  EXPECT_EQ(line_with(report, "logfile_send: "),
            "logfile_send: " + identification("std::ostream", &send_log));
}

TEST(StateReport, RegexSearcherReportsItsOwnLines) {
  spawn child(std::nullopt);
  child.searcher = std::make_shared<searcher_re>(pattern_list{TIMEOUT_marker, Regex("a.c")});
  const auto lines = lines_of(child.str());
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[4], "searcher: searcher_re:");
  EXPECT_EQ(lines[5], "    0: TIMEOUT");
  EXPECT_EQ(lines[7].rfind("buffer (last 100 chars): ", 0), 0u);
}

TEST(StateReport, SearcherThatCannotReportDoesNotBreakTheReport) {
  spawn child(std::nullopt);
  // A regular-expression searcher holding a plain string refuses to describe itself.
  auto refusing = std::make_shared<searcher_re>(pattern_list{"plain"});
  child.searcher = refusing;
  std::string report;
  ASSERT_NO_THROW(report = child.str());
  EXPECT_EQ(line_with(report, "searcher: "),
            "searcher: " + identification("pexpect_custom::searcher_re", refusing.get()));
  EXPECT_EQ(lines_of(report).size(), 26u);
}

TEST(StateReport, ChildEndedBySignalShowsNoExitStatus) {
  spawn child(std::nullopt);
  child.exitstatus.reset();
  child.signalstatus = 9;
  child.status = 9;
  child.terminated = true;
  const std::string report = child.str();
  EXPECT_EQ(line_with(report, "exitstatus: "), "exitstatus: None");
  EXPECT_EQ(report.find("signalstatus"), std::string::npos);
  EXPECT_EQ(report.find("terminated"), std::string::npos);
}

TEST(StateReport, StartedChild) {
  spawn child(test_support::helper, {"sleep", "30"});
  const std::string report = child.str();
  EXPECT_EQ(line_with(report, "command: "), "command: " + test_support::helper);
  EXPECT_EQ(line_with(report, "args: "), "args: ['" + test_support::helper + "', 'sleep', '30']");
  EXPECT_EQ(line_with(report, "pid: "), "pid: " + std::to_string(*child.pid));
  EXPECT_EQ(line_with(report, "child_fd: "), "child_fd: " + std::to_string(child.child_fd));
  EXPECT_EQ(line_with(report, "closed: "), "closed: False");

  child.close(true);
  EXPECT_EQ(line_with(child.str(), "child_fd: "), "child_fd: -1");
  EXPECT_EQ(line_with(child.str(), "closed: "), "closed: True");
}

// ---- text forms ---------------------------------------------------------------------------

TEST(TextForm, Reals) {
  using detail::real_text;
  EXPECT_EQ(real_text(0.1), "0.1");
  EXPECT_EQ(real_text(0.05), "0.05");
  EXPECT_EQ(real_text(2.0), "2.0");
  EXPECT_EQ(real_text(30), "30.0");
  EXPECT_EQ(real_text(0), "0.0");
  EXPECT_EQ(real_text(1e-05), "1e-05");
  EXPECT_EQ(real_text(123456789012345.0), "1.23456789012e+14");
  EXPECT_EQ(real_text(123456789012.0), "123456789012.0");
  EXPECT_EQ(real_text(1.0 / 3), "0.333333333333");
  EXPECT_EQ(real_text(-2.5), "-2.5");
  EXPECT_EQ(real_text(-2), "-2.0");
  EXPECT_EQ(real_text(0.1 + 0.2), "0.3");
  EXPECT_EQ(real_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(real_text(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(TextForm, TimeOutShowsWholeNumbersAsIntegers) {
  using detail::whole_or_real_text;
  EXPECT_EQ(whole_or_real_text(30), "30");
  EXPECT_EQ(whole_or_real_text(0), "0");
  EXPECT_EQ(whole_or_real_text(-1), "-1");
  EXPECT_EQ(whole_or_real_text(123456789012345.0), "123456789012345");
  EXPECT_EQ(whole_or_real_text(0.5), "0.5");
  EXPECT_EQ(whole_or_real_text(1e300), "1e+300");
  EXPECT_EQ(whole_or_real_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(whole_or_real_text(std::nan("")), "nan");
}

TEST(TextForm, ArgumentLists) {
  using detail::list_text;
  EXPECT_EQ(list_text({}), "[]");
  EXPECT_EQ(list_text({""}), "['']");
  EXPECT_EQ(list_text({"ls", "-l", "/tmp"}), "['ls', '-l', '/tmp']");
  EXPECT_EQ(list_text({"it's"}), R"(['it\'s'])");
  EXPECT_EQ(list_text({R"(C:\dir)"}), R"(['C:\\dir'])");
  EXPECT_EQ(list_text({R"(\')"}), R"(['\\\''])");
  EXPECT_EQ(list_text({"say \"hi\""}), R"(['say "hi"'])");
  EXPECT_EQ(list_text({"a\nb\tc\r"}), R"(['a\nb\tc\r'])");
  EXPECT_EQ(list_text({std::string("\x01\x7f\0", 3)}), R"(['\x01\x7f\x00'])");
  EXPECT_EQ(list_text({"caf\xc3\xa9"}), "['caf\xc3\xa9']");
}
