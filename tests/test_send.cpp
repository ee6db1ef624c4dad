// Sending input and controlling the child's terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

spawn quick(std::vector<std::string> args) {
  spawn child(helper, std::move(args));
  child.delaybeforesend = 0;
  child.delayafterclose = 0;
  child.delayafterterminate = 0.05;
  return child;
}

// Everything the child writes until its terminal closes (without the expect engine).
std::string drain(spawn& child) {
  std::string output;
  char chunk[4096];
  for (ssize_t n; (n = ::read(child.child_fd, chunk, sizeof chunk)) > 0;)
    output.append(chunk, static_cast<std::size_t>(n));
  return output;
}

// Reads until `needle` has arrived (or the terminal closes).
std::string read_until(spawn& child, const std::string& needle) {
  std::string output;
  char chunk[4096];
  while (output.find(needle) == std::string::npos) {
    ssize_t n = ::read(child.child_fd, chunk, sizeof chunk);
    if (n <= 0) break;
    output.append(chunk, static_cast<std::size_t>(n));
  }
  return output;
}

}  // namespace

TEST(Send, LinesReachTheChildAndAreLoggedTwice) {
  spawn child = quick({"readline", "readline"});
  std::ostringstream log, sent;
  child.logfile = &log;
  child.logfile_send = &sent;
  EXPECT_EQ(child.sendline("hello"), 6);
  EXPECT_EQ(child.sendline(), 1);
  std::string out = drain(child);
  EXPECT_NE(out.find("[hello]"), std::string::npos) << out;
  EXPECT_NE(out.find("[]"), std::string::npos) << out;
  EXPECT_EQ(log.str(), "hello\n\n");
  EXPECT_EQ(sent.str(), "hello\n\n");
}

TEST(Send, ControlCharacters) {
  spawn child = quick({"sleep", "30"});
  child.setecho(false);
  // Raw bytes back through `cat` would be eaten by the line discipline, so watch the log.
  std::ostringstream sent;
  child.logfile_send = &sent;
  EXPECT_EQ(child.sendcontrol("g"), 1);
  EXPECT_EQ(child.sendcontrol("G"), 1);
  EXPECT_EQ(child.sendcontrol("["), 1);
  EXPECT_EQ(child.sendcontrol("?"), 1);
  EXPECT_EQ(child.sendcontrol("@"), 1);
  EXPECT_EQ(child.sendcontrol("_"), 1);
  EXPECT_EQ(child.sendcontrol("~"), 1);
  EXPECT_EQ(child.sendcontrol("2"), 0);
  EXPECT_EQ(sent.str(), std::string("\x07\x07\x1b\x7f\0\x1f\x1e", 7));
  EXPECT_THROW(child.sendcontrol("ab"), std::invalid_argument);
  EXPECT_THROW(child.sendcontrol(""), std::invalid_argument);
  EXPECT_EQ(sent.str().size(), 7u);
}

TEST(Send, EofEndsCatAndInterruptEndsSleep) {
  spawn cat = quick({"cat"});
  cat.sendeof();
  ASSERT_TRUE(test_support::eventually([&] { return !cat.isalive(); }));
  EXPECT_EQ(cat.exitstatus, 0);

  spawn sleeper = quick({"sleep", "30"});
  sleeper.sendintr();
  ASSERT_TRUE(test_support::eventually([&] { return !sleeper.isalive(); }));
  EXPECT_EQ(sleeper.signalstatus, SIGINT);
}

TEST(Send, WriteAndWritelines) {
  spawn child = quick({"readline"});
  child.writelines({"a", "b", "c\n"});
  EXPECT_NE(drain(child).find("[abc]"), std::string::npos);
}

TEST(Send, ClosedObjectFailsWithBadDescriptor) {
  spawn child = quick({"exit", "0"});
  child.close();
  try {
    child.send("x");
    FAIL();
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), EBADF);
    EXPECT_STREQ(error.what(), "[Errno 9] Bad file descriptor");
  }
  EXPECT_THROW(child.getecho(), TerminalError);
}

TEST(Send, DelayBeforeSendIsHonoured) {
  spawn child = quick({"sleep", "30"});
  child.delaybeforesend = 0.2;
  auto started = std::chrono::steady_clock::now();
  child.sendline("x");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
}

TEST(Echo, SetGetAndWait) {
  spawn child = quick({"sleep", "30"});
  EXPECT_TRUE(child.getecho());
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(child.waitnoecho(0));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
  child.setecho(false);
  EXPECT_FALSE(child.getecho());
  EXPECT_TRUE(child.waitnoecho());
  child.setecho(true);
  EXPECT_TRUE(child.getecho());
}

TEST(Echo, WaitNoEchoSeesTheChildTurnItOff) {
  spawn child = quick({"sleep", "0.3", "noecho", "sleep", "30"});
  EXPECT_TRUE(child.waitnoecho(30));
  EXPECT_FALSE(child.getecho());
}

TEST(Echo, EchoedInputComesBack) {
  spawn child = quick({"readline"});
  child.sendline("seen twice");
  std::string out = read_until(child, "]");
  EXPECT_EQ(out.find("seen twice\r\n"), 0u) << out;
}

TEST(FileLike, SmallAccessorsAndRetiredSetters) {
  spawn child = quick({"sleep", "30"});
  EXPECT_EQ(child.fileno(), child.child_fd);
  EXPECT_TRUE(child.isatty());
  child.flush();
  try {
    child.setmaxread(10);
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(
        error.what(),
        "This method is no longer supported or allowed. Just assign a value to the maxread member variable.");
  }
  try {
    child.setlog(nullptr);
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(
        error.what(),
        "This method is no longer supported or allowed. Just assign a value to the logfile member variable.");
  }
  EXPECT_EQ(child.maxread, 2000);
}

// With the default pause. A program that shows its prompt before it has set up its terminal
// (a nap, then echo off with the input flushed) must not get the answer early: it would be lost.
// The pause ends early only once the program blocks reading the terminal itself, not while it
// naps in any form or while a process of its group reads or polls something else (a pipe).
TEST(SendPause, AnswerWaitsUntilThePromptHasSetUpItsTerminal) {
  const std::string after_prompt = " noechoflush readline";
  const struct {
    const char* why;
    std::string command;
  } cases[] = {
      {"nap in nanosleep", helper + " print Password: sleep 0.005" + after_prompt},
      {"nap in poll without descriptors", helper + " print Password: pollsleep 0.005" + after_prompt},
      {"in a pipeline, whose reader of a pipe is not waiting for the answer",
       "/bin/sh -c '" + helper + " print Password: sleep 0.005" + after_prompt + " | " + helper + " cat'"},
      {"in a pipeline, whose poll on a pipe is not waiting for the answer",
       "/bin/sh -c '" + helper + " print Password: sleep 0.005" + after_prompt + " | " + helper +
           " pollcat'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    spawn child(c.command);
    ASSERT_DOUBLE_EQ(child.delaybeforesend, defaults::delaybeforesend);
    ASSERT_EQ(child.expect_exact("Password:", 20), 0);
    child.sendline("secret");
    ASSERT_EQ(child.expect_exact({"]", EOF_marker, TIMEOUT_marker}, 10), 0) << child.before_text();
    EXPECT_EQ(child.before, "[secret") << "echoed or lost";
  }
}

TEST(SendPause, ShellAtTheDefaultsLosesNothing) {
  spawn shell("/bin/sh", {});
  for (int step = 0; step < 50; ++step) {
    const std::string n = std::to_string(step);
    // The output "aNbN" differs from the echo of the command line.
    shell.sendline("echo a" + n + "''b" + n);
    ASSERT_EQ(shell.expect_exact({"a" + n + "b" + n + "\r\n", EOF_marker, TIMEOUT_marker}, 20), 0)
        << "step " << step << ": " << shell.before_text();
  }
  shell.sendline("exit 3");
  EXPECT_EQ(shell.expect(EOF_marker, 20), 0);
  shell.close();
  EXPECT_EQ(shell.exitstatus, 3);
}
