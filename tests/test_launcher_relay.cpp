// The launcher as a user meets it: run on a pseudo-terminal the test owns as the user's
// terminal, typed at, interrupted, left with the escape key, signalled, and fed odd descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "exit_status.hpp"
#include "io/unique_fd.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using test_support::helper;
namespace detail = pexpect_custom::detail;

namespace {

constexpr double deadline_seconds = 30;

std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat_file(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat_file, line)) continue;
    auto close_paren = line.rfind(')');
    char state = 0;
    long ppid = 0;
    if (close_paren == std::string::npos ||
        std::sscanf(line.c_str() + close_paren + 1, " %c %ld", &state, &ppid) != 2) {
      continue;
    }
    if (ppid == parent) found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return found;
}

// CPU seconds (user + system) a process has used so far.
double cpu_seconds(pid_t pid) {
  std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat_file, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::stoull(field);
    if (index == 15) break;
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool same_mode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && a.c_line == b.c_line && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

std::string without_carriage_returns(std::string text) {
  std::erase(text, '\r');
  return text;
}

// Stands for a descriptor the launcher is started without.
constexpr int closed_fd = -2;

// What the launcher starts with besides the user's terminal: its standard input and output from
// elsewhere (or closed), and SIGCHLD ignored, as a careless parent may leave it.
struct start_state {
  int stdin_fd = -1;
  int stdout_fd = -1;
  bool sigchld_ignored = false;
};

// In the forked launcher process: descriptor `fd` becomes `source`, the user's terminal `tty`
// when there is none, or stays closed.
void set_standard_fd(int fd, int source, int tty) {
  if (source == closed_fd)
    ::close(fd);
  else
    dup2(source >= 0 ? source : tty, fd);
}

// The launcher running on a pseudo-terminal of 30x100 that the test holds as the user's
// terminal (the slave is the launcher's controlling terminal). The test keeps the slave open
// too, to read its mode. Whatever happens, the launcher and its child are killed and reaped.
class launcher_session {
 public:
  explicit launcher_session(const std::vector<std::string>& words, start_state start = {}) {
    winsize size{};
    size.ws_row = 30;
    size.ws_col = 100;
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // A mode no one would restore by accident.
    termios mode{};
    tcgetattr(slave_, &mode);
    mode.c_iflag |= IXANY;
    mode.c_lflag &= ~static_cast<tcflag_t>(ECHOCTL);
    mode.c_cc[VERASE] = 0x08;
    mode.c_cc[VKILL] = 0x0b;
    tcsetattr(slave_, TCSANOW, &mode);
    tcgetattr(slave_, &mode_before_);

    std::vector<std::string> argv = {test_support::launcher};
    argv.insert(argv.end(), words.begin(), words.end());
    std::vector<char*> c_argv;
    for (auto& word : argv) c_argv.push_back(word.data());
    c_argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      setsid();
      ioctl(slave_, TIOCSCTTY, 0);
      set_standard_fd(0, start.stdin_fd, slave_);
      set_standard_fd(1, start.stdout_fd, slave_);
      dup2(slave_, 2);
      // As a user's shell would start it: default signal handling, nothing blocked, no core.
      for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
      if (start.sigchld_ignored) signal(SIGCHLD, SIG_IGN);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      execv(c_argv[0], c_argv.data());
      _exit(127);
    }
  }

  ~launcher_session() {
    if (!reaped_) {
      for (pid_t child : children_of(pid_)) ::kill(child, SIGKILL);
      ::kill(pid_, SIGKILL);
      wait_status();
    }
    ::close(master_);
    ::close(slave_);
  }
  launcher_session(const launcher_session&) = delete;
  launcher_session& operator=(const launcher_session&) = delete;

  pid_t pid() const { return pid_; }
  const std::string& screen() const { return screen_; }

  void type(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::write(master_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw std::runtime_error("write to the terminal");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // Collects the launcher's output until `text` shows up.
  bool wait_for(const std::string& text) {
    return pump_until([&] { return screen_.find(text) != std::string::npos; });
  }

  // Until the relay has switched the user's terminal to raw mode.
  bool wait_for_raw_mode() {
    return pump_until([&] {
      termios now{};
      return tcgetattr(slave_, &now) == 0 && !(now.c_lflag & ICANON);
    });
  }

  // The child the launcher started (waits until it shows up).
  pid_t launched_child() {
    pid_t found = 0;
    pump_until([&] {
      auto children = children_of(pid_);
      if (children.size() == 1) found = children.front();
      return found != 0;
    });
    return found;
  }

  // Collects output until the launcher ends; returns its raw wait status.
  std::optional<int> finish() {
    std::optional<int> status;
    pump_until([&] { return (status = try_reap()).has_value(); });
    drain();
    return status;
  }

  bool mode_restored() const {
    termios now{};
    tcgetattr(slave_, &now);
    return same_mode(now, mode_before_);
  }

 private:
  bool pump_until(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadline_seconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd entry{master_, POLLIN, 0};
      if (::poll(&entry, 1, 10) > 0) read_some();
    }
    return true;
  }

  void read_some() {
    char chunk[65536];
    ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n > 0) screen_.append(chunk, static_cast<std::size_t>(n));
  }

  void drain() {
    pollfd entry{master_, POLLIN, 0};
    while (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN)) read_some();
  }

  std::optional<int> try_reap() {
    int status = 0;
    pid_t result = waitpid(pid_, &status, WNOHANG);
    if (result != pid_) return std::nullopt;
    reaped_ = true;
    return status;
  }

  void wait_status() {
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
  }

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  termios mode_before_{};
  std::string screen_;
};

std::string status_text(std::optional<int> status) {
  if (!status) return "still running";
  if (WIFEXITED(*status)) return "exit " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return "signal " + std::to_string(WTERMSIG(*status));
  return "other " + std::to_string(*status);
}

bool gone(pid_t pid) {
  return test_support::eventually([pid] { return !test_support::process_exists(pid); });
}

class LauncherRelay : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before_);
  }

 private:
  std::set<int> fds_before_ = test_support::open_fds();
};

}  // namespace

TEST_F(LauncherRelay, ExitStatusFollowsTheChild) {
  struct outcome {
    std::vector<std::string> modes;
    std::string status;
    std::string shown;
  };
  for (const auto& [modes, expected, shown] : std::vector<outcome>{
           {{"exit", "3"}, "exit 3", ""},
           {{"report", "winsize"}, "exit 0", "winsize: 24 80\r\n"},
           {{"signal", "9"}, "exit 137", ""},
           {{"signal", "15"}, "exit 143", ""},
       }) {
    std::vector<std::string> words = {helper};
    words.insert(words.end(), modes.begin(), modes.end());
    launcher_session session(words);
    EXPECT_EQ(status_text(session.finish()), expected) << modes.front() << " " << modes.back();
    EXPECT_EQ(session.screen(), shown);
    EXPECT_TRUE(session.mode_restored());
  }
}

TEST_F(LauncherRelay, TypedInputReachesTheChild) {
  launcher_session session({helper, "readline", "exit", "3"});
  ASSERT_TRUE(session.wait_for_raw_mode());
  session.type("hello there\r");
  EXPECT_TRUE(session.wait_for("[hello there]"));
  EXPECT_EQ(status_text(session.finish()), "exit 3");
  // The child's terminal echoed the line once; the user's own terminal, raw, did not.
  EXPECT_EQ(session.screen(), "hello there\r\n[hello there]\r\n");
  EXPECT_TRUE(session.mode_restored());
}

TEST_F(LauncherRelay, InterruptKeyReachesTheChildNotTheLauncher) {
  launcher_session session({helper, "println", "ready", "pause"});
  ASSERT_TRUE(session.wait_for("ready"));
  ASSERT_TRUE(session.wait_for_raw_mode());
  session.type("\x03");
  EXPECT_EQ(status_text(session.finish()), "exit 130");
  EXPECT_EQ(session.screen().find("interrupted"), std::string::npos) << session.screen();
  EXPECT_TRUE(session.mode_restored());
}

TEST_F(LauncherRelay, EscapeLeavesAndTheLauncherEndsAStubbornChild) {
  launcher_session session({helper, "ignore", "1,2", "println", "ready", "pause"});
  ASSERT_TRUE(session.wait_for("ready"));
  pid_t child = session.launched_child();
  ASSERT_GT(child, 0);
  ASSERT_TRUE(session.wait_for_raw_mode());
  session.type(
      "ab\x1d"
      "cd");
  EXPECT_EQ(status_text(session.finish()), "exit 0");
  EXPECT_TRUE(gone(child));
  EXPECT_TRUE(session.mode_restored());
}

TEST_F(LauncherRelay, StopSignalsRestoreTheTerminalAndEndTheChild) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(sig));
    launcher_session session({helper, "ignore", "1,2", "println", "ready", "pause"});
    ASSERT_TRUE(session.wait_for("ready"));
    pid_t child = session.launched_child();
    ASSERT_GT(child, 0);
    ASSERT_TRUE(session.wait_for_raw_mode());
    ::kill(session.pid(), sig);
    std::string status = status_text(session.finish());
    if (sig == SIGINT) {
      EXPECT_EQ(status, "exit 1");
      EXPECT_NE(session.screen().find("interrupted"), std::string::npos) << session.screen();
    } else {
      EXPECT_EQ(status, "signal " + std::to_string(sig));
    }
    EXPECT_TRUE(gone(child));
    EXPECT_TRUE(session.mode_restored());
  }
}

TEST_F(LauncherRelay, EveryByteOfALargeOutputArrives) {
  constexpr long size = 5'000'000;
  launcher_session session({helper, "flood", std::to_string(size)});
  ASSERT_EQ(status_text(session.finish()), "exit 0");
  std::string expected;
  for (long line = 0; static_cast<long>(expected.size()) < size; ++line) {
    expected += std::to_string(line) + "\n";
  }
  expected.resize(size);
  std::string shown = without_carriage_returns(session.screen());
  ASSERT_EQ(shown.size(), expected.size());
  EXPECT_TRUE(shown == expected);
}

TEST_F(LauncherRelay, StandardInputThatIsNotATerminal) {
  // The child copies its input until end of file, which it learns of when the input runs out:
  // also after a last line without its line feed.
  test_support::temp_dir dir;
  const std::string file = dir.write_file("input", "from a file\n");
  auto piped = [](std::string text) {
    return [text] {
      int ends[2] = {-1, -1};
      EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
      EXPECT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
      ::close(ends[1]);
      return ends[0];
    };
  };
  struct source {
    std::string name;
    std::function<int()> open;
    std::string shown;  // the terminal's echo, then the child's copy (line ends as line feeds)
  };
  for (const auto& [name, open, shown] : std::vector<source>{
           {"pipe", piped("through a pipe\n"), "through a pipe\nthrough a pipe\n"},
           {"pipe, last line open", piped("no line end"), "no line endno line end"},
           {"file", [&] { return ::open(file.c_str(), O_RDONLY); }, "from a file\nfrom a file\n"},
           {"null", [] { return ::open("/dev/null", O_RDONLY); }, ""},
       }) {
    SCOPED_TRACE(name);
    int input = open();
    ASSERT_GE(input, 0);
    launcher_session session({helper, "cat", "exit", "4"}, {.stdin_fd = input});
    ::close(input);
    EXPECT_EQ(status_text(session.finish()), "exit 4");
    EXPECT_EQ(without_carriage_returns(session.screen()), shown);
    EXPECT_TRUE(session.mode_restored());
  }
}

TEST_F(LauncherRelay, OutputPipeClosedByItsReader) {
  // The launcher stops quietly, as a filter in a pipeline does, and its status is the child's:
  // this one outlives the hang-up and is killed. It leaves its process id in a file.
  test_support::temp_dir dir;
  const std::string pid_file = dir.path() + "/child.pid";
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  ::close(pipe_ends[0]);
  launcher_session session(
      {"/bin/sh", "-c", "echo $$ > " + pid_file + "; exec " + helper + " ignore 1,2 println hello pause"},
      {.stdout_fd = pipe_ends[1]});
  ::close(pipe_ends[1]);
  EXPECT_EQ(status_text(session.finish()), "exit 137");
  EXPECT_EQ(session.screen(), "");
  EXPECT_TRUE(session.mode_restored());
  pid_t child = 0;
  std::ifstream(pid_file) >> child;
  ASSERT_GT(child, 0);
  EXPECT_TRUE(gone(child));
}

TEST_F(LauncherRelay, WhatACarelessParentLeavesDoesNotConfuseIt) {
  struct start_case {
    std::string name;
    std::vector<std::string> words;
    start_state start;
    std::string status;
    std::string shown;  // standard output unless closed, and standard error (line ends as line feeds)
  };
  // Without standard output, its input at end of file: a child that got a line back took its
  // own output for input.
  const std::string reads_no_line = "echo hello; if read -r line; then exit 5; fi; exit 3";
  int null_input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(null_input, 0);
  for (const auto& [name, words, start, status, shown] : std::vector<start_case>{
           {"standard input closed",
            {helper, "println", "ready", "readline", "exit", "3"},
            {.stdin_fd = closed_fd},
            "exit 3",
            "ready\n[]\n"},
           {"standard output closed",
            {"/bin/sh", "-c", reads_no_line},
            {.stdin_fd = null_input, .stdout_fd = closed_fd},
            "exit 3",
            ""},
           {"standard output closed, a message",
            {"nosuch-program"},
            {.stdout_fd = closed_fd},
            "exit 1",
            "Failed to launch the program: The command was not found or was not executable: "
            "nosuch-program.\n"},
           {"SIGCHLD ignored",
            {helper, "println", "hi", "exit", "3"},
            {.sigchld_ignored = true},
            "exit 3",
            "hi\n"},
       }) {
    SCOPED_TRACE(name);
    launcher_session session(words, start);
    EXPECT_EQ(status_text(session.finish()), status);
    EXPECT_EQ(without_carriage_returns(session.screen()), shown);
  }
  ::close(null_input);
}

TEST_F(LauncherRelay, AGrandchildThatWritesOnDoesNotHoldTheLauncher) {
  // The output goes to a small pipe read slowly, so that the launcher is slower than the
  // grandchild and the child's terminal stays full after the child's end.
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
  detail::unique_fd output(pipe_ends[0]);
  launcher_session session({helper, "babbler", "exit", "5"}, {.stdout_fd = pipe_ends[1]});
  ::close(pipe_ends[1]);
  std::string shown;
  bool output_ended = false;  // the launcher has ended and closed it
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(deadline_seconds);
  while (!output_ended && std::chrono::steady_clock::now() < deadline) {
    pollfd entry{output.get(), POLLIN, 0};
    if (::poll(&entry, 1, 10) <= 0) continue;
    char chunk[1000];
    ssize_t n = ::read(output.get(), chunk, sizeof chunk);
    output_ended = n <= 0;
    if (n > 0) shown.append(chunk, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the pace of a slow reader
  }
  EXPECT_TRUE(output_ended);
  output.reset();
  EXPECT_EQ(status_text(session.finish()), "exit 5");
  EXPECT_NE(shown.find("babble"), std::string::npos);
  EXPECT_TRUE(session.mode_restored());
}

TEST_F(LauncherRelay, IdleRelayUsesNoProcessorTime) {
  // Standard input at end of file; and a child that let go of its terminal but runs on.
  struct idle_case {
    std::string name;
    std::vector<std::string> words;
    bool stdin_at_eof;
  };
  for (const auto& [name, words, stdin_at_eof] : std::vector<idle_case>{
           {"stdin at end of file", {helper, "println", "ready", "pause"}, true},
           {"terminal closed by the child", {helper, "println", "ready", "detach", "pause"}, false},
       }) {
    SCOPED_TRACE(name);
    int input = stdin_at_eof ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
    launcher_session session(words, {.stdin_fd = input});
    if (input >= 0) ::close(input);
    ASSERT_TRUE(session.wait_for("ready"));
    pid_t child = session.launched_child();
    double before = cpu_seconds(session.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the span measured, not a wait
    double used = cpu_seconds(session.pid()) - before;
    EXPECT_LT(used, 0.2);
    ::kill(session.pid(), SIGTERM);
    EXPECT_EQ(status_text(session.finish()), "signal 15");
    EXPECT_TRUE(gone(child));
  }
}

TEST_F(LauncherRelay, AFailedRelayNeverEndsWithSuccess) {
  // The child's end is collected before its last output is shown, and showing it fails: the
  // launcher's status is the child's own only where that is not 0.
  struct failure_case {
    std::vector<std::string> modes;
    int status;
  };
  for (const auto& [modes, expected] : std::vector<failure_case>{
           {{"println", "hi"}, 1},
           {{"println", "hi", "exit", "3"}, 3},
           {{"println", "hi", "signal", "9"}, 128 + 9},
       }) {
    SCOPED_TRACE(modes.back());
    pexpect_custom::spawn child(helper, modes);
    ASSERT_TRUE(test_support::ended_unreaped(*child.pid));
    ASSERT_FALSE(child.isalive());
    detail::unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    detail::unique_fd no_input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    child.stdout_fileno = full.get();
    child.stdin_fileno = no_input.get();
    EXPECT_THROW(child.interact(), pexpect_custom::SystemError);
    EXPECT_EQ(launcher::status_after_failed_relay(child), expected);
  }
  // As a user meets it, where the child's end and the failed write come in either order.
  for (int run = 0; run < 20; ++run) {
    int no_input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    launcher_session session({"/bin/sh", "-c", "echo hi"}, {.stdin_fd = no_input, .stdout_fd = full});
    ::close(no_input);
    ::close(full);
    ASSERT_EQ(status_text(session.finish()), "exit 1") << "run " << run;
    EXPECT_NE(session.screen().find("Failed to run the program: [Errno 28] No space left on device"),
              std::string::npos);
  }
}
