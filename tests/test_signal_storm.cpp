// A signal every millisecond, with a handler installed without SA_RESTART, so that every wait,
// read, write and sleep of the library is interrupted over and over. Each operation must give
// exactly the result it gives without the signals: interrupted calls are retried, waits go on
// with the time that remains.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

std::atomic<long> ticks{0};

void on_tick(int) {
  ticks.fetch_add(1, std::memory_order_relaxed);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

spawn quick(std::vector<std::string> args) {
  spawn child(helper, std::move(args));
  child.delaybeforesend = 0;
  child.delayafterclose = 0;
  child.delayafterterminate = 0.05;
  return child;
}

std::string numbered_lines(long total) {
  std::string plain;
  for (long line = 0; static_cast<long>(plain.size()) < total; ++line) plain += std::to_string(line) + "\n";
  plain.resize(static_cast<std::size_t>(total));
  std::string converted;
  for (char c : plain) {
    if (c == '\n')
      converted += "\r\n";
    else
      converted += c;
  }
  return converted;
}

// A thread that drains a descriptor into a string until end of file, with the storm's signal
// blocked, so that the interruptions land on the code under test.
class drain {
 public:
  explicit drain(int fd) : fd_(fd) {
    sigset_t storm, previous;
    sigemptyset(&storm);
    sigaddset(&storm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &storm, &previous);
    thread_ = std::thread([this] {
      char chunk[65536];
      while (true) {
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text_.append(chunk, static_cast<std::size_t>(n));
      }
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~drain() {
    if (thread_.joinable()) thread_.join();
  }
  drain(const drain&) = delete;
  drain& operator=(const drain&) = delete;
  // Once the writing side is closed: everything that came.
  const std::string& text() {
    thread_.join();
    return text_;
  }

 private:
  int fd_;
  std::string text_;
  std::thread thread_;
};

class SignalStorm : public ::testing::Test {
 protected:
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = on_tick;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: interrupted calls fail with EINTR
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous_action_), 0);
    itimerval every_millisecond{{0, 1000}, {0, 1000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_millisecond, nullptr), 0);
    ticks_at_start_ = ticks.load();
  }

  void TearDown() override {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_action_, nullptr);
    // The storm really blew while the test ran.
    const long delivered = ticks.load() - ticks_at_start_;
    EXPECT_GE(delivered, 3);
    std::cout << delivered << " signals were handled during the test\n";
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before_);
  }

 private:
  struct sigaction previous_action_ {};
  long ticks_at_start_ = 0;
  std::set<int> fds_before_ = test_support::open_fds();
};

}  // namespace

TEST_F(SignalStorm, ExpectFindsEveryMatchAndKeepsItsTimeout) {
  for (int round = 0; round < 5; ++round) {
    spawn child = quick({"trickle", "alpha beta gamma\n", "sleep", "0.2", "println", "delta", "exit", "2"});
    EXPECT_EQ(child.expect({"gamma", "beta"}), 1);
    EXPECT_EQ(child.before, "alpha ");
    EXPECT_EQ(child.expect_exact({"delta", "gamma"}), 1);
    EXPECT_EQ(child.before, " ");
    EXPECT_EQ(child.expect("de(l)ta\r\n"), 0);
    EXPECT_EQ(std::get<Match>(*child.match).group(1), "l");
    EXPECT_EQ(child.expect(EOF_marker), 0);
    child.close();
    EXPECT_EQ(child.exitstatus, 2);
  }
  // A time-out runs its full length: an interruption neither ends the wait nor restarts it.
  spawn silent = quick({"sleep", "30"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(silent.expect({"never", TIMEOUT_marker}, 0.3), 1);
  EXPECT_GE(seconds_since(start), 0.3);
  start = std::chrono::steady_clock::now();
  EXPECT_THROW(silent.expect("never", 0.3), TIMEOUT);
  EXPECT_GE(seconds_since(start), 0.3);
}

TEST_F(SignalStorm, ReadNonblockingLosesNothing) {
  constexpr long flood_bytes = 200'000;
  spawn child = quick({"flood", std::to_string(flood_bytes), "exit", "0"});
  std::string got;
  EXPECT_THROW(
      {
        while (true) got += child.read_nonblocking(4096, 20);
      },
      EOF_);
  EXPECT_TRUE(got == numbered_lines(flood_bytes)) << "got " << got.size() << " bytes";

  spawn silent = quick({"sleep", "30"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(silent.read_nonblocking(100, 0.3), TIMEOUT);
  EXPECT_GE(seconds_since(start), 0.3);
  EXPECT_TRUE(silent.isalive());
}

TEST_F(SignalStorm, SendingAndWaitingForEchoToGoOff) {
  spawn child = quick({"sleep", "0.2", "noecho", "readline", "exit", "0"});
  EXPECT_TRUE(child.waitnoecho(20));
  child.sendline(std::string(3000, 'x'));
  EXPECT_EQ(child.expect_exact("[" + std::string(3000, 'x') + "]"), 0);
  EXPECT_EQ(child.expect(EOF_marker), 0);

  spawn echoing = quick({"sleep", "30"});
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(echoing.waitnoecho(0.3));
  EXPECT_GE(seconds_since(start), 0.3);
}

TEST_F(SignalStorm, ALargeSendArrivesWhole) {
  // More than the terminal's input queue holds: the write waits for the child to read, and the
  // storm interrupts it part-way, again and again.
  constexpr std::size_t size = 20000;
  std::string data;
  for (std::size_t i = 0; i < size; ++i) data += static_cast<char>('a' + i % 26);
  spawn child = quick({"raw", "println", "ready", "hexin", std::to_string(size)});
  ASSERT_EQ(child.expect_exact("ready\n"), 0);
  EXPECT_EQ(child.send(data), static_cast<long>(size));
  std::string hex;
  for (char c : data) {
    static const char digits[] = "0123456789abcdef";
    hex += digits[static_cast<unsigned char>(c) >> 4];
    hex += digits[c & 15];
  }
  child.maxread = 65536;
  EXPECT_EQ(child.expect_exact({"hex: " + hex + "\n", EOF_marker}), 0);
}

TEST_F(SignalStorm, TerminateGoesThroughItsStages) {
  // Ignores the hang-up, not the interrupt: ended at the third stage.
  spawn hangup_deaf = quick({"ignore", "1", "println", "ignoring", "pause"});
  ASSERT_EQ(hangup_deaf.expect_exact("ignoring"), 0);
  hangup_deaf.delayafterterminate = 0.1;
  EXPECT_TRUE(hangup_deaf.terminate());
  EXPECT_EQ(hangup_deaf.signalstatus, SIGINT);

  // Ignores both: survives without force, ended by SIGKILL with it.
  spawn stubborn = quick({"ignore", "1,2", "println", "ignoring", "pause"});
  ASSERT_EQ(stubborn.expect_exact("ignoring"), 0);
  stubborn.delayafterterminate = 0.1;
  EXPECT_FALSE(stubborn.terminate(false));
  EXPECT_TRUE(stubborn.isalive());
  EXPECT_TRUE(stubborn.terminate(true));
  EXPECT_EQ(stubborn.signalstatus, SIGKILL);

  // wait() blocks through the storm until the child's own end.
  spawn sleeper = quick({"sleep", "0.3", "exit", "9"});
  EXPECT_EQ(sleeper.wait(), 9);
}

TEST_F(SignalStorm, InteractRelaysEveryByte) {
  constexpr long flood_bytes = 200'000;
  int input[2], output[2];
  ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ASSERT_EQ(::write(input[1], "hello\n", 6), 6);
  ::close(input[1]);
  drain screen(output[0]);
  {
    spawn child = quick({"sleep", "0.2", "readline", "flood", std::to_string(flood_bytes), "exit", "0"});
    child.stdin_fileno = input[0];
    child.stdout_fileno = output[1];
    child.interact();
    EXPECT_FALSE(child.isalive());
    EXPECT_EQ(child.exitstatus, 0);
  }
  ::close(output[1]);
  ::close(input[0]);
  const std::string& shown = screen.text();
  ::close(output[0]);
  EXPECT_TRUE(shown == "hello\r\n[hello]\r\n" + numbered_lines(flood_bytes))
      << "shown " << shown.size() << " bytes, starting " << shown.substr(0, 40);
}
