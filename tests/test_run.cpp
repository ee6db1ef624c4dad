// The one-shot run: output, exit status, events and callbacks.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <sstream>

#include "pexpect_custom/run.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

class Run : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before);
  }
  std::set<int> fds_before = test_support::open_fds();
};

std::string h(const std::string& rest) {
  return helper + " " + rest;
}

}  // namespace

TEST_F(Run, CollectsEverythingUntilEndOfFile) {
  std::string out = run("echo hello");
  EXPECT_EQ(out, "hello\r\n");
}

TEST_F(Run, ExitStatusWhenAskedFor) {
  auto [out, status] = run(h("println bye exit 2"), -1, true);
  EXPECT_EQ(out, "bye\r\n");
  EXPECT_EQ(status, 2);
  auto killed = run(h("signal 15"), {.withexitstatus = true});
  EXPECT_EQ(killed.exitstatus, std::nullopt);
  EXPECT_EQ(run(h("exit 0"), {.withexitstatus = true}).exitstatus, 0);
  // A child still finishing after it let go of its terminal keeps its exit code.
  EXPECT_EQ(run(h("detach sleep 0.5 exit 2"), {.withexitstatus = true}).exitstatus, 2);
}

TEST_F(Run, StringResponsesAreSentUnchanged) {
  run_events events{{"Name: ", std::string("ann\n")}, {"Password: ", std::string("secret\n")}};
  auto result = run(h("login"), {.withexitstatus = true, .events = events});
  EXPECT_NE(result.output.find("Welcome, ann!"), std::string::npos) << result.output;
  EXPECT_EQ(result.exitstatus, 0);
  // Without a line feed the helper keeps waiting for the end of the line: the time-out ends it,
  // and the echo of the answer is part of the output.
  auto unanswered =
      run(h("print ok> readline"), {.timeout = 1, .events = run_events{{">", std::string("abc")}}});
  EXPECT_EQ(unanswered.output, "ok>abc");
}

TEST_F(Run, CallbackThatStopsKeepsTheMatchedText) {
  long seen_count = -1;
  run_events events{{"ready", run_callback([&](run_context& context) -> callback_return {
                       seen_count = context.event_count;
                       context.event_count = 100;  // the table is a copy
                       return true;
                     })}};
  std::string out = run(h("print ready sleep 30"), {.events = events});
  EXPECT_EQ(out, "ready");
  EXPECT_EQ(seen_count, 0);
}

TEST_F(Run, CallbackStringsAreSentAndEmptyOnesToo) {
  std::vector<long> counts;
  std::vector<bool> had_previous;
  run_events events{{"Name: ", run_callback([&](run_context& context) -> callback_return {
                       counts.push_back(context.event_count);
                       had_previous.push_back(context.callback_result.has_value());
                       context.child->sendline("bob");
                       return std::string("");
                     })},
                    {"Password: ", run_callback([&](run_context& context) -> callback_return {
                       counts.push_back(context.event_count);
                       had_previous.push_back(context.callback_result.has_value());
                       return std::string("secret\n");
                     })}};
  // The name callback sends the name itself and returns an empty answer, which is sent too.
  auto result = run(h("login"), {.timeout = 10, .withexitstatus = true, .events = events});
  EXPECT_EQ(counts, (std::vector<long>{0, 1}));
  EXPECT_EQ(had_previous, (std::vector<bool>{false, true}));
  EXPECT_NE(result.output.find("Welcome, bob!"), std::string::npos) << result.output;
}

TEST_F(Run, TimeoutEventsRunOncePerPeriod) {
  std::vector<long> counts;
  run_events events{{TIMEOUT_marker, run_callback([&](run_context& context) -> callback_return {
                       counts.push_back(context.event_count);
                       return std::monostate{};
                     })}};
  run(h("sleep 1.2 println done"), {.timeout = 0.3, .events = events});
  ASSERT_GE(counts.size(), 2u);
  for (std::size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], static_cast<long>(i));
}

TEST_F(Run, SilentCommandEndsAfterTheTimeout) {
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run(h("sleep 60"), {.timeout = 1}).output, "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST_F(Run, FailuresLeaveRunAndTheChildIsReaped) {
  EXPECT_THROW(run("no-such-command-here"), ExceptionPexpect);
  EXPECT_THROW(run(h("println x sleep 30"), {.events = run_events{{"(unclosed", std::string("y")}}}),
               regex_error);
  run_events throwing{
      {"x", run_callback([](run_context&) -> callback_return { throw std::runtime_error("boom"); })}};
  EXPECT_THROW(run(h("println x ignore 1,2 sleep 30"), {.events = throwing}), std::runtime_error);
  try {
    run(h("println x sleep 30"), {.events = run_events{{"x", run_callback()}}});
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "The callback must be a string or function type.");
  }
}

// Every per-object field can be set through run's options, and durations work as time-outs.
TEST_F(Run, OptionsReachTheChild) {
  std::ostringstream sent, read;
  run_events events{{"READY", std::string("x\n")}};
  auto [out, status] =
      run(h("println READY readline report winsize"), {.timeout = std::chrono::seconds(10),
                                                       .withexitstatus = true,
                                                       .events = events,
                                                       .delaybeforesend = std::chrono::milliseconds(0),
                                                       .delayafterclose = 0,
                                                       .ignorecase = true,
                                                       .logfile_read = &read,
                                                       .logfile_send = &sent,
                                                       .dimensions = {40, 100}});
  EXPECT_EQ(status, 0);
  EXPECT_NE(out.find("winsize: 40 100"), std::string::npos) << out;
  EXPECT_EQ(sent.str(), "x\n");
  EXPECT_EQ(read.str(), out);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(run(h("sleep 60"), {.timeout = std::chrono::milliseconds(300)}).output, "");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST_F(Run, DirectoryAndEnvironmentReachTheChild) {
  test_support::temp_dir dir;
  test_support::cwd_guard restore;
  std::string out = run(h("report cwd env"), {.cwd = dir.path(), .env = environment{{"K", "v"}}});
  EXPECT_EQ(out, "cwd: " + dir.path() + "\r\nenv: K=v\r\nenv-end\r\n");
}
