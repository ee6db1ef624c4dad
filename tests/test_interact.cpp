// The interactive relay, run in a forked process whose standard descriptors are the slave of a
// pseudo-terminal that the test holds as the user's terminal; and the wait it is built on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "io/select.hpp"
#include "io/unique_fd.hpp"
#include "pexpect_custom/recorder.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

constexpr double deadline_seconds = 30;

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// Collects what a descriptor delivers, with a deadline.
bool read_until(int fd, std::string& into, const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadline_seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 10) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0)
      into.append(chunk, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR)
      return done();
  }
  return true;
}

// What the relay process tells the test, one line per fact.
class reporter {
 public:
  explicit reporter(int fd) : fd_(fd) {}
  void operator()(const std::string& line) const {
    std::string text = line + "\n";
    ssize_t ignored = ::write(fd_, text.data(), text.size());
    (void)ignored;
  }

 private:
  int fd_;
};

// The relay's side, in the forked process: the started child (on its own pseudo-terminal) and
// a way to tell the test what happened.
using relay_body = std::function<void(spawn& child, const reporter& report)>;

// Runs `body` in a forked process whose standard descriptors are the slave of a pseudo-terminal
// held by the test (stdin may be replaced by `stdin_fd`). The test types on the master, watches
// the screen there and reads the slave's mode. Whatever happens, the forked process and the
// child it started are killed and reaped.
class relay_session {
 public:
  relay_session(std::vector<std::string> child_args, const relay_body& body, int stdin_fd = -1) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    int report_ends[2];
    if (pipe2(report_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    report_ = report_ends[0];
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    termios mode{};
    tcgetattr(slave_, &mode);
    mode.c_iflag |= IXANY;
    mode.c_cc[VKILL] = 0x0b;
    tcsetattr(slave_, TCSANOW, &mode);
    tcgetattr(slave_, &mode_before_);

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::close(master_);
      ::close(report_);
      setsid();
      ioctl(slave_, TIOCSCTTY, 0);
      dup2(stdin_fd >= 0 ? stdin_fd : slave_, 0);
      dup2(slave_, 1);
      dup2(slave_, 2);
      reporter report(report_ends[1]);
      try {
        spawn child(helper, child_args);
        child.delaybeforesend = 0;
        child.delayafterclose = 0;
        child.delayafterterminate = 0.01;
        report("pid " + std::to_string(*child.pid));
        body(child, report);
      } catch (const std::exception& error) {
        report(std::string("error ") + error.what());
      }
      std::cout.flush();
      _exit(0);
    }
    ::close(report_ends[1]);
  }

  ~relay_session() {
    if (!reaped_) {
      ::kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      // The relay process is gone, so the report holds all it said, its child's id included.
      char chunk[4096];
      ssize_t n;
      while ((n = ::read(report_, chunk, sizeof chunk)) > 0)
        report_text_.append(chunk, static_cast<std::size_t>(n));
      note_child_pid();
    }
    // A child the relay process did not end was left to init: end it, if that process is
    // still the helper (its id may have been reused since).
    std::error_code no_such_process;
    if (child_pid_ > 0 &&
        std::filesystem::read_symlink("/proc/" + std::to_string(child_pid_) + "/exe", no_such_process) ==
            std::filesystem::canonical(helper)) {
      ::kill(child_pid_, SIGKILL);
    }
    ::close(master_);
    ::close(slave_);
    ::close(report_);
  }
  relay_session(const relay_session&) = delete;
  relay_session& operator=(const relay_session&) = delete;

  const std::string& screen() const { return screen_; }

  // One short look at the terminal: whatever the relay has shown meanwhile goes into `into`.
  void collect(std::string& into) {
    pollfd entry{master_, POLLIN, 0};
    if (::poll(&entry, 1, 10) <= 0) return;
    char chunk[65536];
    ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n > 0) into.append(chunk, static_cast<std::size_t>(n));
  }

  // The user's window changes size: the kernel tells the relay process with SIGWINCH.
  void resize(unsigned short rows, unsigned short cols) {
    winsize size{};
    size.ws_row = rows;
    size.ws_col = cols;
    ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &size), 0);
  }

  void type(std::string_view bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  bool wait_for(const std::string& text) {
    return read_until(master_, screen_, [&] { return screen_.find(text) != std::string::npos; });
  }

  // Until the relay has switched the user's terminal to raw mode.
  bool wait_for_raw_mode() {
    return read_until(master_, screen_, [&] {
      termios now{};
      return tcgetattr(slave_, &now) == 0 && !(now.c_lflag & ICANON);
    });
  }

  // Collects the screen and the report until the relay process ends; returns the report.
  std::string finish() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadline_seconds);
    bool report_open = true;
    while (report_open && std::chrono::steady_clock::now() < deadline) {
      pollfd entries[2] = {{master_, POLLIN, 0}, {report_, POLLIN, 0}};
      if (::poll(entries, 2, 10) <= 0) continue;
      char chunk[65536];
      if (entries[0].revents & POLLIN) {
        ssize_t n = ::read(master_, chunk, sizeof chunk);
        if (n > 0) screen_.append(chunk, static_cast<std::size_t>(n));
      }
      if (entries[1].revents & (POLLIN | POLLHUP)) {
        ssize_t n = ::read(report_, chunk, sizeof chunk);
        if (n > 0) report_text_.append(chunk, static_cast<std::size_t>(n));
        if (n == 0) report_open = false;
      }
      note_child_pid();
    }
    if (report_open) return report_text_ + "(the relay process did not end)";
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    pollfd entry{master_, POLLIN, 0};
    char chunk[65536];
    while (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN)) {
      ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      screen_.append(chunk, static_cast<std::size_t>(n));
    }
    // Everything but the child's process id, which changes from run to run.
    std::istringstream lines(report_text_);
    std::string line, result;
    while (std::getline(lines, line)) {
      if (line.rfind("pid ", 0) != 0) result += line + "\n";
    }
    return result;
  }

  bool mode_restored() const {
    termios now{};
    tcgetattr(slave_, &now);
    return same_mode(now, mode_before_);
  }

 private:
  void note_child_pid() {
    if (child_pid_ == 0 && report_text_.rfind("pid ", 0) == 0) child_pid_ = std::stoi(report_text_.substr(4));
  }

  int master_ = -1;
  int slave_ = -1;
  int report_ = -1;
  pid_t pid_ = -1;
  pid_t child_pid_ = 0;
  bool reaped_ = false;
  termios mode_before_{};
  std::string screen_;
  std::string report_text_;
};

// In the relay process, after interact returned with the child still running: ends the line
// the child is reading and reports what the child made of it.
void report_line_child_read(spawn& child, const reporter& report) {
  std::string seen;
  if (::write(child.child_fd, "\r", 1) != 1) report("write failed");
  read_until(child.child_fd, seen, [&] { return seen.find("]\r\n") != std::string::npos; });
  auto close = seen.find("]\r\n");
  auto open = close == std::string::npos ? close : seen.rfind('[', close);
  report("child read " + (open == std::string::npos ? "nothing" : seen.substr(open, close - open + 1)));
}

// Runs interact with these arguments and reports how it ended.
relay_body relay_with(std::optional<std::string> escape, interact_filter input_filter = {},
                      interact_filter output_filter = {}) {
  return [=](spawn& child, const reporter& report) {
    try {
      child.interact(escape, input_filter, output_filter);
      report("returned");
    } catch (const std::exception& error) {
      report(std::string("error ") + error.what());
    }
  };
}

class Interact : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before_);
  }

 private:
  std::set<int> fds_before_ = test_support::open_fds();
};

}  // namespace

TEST_F(Interact, TypedInputAndOutputFlowUntilTheChildEnds) {
  relay_session session({"readline", "println", "bye", "exit", "3"},
                        [](spawn& child, const reporter& report) {
                          relay_with("\x1d")(child, report);
                          report("exitstatus " + std::to_string(child.exitstatus.value_or(-1)));
                        });
  ASSERT_TRUE(session.wait_for_raw_mode());
  session.type("typed\r");
  EXPECT_EQ(session.finish(), "returned\nexitstatus 3\n");
  EXPECT_EQ(session.screen(), "typed\r\n[typed]\r\nbye\r\n");
  EXPECT_TRUE(session.mode_restored());
}

// The user's terminal answers the child's queries during the relay; the session's screen only
// follows what is shown, at the user's size, and the recording notes both directions.
TEST_F(Interact, TheScreenAndTheRecordingFollowTheRelay) {
  relay_session session(
      {"readline", "println", "bye", "exit", "0"}, [](spawn& child, const reporter& report) {
        std::ostringstream cast;
        {
          recorder recording(cast, 24, 80);
          child.attach_screen();
          child.recording = &recording;
          child.interact(std::string("\x1d"), {}, {}, true);
          child.recording = nullptr;
        }
        const std::string text = cast.str();
        report("screen " + std::to_string(child.screen().rows()) + "x" +
               std::to_string(child.screen().cols()) + ": " + child.screen().row(1));
        report("recorded input " + std::to_string(text.find(R"(,"i",")") != std::string::npos) + ", resize " +
               std::to_string(text.find(R"(,"r","100x30"])") != std::string::npos));
      });
  session.resize(30, 100);
  ASSERT_TRUE(session.wait_for_raw_mode());
  session.type("typed\r");
  EXPECT_EQ(session.finish(), "screen 30x100: [typed]\nrecorded input 1, resize 1\n");
}

TEST_F(Interact, EscapeEndsTheRelayWithTheChildRunning) {
  struct escape_case {
    std::string typed;
    std::optional<std::string> escape;
    std::string child_reads;
  };
  for (const auto& [typed, escape, child_reads] : std::vector<escape_case>{
           {"ab\x1d"
            "cd",
            "\x1d", "[ab]"},
           {"a\x1d"
            "b\x1d"
            "c",
            "\x1d",
            "[a\x1d"
            "b]"},  // the last escape counts
           {"\x1d"
            "abc",
            "\x1d", "[]"},
           {"hi~.there", "~.", "[hi]"},  // an escape of several bytes
           {"whole", "", "[whole]"},     // an empty escape: the whole chunk goes, then the relay ends
       }) {
    SCOPED_TRACE(typed);
    relay_session session({"readline"}, [escape = escape](spawn& child, const reporter& report) {
      relay_with(escape)(child, report);
      report(child.isalive() ? "alive" : "ended");
      report_line_child_read(child, report);
    });
    ASSERT_TRUE(session.wait_for_raw_mode());
    session.type(typed);
    EXPECT_EQ(session.finish(), "returned\nalive\nchild read " + child_reads + "\n");
    EXPECT_TRUE(session.mode_restored());
  }
}

TEST_F(Interact, BufferedBytesAreShownFirst) {
  relay_session session({"println", "live"}, [](spawn& child, const reporter& report) {
    child.buffer = "read earlier|";
    relay_with("\x1d")(child, report);
    report("buffer [" + child.buffer + "]");
  });
  EXPECT_EQ(session.finish(), "returned\nbuffer []\n");
  EXPECT_EQ(session.screen(), "read earlier|live\r\n");
  EXPECT_TRUE(session.mode_restored());
}

TEST_F(Interact, OutputWrittenJustBeforeTheEndIsNotLost) {
  // The child writes and exits at once, so the relay finds it gone with output still unread.
  for (int round = 0; round < 5; ++round) {
    relay_session session({"flood", "20000"}, relay_with("\x1d"));
    EXPECT_EQ(session.finish(), "returned\n");
    std::string shown = session.screen();
    std::erase(shown, '\r');
    ASSERT_EQ(shown.size(), 20000u) << "round " << round;
  }
}

TEST_F(Interact, AGrandchildThatWritesOnDoesNotHoldTheRelay) {
  // Output shown slowly, as on a slow terminal: the grandchild's writes keep the terminal full.
  auto slowly = [](std::string_view data) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return std::string(data);
  };
  relay_session session({"babbler", "exit", "5"}, [&](spawn& child, const reporter& report) {
    relay_with("\x1d", {}, slowly)(child, report);
    report("exitstatus " + std::to_string(child.exitstatus.value_or(-1)));
  });
  EXPECT_EQ(session.finish(), "returned\nexitstatus 5\n");
  EXPECT_NE(session.screen().find("babble"), std::string::npos);
}

TEST_F(Interact, FiltersShapeWhatPasses) {
  auto upper = [](std::string_view data) {
    std::string out(data);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
  };
  auto nothing = [](std::string_view) { return std::string(); };
  // The input filter runs before the escape search: it can make the escape out of a 'q'.
  auto q_leaves = [](std::string_view data) {
    std::string out(data);
    std::replace(out.begin(), out.end(), 'q', '\x1d');
    return out;
  };
  {
    relay_session session({"readline"}, [&](spawn& child, const reporter& report) {
      relay_with("\x1d", q_leaves, upper)(child, report);
      report_line_child_read(child, report);
    });
    ASSERT_TRUE(session.wait_for_raw_mode());
    session.type("hey");
    ASSERT_TRUE(session.wait_for("HEY"));  // the child's echo, through the output filter
    session.type("yoq!");
    EXPECT_EQ(session.finish(), "returned\nchild read [heyyo]\n");
    EXPECT_TRUE(session.mode_restored());
  }
  {
    // Output filtered down to nothing: nothing is shown, and the child's end still ends it all.
    relay_session session({"println", "hidden", "exit", "0"}, relay_with("\x1d", {}, nothing));
    EXPECT_EQ(session.finish(), "returned\n");
    EXPECT_EQ(session.screen(), "");
  }
  {
    // Input filtered down to nothing reaches no one; an empty escape then ends the relay.
    relay_session session({"readline"}, [&](spawn& child, const reporter& report) {
      relay_with("", nothing)(child, report);
      report_line_child_read(child, report);
    });
    ASSERT_TRUE(session.wait_for_raw_mode());
    session.type("dropped");
    EXPECT_EQ(session.finish(), "returned\nchild read []\n");
    EXPECT_TRUE(session.mode_restored());
  }
}

TEST_F(Interact, AFilterThatThrowsEndsTheRelayWithTheTerminalRestored) {
  auto boom = [](std::string_view) -> std::string { throw std::runtime_error("filter failed"); };
  {
    relay_session session({"println", "out", "pause"}, relay_with("\x1d", {}, boom));
    EXPECT_EQ(session.finish(), "error filter failed\n");
    EXPECT_TRUE(session.mode_restored());
  }
  {
    relay_session session({"pause"}, relay_with("\x1d", boom, {}));
    ASSERT_TRUE(session.wait_for_raw_mode());
    session.type("x");
    EXPECT_EQ(session.finish(), "error filter failed\n");
    EXPECT_TRUE(session.mode_restored());
  }
}

TEST_F(Interact, StandardInputAtEndOfFileLeavesTheOutputFlowing) {
  int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(input, 0);
  relay_session session({"sleep", "0.3", "println", "done"}, relay_with("\x1d"), input);
  ::close(input);
  EXPECT_EQ(session.finish(), "returned\n");
  EXPECT_NE(session.screen().find("done"), std::string::npos);
}

TEST_F(Interact, InputTheChildIsSlowToTakeDoesNotStopItsOutput) {
  // A child that copies its input back: the relay must go on reading the child's output while
  // the child is slow to take more input, or both wait on each other for ever. (The child's
  // echo is off: under such pressure the terminal itself may drop echoes.)
  signal(SIGPIPE, SIG_IGN);  // a relay that died early shows up as a failed write, not a crash
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  detail::unique_fd reader(pipe_ends[0]), writer(pipe_ends[1]);
  std::string input;
  for (int line = 0; line < 4000; ++line)
    input += "input line " + std::to_string(line) + " ......................\n";
  input += "last line\n";
  {
    relay_session session({"noecho", "println", "ready", "cat"}, relay_with("\x1d"), reader.get());
    reader.reset();
    ASSERT_TRUE(session.wait_for("ready"));
    fcntl(writer.get(), F_SETFL, O_NONBLOCK);
    std::size_t sent = 0;
    std::string screen = session.screen();
    auto copied_back = [&] { return screen.find("last line") != std::string::npos; };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadline_seconds);
    while (!copied_back() && std::chrono::steady_clock::now() < deadline) {
      if (sent < input.size()) {
        ssize_t n = ::write(writer.get(), input.data() + sent, input.size() - sent);
        if (n > 0)
          sent += static_cast<std::size_t>(n);
        else if (errno != EAGAIN)
          break;
      }
      session.collect(screen);
    }
    std::erase(screen, '\r');
    EXPECT_TRUE(screen == "ready\n" + input)
        << sent << " of " << input.size() << " bytes taken; " << screen.size() << " shown";
    EXPECT_EQ(::write(writer.get(), "\x1d", 1), 1);
    writer.reset();
    EXPECT_EQ(session.finish(), "returned\n");
  }
  signal(SIGPIPE, SIG_DFL);
}

TEST_F(Interact, DescriptorsAboveTheSelectLimit) {
  relay_session session({"readline"}, [](spawn& child, const reporter& report) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 2100) return report("skip");
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    int master = fcntl(child.child_fd, F_DUPFD_CLOEXEC, 2000);
    ::close(child.child_fd);
    child.child_fd = master;
    child.stdin_fileno = fcntl(0, F_DUPFD_CLOEXEC, 1500);
    report("master " + std::to_string(master >= 2000) + " stdin " +
           std::to_string(child.stdin_fileno >= 1500));
    relay_with("\x1d")(child, report);
  });
  ASSERT_TRUE(session.wait_for_raw_mode());
  session.type("far away\r");
  std::string report = session.finish();
  if (report == "skip\n") GTEST_SKIP() << "the descriptor limit cannot be raised";
  EXPECT_EQ(report, "master 1 stdin 1\nreturned\n");
  EXPECT_EQ(session.screen(), "far away\r\n[far away]\r\n");
  EXPECT_TRUE(session.mode_restored());
}

namespace {

void on_alarm(int) {}

// A timer that interrupts the calling thread's system calls every 20 ms while it exists.
class interrupting_timer {
 public:
  interrupting_timer() {
    struct sigaction action {};
    action.sa_handler = on_alarm;  // no SA_RESTART: waits fail with EINTR
    sigaction(SIGALRM, &action, &previous_);
    itimerval every{{0, 20'000}, {0, 20'000}};
    setitimer(ITIMER_REAL, &every, nullptr);
  }
  ~interrupting_timer() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_, nullptr);
  }

 private:
  struct sigaction previous_ {};
};

}  // namespace

TEST(Select, SignalsDoNotCutTheWaitShort) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  {
    interrupting_timer timer;
    auto start = std::chrono::steady_clock::now();
    detail::ready_lists ready = detail::select({ends[0]}, {}, {}, 0.5);
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(ready.read.empty() && ready.write.empty() && ready.except.empty());
    EXPECT_GE(waited.count(), 0.49);
  }
  ::close(ends[0]);
  ::close(ends[1]);
}

// The relay that follows the user's window: the child's terminal takes the user's size at the
// start and after every resize; without the option it keeps its own.
TEST(InteractWindow, ChildFollowsTheUsersWindowOnlyWhenAsked) {
  for (bool follow : {true, false}) {
    relay_session session({"sizes"}, [follow](spawn& child, const reporter& report) {
      child.interact(std::string("\x1d"), {}, {}, follow);
      report("returned");
    });
    session.resize(30, 100);
    ASSERT_TRUE(session.wait_for_raw_mode());
    session.type("\r");
    ASSERT_TRUE(session.wait_for(follow ? "winsize: 30 100" : "winsize: 24 80")) << session.screen();
    session.resize(40, 132);
    session.type("\r");
    // The child echoes each line end before it answers.
    const std::string second = follow ? "winsize: 40 132" : "winsize: 24 80\r\n\r\nwinsize: 24 80";
    ASSERT_TRUE(session.wait_for(second)) << session.screen();
    session.type("\x1d");
    EXPECT_EQ(session.finish(), "returned\n");
    EXPECT_TRUE(session.mode_restored());
  }
}
