// Sending input and controlling the child's terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>

#include "pexpect_custom/fdspawn.hpp"
#include "pexpect_custom/run.hpp"
#include "pexpect_custom/spawn.hpp"
#include "pexpect_custom/ssh_spawn.hpp"
#include "ssh_server.hpp"
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

// A password prompt that turns echo off, answered with a secret on every kind of session and by
// run: the program gets the exact bytes, every log, the recording, the state report and the
// errors show the mask only. The remote row needs the test server.
TEST(Secret, ReachesTheProgramButNoLogRecordingOrError) {
  const std::string password = "pa55 w0rd!";
  std::string hex;
  for (unsigned char c : password + "\n") {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", c);
    hex += digits;
  }
  const std::string prompt_program = helper + " noecho print 'Password: ' hexin 11";
  std::optional<test_support::ssh_server> server;
  if (!test_support::ssh_server::missing_prerequisite()) server.emplace();

  for (const std::string kind : {"spawn", "fdspawn", "ssh_spawn"}) {
    SCOPED_TRACE(kind);
    std::optional<spawn> local;
    std::optional<fdspawn> over_fd;
    std::optional<ssh_spawn> remote;
    expect_base* session = nullptr;
    if (kind == "ssh_spawn") {
      if (!server) continue;
      session = &remote.emplace(server->key_login(prompt_program));
    } else {
      local.emplace(prompt_program);
      session = &*local;
      if (kind == "fdspawn")
        session = &over_fd.emplace(dup(local->child_fd), fdspawn_options{.ownership = fd_ownership::owned});
    }
    std::ostringstream log, sent, read, recorded;
    recorder recording(recorded, 24, 80);
    session->logfile = &log;
    session->logfile_send = &sent;
    session->logfile_read = &read;
    session->recording = &recording;
    session->delaybeforesend = 0;
    session->expect_exact("Password: ", 20);
    EXPECT_EQ(session->sendline(secret(password)), 11);
    session->expect_exact("hex: " + hex + "\r\n", 20);
    std::string errors = session->str();
    try {
      session->expect_exact("never", 0);  // a time-out, or end of file once the program is gone
    } catch (const ExceptionPexpect& error) {
      errors += error.what() + error.get_trace();
    }
    if (remote) remote->close();
    if (over_fd) over_fd->close();
    if (local) local->close();
    try {
      session->send(secret(password));
      ADD_FAILURE() << "a send on a closed session succeeded";
    } catch (const SystemError& error) {
      errors += error.what();
    }
    EXPECT_EQ(sent.str(), "********\n********");  // a failing send is logged before its write
    EXPECT_NE(log.str().find("Password: ********\n"), std::string::npos) << log.str();
    EXPECT_NE(recorded.str().find(R"("i","********\n")"), std::string::npos) << recorded.str();
    for (const std::string& text : {log.str(), read.str(), recorded.str(), errors})
      EXPECT_EQ(text.find(password), std::string::npos) << text;
  }

  std::ostringstream run_log, run_sent;
  const run_result answered =
      run(prompt_program, {.timeout = 20,
                           .events = run_events{{"Password: ", secret(password + "\n")}},
                           .logfile = &run_log,
                           .logfile_send = &run_sent});
  EXPECT_NE(answered.output.find("hex: " + hex), std::string::npos) << answered.output;
  EXPECT_EQ(run_sent.str(), "********");
  EXPECT_EQ(run_log.str().find(password), std::string::npos) << run_log.str();

  std::string moved = password;
  std::ostringstream shown;
  shown << secret(std::move(moved));
  EXPECT_EQ(shown.str(), "********");
  EXPECT_TRUE(moved.empty());
}
