// Children that misbehave: they let go of their terminal, leave a grandchild holding it, stop
// themselves, flood while being written to, write every byte value, or end while the caller
// waits. None of them may make the caller hang, lose bytes or leave anything behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "pexpect_custom/expect_any.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::ended_unreaped;
using test_support::helper;
using test_support::stopped_unreaped;

namespace {

spawn quick(std::vector<std::string> args) {
  spawn child(helper, std::move(args));
  child.delaybeforesend = 0;
  child.delayafterclose = 0;
  child.delayafterterminate = 0.05;
  child.timeout = 30;
  return child;
}

// Runs `action`; if it has not come back after `seconds`, calls `rescue` from another thread to
// unblock it. Returns whether `action` came back by itself.
bool returns_within(double seconds, const std::function<void()>& action,
                    const std::function<void()>& rescue) {
  std::mutex mutex;
  std::condition_variable done_changed;
  bool done = false;
  bool rescued = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!done_changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return done; })) {
      rescued = true;
      rescue();
    }
  });
  try {
    action();
  } catch (...) {
    {
      std::lock_guard lock(mutex);
      done = true;
    }
    done_changed.notify_one();
    watchdog.join();
    throw;
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  done_changed.notify_one();
  watchdog.join();
  return !rescued;
}

// Kills a process that is not our child (a grandchild) when the test ends, however it ends.
class stray_process {
 public:
  explicit stray_process(pid_t pid) : pid_(pid) {}
  ~stray_process() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
  }
  stray_process(const stray_process&) = delete;
  stray_process& operator=(const stray_process&) = delete;

 private:
  pid_t pid_;
};

std::string numbered_lines(long total, const std::string& line_end) {
  std::string plain;
  for (long line = 0; static_cast<long>(plain.size()) < total; ++line) plain += std::to_string(line) + "\n";
  plain.resize(static_cast<std::size_t>(total));
  std::string converted;
  for (char c : plain) {
    if (c == '\n')
      converted += line_end;
    else
      converted += c;
  }
  return converted;
}

class Hostile : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before_);
  }

 private:
  std::set<int> fds_before_ = test_support::open_fds();
};

}  // namespace

TEST_F(Hostile, ChildThatLetsGoOfItsTerminalAndKeepsRunning) {
  spawn child = quick({"println", "letting go", "detach", "pause"});
  EXPECT_EQ(child.expect_exact("letting go"), 0);
  // Nobody holds the terminal's other side any more: end of file, while the child still runs.
  EXPECT_EQ(child.expect({EOF_marker, TIMEOUT_marker}, 20), 0);
  EXPECT_TRUE(child.flag_eof);
  EXPECT_FALSE(child.terminated);
  EXPECT_TRUE(test_support::process_exists(*child.pid));
  // Closing gives it the object's time-out to end by itself, then still ends it.
  child.timeout = 0.5;
  child.close();
  EXPECT_TRUE(child.terminated);
  EXPECT_TRUE(child.signalstatus.has_value());
  EXPECT_FALSE(test_support::process_exists(*child.pid));
}

// A read after end of file must keep to its time-out even though the child, having let go of
// its terminal, runs on: the liveness test inside the read must not wait for the child to end.
TEST_F(Hostile, ReadAfterEndOfFileKeepsToItsTimeoutWhileTheChildRuns) {
  spawn child = quick({"detach", "pause"});
  child.timeout = 0.5;  // what close() waits for its end before ending it
  EXPECT_EQ(child.expect(EOF_marker, 20), 0);
  const pid_t pid = *child.pid;
  bool raised_eof = false;
  EXPECT_TRUE(returns_within(
      20,
      [&] {
        try {
          child.read_nonblocking(100, 0.2);
        } catch (const EOF_&) {
          raised_eof = true;
        } catch (const TIMEOUT&) {
        }
      },
      [pid] { ::kill(pid, SIGKILL); }));
  EXPECT_TRUE(raised_eof);
}

TEST_F(Hostile, GrandchildHoldingTheTerminal) {
  spawn child = quick({"holder", "60", "println", "parent done", "exit", "0"});
  ASSERT_EQ(child.expect("grandchild (\\d+)"), 0);
  stray_process grandchild(std::stoi(*std::get<Match>(*child.match).group(1)));
  EXPECT_EQ(child.expect_exact("parent done"), 0);
  // The read may already have collected the child's end while it waited for that line.
  ASSERT_TRUE(child.terminated || ended_unreaped(*child.pid));
  // The grandchild keeps the terminal open and silent; once the child has ended, a read reports
  // end of file at once instead of waiting for the terminal to close.
  EXPECT_EQ(child.expect({EOF_marker, TIMEOUT_marker}, 0), 0);
  EXPECT_FALSE(child.isalive());
  EXPECT_EQ(child.exitstatus, 0);
  child.close();
  EXPECT_TRUE(child.closed);
}

// Without a time-out, the caller waiting for the end of a child whose grandchild holds the
// terminal must be woken by the child's end, not by the grandchild's: by the blocking expect and
// by the wait on many sessions alike.
TEST_F(Hostile, GrandchildHoldingTheTerminalDoesNotHoldAnUnlimitedWait) {
  const std::function<long(spawn&)> waits[] = {
      [](spawn& child) { return child.expect(EOF_marker, std::nullopt); },
      [](spawn& child) { return expect_any({on(child, {EOF_marker})}, std::nullopt).index; },
  };
  for (const auto& wait_for_end : waits) {
    spawn child = quick({"holder", "60", "sleep", "0.5", "exit", "0"});
    ASSERT_EQ(child.expect("grandchild (\\d+)"), 0);
    const pid_t grandchild_pid = std::stoi(*std::get<Match>(*child.match).group(1));
    stray_process grandchild(grandchild_pid);
    long index = -1;
    EXPECT_TRUE(returns_within(
        20, [&] { index = wait_for_end(child); }, [grandchild_pid] { ::kill(grandchild_pid, SIGKILL); }));
    EXPECT_EQ(index, 0);
  }
}

TEST_F(Hostile, ChildThatStopsItself) {
  spawn child = quick({"println", "stopping", "stop", "println", "resumed", "pause"});
  EXPECT_EQ(child.expect_exact("stopping"), 0);
  ASSERT_TRUE(stopped_unreaped(*child.pid));
  try {
    child.isalive();
    FAIL() << "a stopped child must be reported";
  } catch (const ExceptionPexpect& error) {
    EXPECT_NE(std::string(error.what()).find("child process is stopped"), std::string::npos);
  }
  // A stopped child writes nothing: a wait for output runs out of time, it does not hang.
  EXPECT_EQ(child.expect({"resumed", TIMEOUT_marker}, 0.3), 1);
  ::kill(*child.pid, SIGCONT);
  EXPECT_EQ(child.expect_exact("resumed"), 0);
  child.close();
  EXPECT_TRUE(child.terminated);

  // Closing a child that is still stopped continues and ends it.
  spawn stopped = quick({"println", "stopping", "stop", "pause"});
  EXPECT_EQ(stopped.expect_exact("stopping"), 0);
  ASSERT_TRUE(stopped_unreaped(*stopped.pid));
  stopped.close();
  EXPECT_TRUE(stopped.terminated);
  EXPECT_FALSE(test_support::process_exists(*stopped.pid));
}

TEST_F(Hostile, ChildThatIsTracedWhenItIsClosed) {
  // A traced child's end is reported to its tracer first; its parent can collect it only once
  // the tracer lets go. Closing must wait for that instead of reporting a failure and leaving a
  // zombie behind.
  spawn child = quick({"traced", "1", "pause"});
  child.delayafterterminate = 0;
  if (child.expect({"tracer (\\d+)\r\n", "untraceable"}) == 1) GTEST_SKIP() << "tracing is not allowed here";
  stray_process tracer(std::stoi(*std::get<Match>(*child.match).group(1)));
  child.close();
  EXPECT_TRUE(child.closed);
  EXPECT_TRUE(child.signalstatus.has_value());
}

TEST_F(Hostile, ChildThatFloodsWhileTheCallerSendsInput) {
  constexpr long flood_bytes = 300'000;
  constexpr int input_lines = 1000;
  spawn child = quick({"noecho", "chatter", std::to_string(flood_bytes)});
  ASSERT_TRUE(child.waitnoecho(20));
  std::string output;
  long sent_bytes = 0, sent_sum = 0;
  for (int i = 0; i < input_lines; ++i) {
    const std::string line = "input-" + std::to_string(i);
    child.sendline(line);
    sent_bytes += static_cast<long>(line.size());
    for (char c : line) sent_sum += static_cast<unsigned char>(c);
    try {
      output += child.read_nonblocking(65536, 0);
    } catch (const TIMEOUT&) {
    }
  }
  child.sendline("end");
  child.buffer = output;
  ASSERT_EQ(child.expect("received (\\d+) (\\d+) (\\d+)\r\n"), 0);
  const Match& counts = std::get<Match>(*child.match);
  EXPECT_EQ(counts.group(1), std::to_string(input_lines));
  EXPECT_EQ(counts.group(2), std::to_string(sent_bytes));
  EXPECT_EQ(counts.group(3), std::to_string(sent_sum));
  // Every byte of the flood arrived, in order, with the terminal's line ends.
  EXPECT_TRUE(*child.before == numbered_lines(flood_bytes, "\r\n")) << "flood corrupted";
  EXPECT_EQ(child.expect(EOF_marker), 0);
}

TEST_F(Hostile, EveryByteValueArrivesUnchangedBothWays) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  spawn child = quick({"raw", "bytes", "hexin", "256"});
  // The terminal is raw once the child writes: its output comes through untranslated.
  std::string got;
  while (got.size() < all.size())
    got += child.read_nonblocking(static_cast<long>(all.size() - got.size()), 20);
  EXPECT_TRUE(got == all);
  // And input reaches it untranslated: no interrupt, no line editing, no end of file.
  child.send(all);
  std::string hex;
  for (int b = 0; b < 256; ++b) {
    static const char digits[] = "0123456789abcdef";
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  EXPECT_EQ(child.expect_exact("hex: " + hex + "\n"), 0);
  EXPECT_EQ(child.expect(EOF_marker), 0);
  child.close();
  EXPECT_EQ(child.exitstatus, 0);
}

TEST_F(Hostile, ChildThatEndsWhileTheCallerIsBlockedInARead) {
  // A read without a time-out: the child's end wakes it, after its last words.
  spawn child = quick({"sleep", "0.3", "print", "last words", "exit", "4"});
  std::string got;
  EXPECT_THROW(
      {
        while (true) got += child.read_nonblocking(1000, std::nullopt);
      },
      EOF_);
  EXPECT_EQ(got, "last words");
  EXPECT_FALSE(child.isalive());
  EXPECT_EQ(child.exitstatus, 4);

  // The same inside expect, waiting for a pattern that never comes.
  spawn silent = quick({"sleep", "0.3", "signal", "15"});
  EXPECT_EQ(silent.expect({"never", EOF_marker}, std::nullopt), 1);
  EXPECT_EQ(silent.before, "");
  silent.close();
  EXPECT_EQ(silent.signalstatus, SIGTERM);
}
