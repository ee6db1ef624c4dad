// Starting a child: what the program sees from inside, both fork paths, and every start failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <sstream>
#include <thread>

#include "pexpect_custom/run.hpp"
#include "pexpect_custom/spawn.hpp"
#include "platform/platform.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

// Reads everything the child writes until its terminal closes, then reaps it.
std::string read_all(spawn& child) {
  std::string output;
  char chunk[4096];
  while (true) {
    ssize_t n = ::read(child.child_fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(chunk, static_cast<std::size_t>(n));
  }
  child.delayafterclose = 0;
  child.close();
  return output;
}

std::vector<std::string> lines_with_prefix(const std::string& output, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

std::string first_with_prefix(const std::string& output, const std::string& prefix) {
  auto found = lines_with_prefix(output, prefix);
  return found.empty() ? "<missing>" : found.front();
}

spawn start_report(std::vector<std::string> what, spawn_options options = {}) {
  what.insert(what.begin(), "report");
  return spawn(helper, what, options);
}

struct start_path {
  bool native_fork;
  bool wait_for_exec;
};

// Both ways of starting, the platform's forkpty and the library's own pty fork, each waiting for
// the exec or returning once the child is forked.
class StartPaths : public ::testing::TestWithParam<start_path> {
 protected:
  spawn start(std::vector<std::string> args, spawn_options options = {}) {
    spawn child(std::nullopt, {}, std::move(options));
    set_path(child);
    child._spawn(helper, args);
    return child;
  }
  void set_path(spawn& child) {
    child.use_native_pty_fork = GetParam().native_fork;
    child.wait_for_exec = GetParam().wait_for_exec;
  }
};

}  // namespace

TEST_P(StartPaths, ChildSeesItsTerminalWindowAndSession) {
  spawn child = start({"report", "tty", "winsize", "pgrp"});
  EXPECT_FALSE(child.closed);
  EXPECT_FALSE(child.terminated);
  std::string out = read_all(child);
  EXPECT_EQ(first_with_prefix(out, "winsize: "), "24 80");
  EXPECT_EQ(first_with_prefix(out, "tty: ").rfind("/dev/pts/", 0), 0u) << out;
  // The child leads a new session whose controlling terminal is the pseudo-terminal.
  auto pgrp = first_with_prefix(out, "sid: ");
  std::istringstream fields(pgrp);
  std::string sid, pid_label, pid, tc_label, tcpgrp;
  fields >> sid >> pid_label >> pid >> tc_label >> tcpgrp;
  EXPECT_EQ(sid, pid) << pgrp;
  EXPECT_EQ(tcpgrp, pid) << pgrp;
  EXPECT_EQ(child.exitstatus, 0);
}

TEST_P(StartPaths, OnlyTheTerminalDescriptorsReachTheProgram) {
  int stray = ::open("/dev/null", O_RDONLY);  // not close-on-exec: the start must close it
  ASSERT_GE(stray, 0);
  spawn child = start({"report", "fds"});
  std::string out = read_all(child);
  ::close(stray);
  EXPECT_EQ(first_with_prefix(out, "fds: "), "0 1 2");
}

TEST_P(StartPaths, SignalsStartAtTheirDefaults) {
  for (bool ignore_sighup : {false, true}) {
    SCOPED_TRACE(ignore_sighup ? "SIGHUP ignored on request" : "default");
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &previous);
    auto old_hup = signal(SIGHUP, SIG_IGN);
    auto old_term = signal(SIGTERM, SIG_IGN);
    auto old_usr2 = signal(SIGUSR2, [](int) {});  // a handler of the caller must not follow
    spawn child = start({"report", "signals"}, {.ignore_sighup = ignore_sighup});
    signal(SIGUSR2, old_usr2);
    signal(SIGTERM, old_term);
    signal(SIGHUP, old_hup);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    std::string out = read_all(child);
    EXPECT_EQ(first_with_prefix(out, "blocked:"), "");
    EXPECT_EQ(first_with_prefix(out, "ignored:"), ignore_sighup ? " 1" : "");
    EXPECT_EQ(first_with_prefix(out, "handled:"), "");
  }
}

TEST_P(StartPaths, EnvironmentIsExactlyTheMap) {
  spawn child = start({"report", "env"}, {.env = environment{{"A", "1"}, {"EMPTY", ""}, {"X", "y=z"}}});
  std::string out = read_all(child);
  EXPECT_EQ(lines_with_prefix(out, "env: "), (std::vector<std::string>{"A=1", "EMPTY=", "X=y=z"}));
}

TEST_P(StartPaths, ArgumentZeroIsTheResolvedPath) {
  spawn child = start({"report", "argv"});
  EXPECT_EQ(child.command, helper);
  EXPECT_EQ(child.args, (std::vector<std::string>{helper, "report", "argv"}));
  std::string out = read_all(child);
  EXPECT_EQ(lines_with_prefix(out, "argv: "), (std::vector<std::string>{helper, "report", "argv"}));
}

TEST_P(StartPaths, ExecFailureIsRaisedInTheCallerWithNothingLeftBehind) {
  test_support::temp_dir dir;
  std::string not_a_program = dir.write_file("garbage",
                                             "\x7f"
                                             "ELF garbage",
                                             0755);
  auto fds_before = test_support::open_fds();
  spawn child(std::nullopt);
  set_path(child);
  try {
    child._spawn(not_a_program, {"x"});
    // Without the wait, the failure is the first read's (here: after the child has ended).
    EXPECT_FALSE(GetParam().wait_for_exec) << "the start should have failed";
    child.expect(EOF_marker, 5);
    FAIL() << "the first read should have failed";
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), ENOEXEC);
    EXPECT_STREQ(error.what(), "[Errno 8] Exec format error");
  }
  EXPECT_EQ(child.pid, std::nullopt);
  EXPECT_EQ(child.exitstatus, std::nullopt);
  EXPECT_EQ(child.child_fd, -1);
  EXPECT_TRUE(child.closed);
  EXPECT_THROW(child.read_nonblocking(1, 0), std::logic_error);
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(test_support::zombie_children().empty());
  if (GetParam().wait_for_exec) return;

  // Destroyed before anything was read: the child is still collected, the pipe closed.
  for (bool ended_first : {false, true}) {
    spawn unread(std::nullopt);
    set_path(unread);
    unread._spawn(not_a_program, {"x"});
    if (ended_first) {
      EXPECT_TRUE(test_support::ended_unreaped(*unread.pid));
      EXPECT_FALSE(unread.isalive());
    }
  }
  // Confirmed before any read: the program runs, nothing is raised, nothing is left open.
  {
    spawn confirmed = start({"exit", "0"});
    EXPECT_GE(confirmed.exec_notice_fd(), 0);
    confirmed.confirm_start();
    EXPECT_EQ(confirmed.exec_notice_fd(), -1);
    EXPECT_EQ(confirmed.expect(EOF_marker, 5), 0);
  }
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(test_support::zombie_children().empty());
}

INSTANTIATE_TEST_SUITE_P(ForkPaths, StartPaths,
                         ::testing::Values(start_path{true, true}, start_path{false, true},
                                           start_path{true, false}, start_path{false, false}),
                         [](const auto& info) {
                           return std::string(info.param.native_fork ? "forkpty" : "own_fork") +
                                  (info.param.wait_for_exec ? "" : "_no_wait");
                         });

TEST(Start, InheritsTheCallersEnvironmentWithoutAMap) {
  setenv("PEXPECT_TEST_MARKER", "inherited", 1);
  setenv("PEXPECT_TEST_GONE", "x", 1);
  const environment changed =
      inherit_environment({{"PEXPECT_TEST_ADDED", "a=b"}, {"PEXPECT_TEST_GONE", std::nullopt}});
  spawn child = start_report({"env"});
  unsetenv("PEXPECT_TEST_MARKER");
  unsetenv("PEXPECT_TEST_GONE");
  EXPECT_EQ(changed.at("PEXPECT_TEST_MARKER"), "inherited");
  EXPECT_EQ(changed.at("PEXPECT_TEST_ADDED"), "a=b");
  EXPECT_EQ(changed.count("PEXPECT_TEST_GONE"), 0u);
  EXPECT_EQ(changed.at("PATH"), getenv("PATH"));
  std::string out = read_all(child);
  auto env = lines_with_prefix(out, "env: ");
  EXPECT_NE(std::find(env.begin(), env.end(), "PEXPECT_TEST_MARKER=inherited"), env.end());
}

TEST(Start, EmptyArgumentListSplitsTheCommand) {
  spawn child(helper + " report  argv");
  EXPECT_EQ(child.args, (std::vector<std::string>{helper, "report", "argv"}));
  EXPECT_EQ(child.name, "<" + helper + " report argv>");
  read_all(child);
  spawn ls("ls -l /tmp");
  EXPECT_EQ(ls.args->at(1), "-l");
  EXPECT_EQ(ls.command, ls.args->at(0));
  EXPECT_EQ(ls.command->back(), 's');
  EXPECT_EQ(ls.command->front(), '/');
}

TEST(Start, CommandWithArgumentsIsTakenWhole) {
  test_support::temp_dir dir;
  std::string spaced = dir.path() + "/my tool";
  std::filesystem::copy_file(helper, spaced);
  spawn child(spaced, {"report", "argv"});
  EXPECT_EQ(child.args->front(), spaced);
  EXPECT_EQ(lines_with_prefix(read_all(child), "argv: ").front(), spaced);
}

TEST(Start, WorkingDirectoryChangesTheCallerToo) {
  test_support::cwd_guard restore;
  test_support::temp_dir dir;
  spawn child = start_report({"cwd"}, {.cwd = dir.path()});
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir.path()));
  EXPECT_EQ(first_with_prefix(read_all(child), "cwd: "), dir.path());
}

TEST(Start, MissingWorkingDirectoryWarnsOnceAndStartsHere) {
  test_support::cwd_guard restore;
  std::ostringstream captured;
  auto* old = std::cout.rdbuf(captured.rdbuf());
  spawn child(std::nullopt);
  child.cwd = "/nonexistent/directory";
  child._spawn(helper, {"report", "cwd"});
  std::cout.rdbuf(old);
  EXPECT_EQ(captured.str(), "Warning: Failed to change working directory\n");
  EXPECT_EQ(first_with_prefix(read_all(child), "cwd: "), std::filesystem::current_path().string());
}

TEST(Start, FactoryObjectHasNoChild) {
  spawn factory(std::nullopt);
  EXPECT_EQ(factory.name, "<pexpect factory incomplete>");
  EXPECT_EQ(factory.pid, std::nullopt);
  EXPECT_EQ(factory.child_fd, -1);
  EXPECT_TRUE(factory.closed);
  EXPECT_TRUE(factory.terminated);
  EXPECT_EQ(factory.command, std::nullopt);
  EXPECT_EQ(factory.args, std::nullopt);
  EXPECT_EQ(factory.timeout, 30);
  EXPECT_EQ(factory.maxread, 2000);
  EXPECT_DOUBLE_EQ(factory.delaybeforesend, 0.05);
  EXPECT_FALSE(factory.irix_hack);
  EXPECT_TRUE(factory.use_native_pty_fork);
  EXPECT_FALSE(factory.isalive());
}

TEST(StartFailures, ExactMessagesAndNothingLeftBehind) {
  auto fds_before = test_support::open_fds();
  try {
    spawn child(3);
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(),
                 "Command is an int type. If this is a file descriptor then maybe you want to use "
                 "fdpexpect.fdspawn which takes an existing file descriptor instead of a command string.");
  }
  try {
    spawn child("no-such-program-anywhere");
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(), "The command was not found or was not executable: no-such-program-anywhere.");
  }
  EXPECT_THROW(spawn(""), std::out_of_range);  // splits into no words
  try {
    spawn child("/tmp", {"x"});  // a directory is searchable, so it is found, but cannot be run
    FAIL();
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), EACCES);
  }
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(test_support::zombie_children().empty());
}

// exec takes C strings and NAME=value pairs: a value it would cut or misread is refused before
// the directory changes or anything is opened or started.
TEST(StartFailures, ValuesExecCannotCarryAreRefusedFirst) {
  using namespace std::string_literals;
  struct row {
    std::string command;
    std::vector<std::string> args;
    std::optional<std::string> cwd;
    std::optional<environment> env;
    std::string message_part;
  };
  const std::vector<row> rows = {
      {helper + "\0x"s, {"exit", "0"}, "/", {}, "The command '"},
      {helper + " exit \0"s, {}, "/", {}, "Argument 2 '\\x00'"},  // found after splitting
      {helper, {"exit", "0\0"s}, "/", {}, "Argument 2 '0\\x00'"},
      {helper, {"exit", "0"}, "/tmp\0/x"s, {}, "The working directory '/tmp\\x00/x'"},
      {helper, {"exit", "0"}, "/", environment{{"A=B", "1"}}, "name 'A=B' contains \"=\""},
      {helper, {"exit", "0"}, "/", environment{{"", "1"}}, "value '1' has an empty name"},
      {helper, {"exit", "0"}, "/", environment{{"A\0"s, "1"}}, "name 'A\\x00' contains a NUL"},
      {helper, {"exit", "0"}, "/", environment{{"A", "1\0"s}}, "variable 'A', '1\\x00' contains a NUL"},
  };
  test_support::cwd_guard restore;
  const auto cwd_before = std::filesystem::current_path();
  const auto fds_before = test_support::open_fds();
  for (const row& r : rows) {
    SCOPED_TRACE(r.message_part);
    try {
      spawn child(r.command, r.args, {.cwd = r.cwd, .env = r.env});
      ADD_FAILURE() << "started";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(r.message_part), std::string::npos) << error.what();
    }
    EXPECT_EQ(std::filesystem::current_path(), cwd_before);
  }
  EXPECT_THROW(run(helper + " exit 0\0"s), std::invalid_argument);
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(test_support::zombie_children().empty());
}

TEST(StartFailures, StartingTwiceIsRefused) {
  spawn child(helper, {"sleep", "30"});
  child.delayafterclose = child.delayafterterminate = 0;
  try {
    child._spawn(helper, {"exit", "0"});
    FAIL();
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "The pid member should be None.");
  }
}

TEST(StartFailures, RunningOutOfDescriptorsIsAForkFailure) {
  // In the sanitizer build the first check of an object's dynamic type probes memory through a
  // pipe, which a full table refuses (the check then fails falsely): meet the types of a failed
  // start once beforehand.
  try {
    spawn warm_up("no-such-program-anywhere");
  } catch (const ExceptionPexpect& error) {
    EXPECT_STRNE(error.what(), SystemError(EMFILE).what());
  }
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  std::vector<int> filler;
  auto fds_before = test_support::open_fds();
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(*fds_before.rbegin() + 16);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  std::string message;
  try {
    spawn child(helper, {"exit", "0"});
  } catch (const ExceptionPexpect& error) {
    message = error.what();
  }
  for (int fd : filler) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(message, "Error! pty.fork() failed: [Errno 24] Too many open files");
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(test_support::zombie_children().empty());
}

TEST(StartFailures, ExecSearchOverTheMapsPathReportsTheTellingError) {
  test_support::temp_dir dir;
  dir.write_file("prog",
                 "\x7f"
                 "ELF not really",
                 0755);
  // Resolution happens on the caller's PATH; the exec then searches the map's PATH.
  spawn child(std::nullopt);
  child.env = environment{{"PATH", "/nonexistent:" + dir.path()}};
  test_support::cwd_guard restore;
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::string saved_path = getenv("PATH");
  setenv("PATH", ":", 1);
  try {
    child._spawn("prog", {"x"});
    setenv("PATH", saved_path.c_str(), 1);
    FAIL();
  } catch (const SystemError& error) {
    setenv("PATH", saved_path.c_str(), 1);
    EXPECT_EQ(error.code().value(), ENOEXEC);
  }
}

TEST(WindowSize, SetAndGetRoundTripAndBoundsAreChecked) {
  spawn child(helper, {"sleep", "30"});
  child.delayafterclose = child.delayafterterminate = 0;
  EXPECT_EQ(child.getwinsize(), std::make_pair(24, 80));
  child.setwinsize(50, 132);
  EXPECT_EQ(child.getwinsize(), std::make_pair(50, 132));
  EXPECT_THROW(child.setwinsize(65536, 80), std::out_of_range);
  EXPECT_THROW(child.setwinsize(-1, 80), std::out_of_range);
  EXPECT_EQ(child.getwinsize(), std::make_pair(50, 132));
  child.setwinsize(65535, 0);
  EXPECT_EQ(child.getwinsize(), std::make_pair(65535, 0));
}

TEST(WindowSize, ClosedObjectRaisesTheSystemError) {
  spawn factory(std::nullopt);
  try {
    factory.getwinsize();
    FAIL();
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), EBADF);
  }
}

TEST(Descriptors, MasterIsCloseOnExec) {
  spawn child(helper, {"sleep", "30"});
  child.delayafterclose = child.delayafterterminate = 0;
  EXPECT_TRUE(fcntl(child.child_fd, F_GETFD) & FD_CLOEXEC);
  // A second child does not inherit the first one's master.
  spawn second(helper, {"report", "fds"});
  EXPECT_EQ(first_with_prefix(read_all(second), "fds: "), "0 1 2");
}

// Another thread that starts a program at any moment must never hand it either end of a new
// terminal: both are close-on-exec from the moment they exist.
TEST_P(StartPaths, TerminalPairNeverReachesAProgramAnotherThreadStarts) {
  if (!detail::platform::linux_mechanisms()) {
    GTEST_SKIP() << "POSIX makes a terminal master and a pipe close-on-exec only after they exist";
  }
  const std::string baseline =
      first_with_prefix(test_support::run_process({helper, "report", "fds"}).output, "fds: ");
  std::atomic<bool> starting{true};
  std::vector<std::string> leaks;
  std::thread other([&] {
    while (starting) {
      std::string fds =
          first_with_prefix(test_support::run_process({helper, "report", "fds"}).output, "fds: ");
      if (fds != baseline) leaks.push_back(fds);
    }
  });
  for (int i = 0; i < 150; ++i) {
    spawn child = start({"exit", "0"});
    child.delayafterclose = 0;
    read_all(child);
  }
  starting = false;
  other.join();
  EXPECT_TRUE(leaks.empty()) << leaks.size() << " programs saw more than " << baseline << ", e.g. "
                             << leaks.front();
}

TEST(Descriptors, MovedObjectOwnsTheChildOnce) {
  // A class built on spawn: assigning to it must leave its own members alone.
  struct labelled_spawn : spawn {
    using spawn::spawn;
    std::string label = std::string(64, 'x');
  };
  auto fds_before = test_support::open_fds();
  {
    labelled_spawn target(std::nullopt);
    target = labelled_spawn(helper, {"sleep", "30"});
    target.delayafterclose = target.delayafterterminate = 0;
    EXPECT_TRUE(target.isalive());
    static_cast<spawn&>(target) = spawn(helper, {"sleep", "30"});
    target.delayafterclose = target.delayafterterminate = 0;
    EXPECT_TRUE(target.isalive());
    EXPECT_EQ(target.label, std::string(64, 'x'));
  }
  {
    // Moved before its exec is confirmed: the exec notice goes with the child.
    spawn first(helper, {"sleep", "30"}, {.wait_for_exec = false});
    first.delayafterclose = first.delayafterterminate = 0;
    pid_t pid = *first.pid;
    spawn second(std::move(first));
    EXPECT_TRUE(first.closed);
    EXPECT_EQ(second.pid, pid);
    spawn third(std::nullopt);
    third = std::move(second);
    EXPECT_GE(third.exec_notice_fd(), 0);
    EXPECT_TRUE(third.isalive());
  }
  EXPECT_EQ(test_support::open_fds(), fds_before);
  EXPECT_TRUE(test_support::zombie_children().empty());
}
