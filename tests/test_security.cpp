// What a child can learn from its caller, and what a child can make the launcher do: nothing
// beyond what the caller hands it on purpose.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "pexpect_custom/run.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

std::string without_cr(std::string text) {
  std::erase(text, '\r');
  return text;
}

// Reads everything the child writes until its terminal closes, then closes the object.
std::string read_all(spawn& child) {
  child.delayafterclose = 0;
  std::string output;
  if (child.expect(EOF_marker) == 0) output = *child.before;
  child.close();
  return output;
}

std::vector<std::string> lines_with_prefix(const std::string& output, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream in(without_cr(output));
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

// The environment a running process was started with, as the kernel keeps it.
std::vector<std::string> environment_of(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  std::vector<std::string> entries;
  std::string entry;
  while (std::getline(file, entry, '\0')) entries.push_back(entry);
  return entries;
}

// Sets a variable in this process for the length of a test.
class scoped_variable {
 public:
  scoped_variable(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
  ~scoped_variable() { unsetenv(name_); }
  scoped_variable(const scoped_variable&) = delete;
  scoped_variable& operator=(const scoped_variable&) = delete;

 private:
  const char* name_;
};

// Descriptors of every kind, none of them close-on-exec, that a careless start would hand on.
class inheritable_descriptors {
 public:
  inheritable_descriptors() {
    int ends[2];
    if (pipe(ends) == 0) fds_.insert(fds_.end(), {ends[0], ends[1]});
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0) fds_.insert(fds_.end(), {ends[0], ends[1]});
    int event = eventfd(0, 0);
    if (event >= 0) fds_.push_back(event);
    int file = ::open("/dev/null", O_RDONLY);
    if (file >= 0) {
      // One far up the table, near the soft limit, where a loop over a guessed range might stop.
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      int high = static_cast<int>(std::min<rlim_t>(limit.rlim_cur - 1, 4000));
      if (dup2(file, high) == high) fds_.push_back(high);
      fds_.push_back(file);
    }
  }
  ~inheritable_descriptors() {
    for (int fd : fds_) ::close(fd);
  }
  inheritable_descriptors(const inheritable_descriptors&) = delete;
  inheritable_descriptors& operator=(const inheritable_descriptors&) = delete;
  std::size_t count() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

class Security : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before_);
  }

 private:
  std::set<int> fds_before_ = test_support::open_fds();
};

}  // namespace

TEST_F(Security, ChildGivenAMapSeesNothingOfTheCallersEnvironment) {
  scoped_variable secret("PEXPECT_TEST_SECRET", "hunter2");
  scoped_variable preload("LD_LIBRARY_PATH", "/tmp/not-for-the-child");
  const environment map{{"A", "1"}, {"EMPTY", ""}};
  for (bool native : {true, false}) {
    SCOPED_TRACE(native ? "forkpty" : "own fork");
    spawn child(std::nullopt);
    child.use_native_pty_fork = native;
    child.env = map;
    child._spawn(helper, {"report", "env"});
    EXPECT_EQ(lines_with_prefix(read_all(child), "env: "), (std::vector<std::string>{"A=1", "EMPTY="}));
    // And as the kernel keeps it for a running program.
    spawn running(std::nullopt);
    running.use_native_pty_fork = native;
    running.env = map;
    running.delayafterterminate = 0.05;
    running._spawn(helper, {"println", "ready", "sleep", "30"});
    EXPECT_EQ(running.expect_exact("ready"), 0);
    EXPECT_EQ(environment_of(*running.pid), (std::vector<std::string>{"A=1", "EMPTY="}));
  }
  // An empty map is an empty environment.
  spawn bare(helper, {"println", "ready", "sleep", "30"}, {.env = environment{}});
  bare.delayafterterminate = 0.05;
  EXPECT_EQ(bare.expect_exact("ready"), 0);
  EXPECT_TRUE(environment_of(*bare.pid).empty());

  // The same through run() and through the launcher.
  std::string output = run(helper + " report env", {.env = environment{{"ONLY", "this"}}});
  EXPECT_EQ(without_cr(output), "env: ONLY=this\nenv-end\n");
  auto launched =
      test_support::run_process({test_support::launcher, "ENV", "ONLY=that", "--", helper, "report", "env"});
  EXPECT_EQ(without_cr(launched.output), "env: ONLY=that\nenv-end\n");
}

TEST_F(Security, NoDescriptorOfTheCallerReachesTheChild) {
  inheritable_descriptors open_here;
  ASSERT_GE(open_here.count(), 6u);
  for (bool native : {true, false}) {
    SCOPED_TRACE(native ? "forkpty" : "own fork");
    // Another child's terminal, made inheritable on purpose.
    spawn other(helper, {"sleep", "30"});
    other.delayafterclose = other.delayafterterminate = 0;
    ASSERT_EQ(fcntl(other.child_fd, F_SETFD, 0), 0);
    spawn child(std::nullopt);
    child.use_native_pty_fork = native;
    child._spawn(helper, {"report", "fds"});
    EXPECT_EQ(lines_with_prefix(read_all(child), "fds: "), std::vector<std::string>{"0 1 2"});
  }
  // A descriptor above the soft limit (the limit lowered after it was opened) is closed too.
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  int above = fcntl(0, F_DUPFD, 900);
  ASSERT_GE(above, 900);
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::string output;
  try {
    spawn child(helper, {"report", "fds"});
    output = read_all(child);
  } catch (...) {
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  ::close(above);
  EXPECT_EQ(lines_with_prefix(output, "fds: "), std::vector<std::string>{"0 1 2"});

  // And what the launcher was handed stays with the launcher.
  auto launched = test_support::run_process({test_support::launcher, helper, "report", "fds"});
  EXPECT_EQ(without_cr(launched.output), "fds: 0 1 2\n");
}

TEST_F(Security, LauncherWordsNeverMeetAShell) {
  test_support::temp_dir dir;
  const std::string marker = dir.path() + "/touched";
  const std::vector<std::string> hostile_words = {"$(touch " + marker + ")",
                                                  "`touch " + marker + "`",
                                                  "; touch " + marker,
                                                  "| touch " + marker,
                                                  "&& touch " + marker,
                                                  "*",
                                                  "~",
                                                  "$HOME",
                                                  "a\nb",
                                                  "'quoted'",
                                                  "\"double\"",
                                                  "back\\slash",
                                                  "> " + marker,
                                                  "",
                                                  "-",
                                                  "--"};
  std::vector<std::string> words = {test_support::launcher,
                                    "ENV",
                                    "V=$(touch " + marker + ")",
                                    "--",
                                    helper,
                                    "report",
                                    "parent",
                                    "env",
                                    "argv"};
  words.insert(words.end(), hostile_words.begin(), hostile_words.end());
  auto launched = test_support::run_process(words);
  EXPECT_EQ(launched.exit_code, 0) << launched.output;
  const std::string out = without_cr(launched.output);
  // The program's parent is the launcher itself: nothing stood in between.
  EXPECT_EQ(lines_with_prefix(out, "parent: "), std::vector<std::string>{"launcher"});
  EXPECT_EQ(lines_with_prefix(out, "env: "), std::vector<std::string>{"V=$(touch " + marker + ")"});
  // Every word arrives as it was given; the one with a line feed spans two report lines.
  std::string expected_argv = "argv: " + helper + "\nargv: report\nargv: parent\nargv: env\nargv: argv\n";
  for (const auto& word : hostile_words) expected_argv += "argv: " + word + "\n";
  EXPECT_NE(out.find(expected_argv), std::string::npos) << out;
  EXPECT_FALSE(std::filesystem::exists(marker));

  // A lone program word is cut at blanks and quotes only: no expansion, no globbing.
  launched = test_support::run_process(
      {test_support::launcher, helper + " report argv $(touch " + marker + ") * ~ $HOME 'a;b'"});
  EXPECT_EQ(lines_with_prefix(launched.output, "argv: "),
            (std::vector<std::string>{helper, "report", "argv", "$(touch", marker + ")", "*", "~", "$HOME",
                                      "a;b"}));
  // A directory word is a directory name, however it looks.
  launched = test_support::run_process(
      {test_support::launcher, "CD", "$(touch " + marker + ")", "--", helper, "exit", "0"});
  EXPECT_EQ(launched.output, "Warning: Failed to change working directory\n");
  EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST_F(Security, ChildOutputIsRelayedByTheLauncherAsData) {
  // Every byte value, then what a terminal would act on or answer: a status request, a title,
  // a reset, an answerback request, and the relay's own escape byte. The launcher passes all of
  // it through, answers nothing, and goes on relaying until the child ends.
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string controls =
      "\x1b[6n\x1b]0;title\x07\x1b"
      "c\x05\x1d\x03\x1a\x04";
  auto launched = test_support::run_process({test_support::launcher, helper, "raw", "bytes", "print",
                                             controls, "sleep", "0.2", "print", "still here", "exit", "5"});
  EXPECT_EQ(launched.exit_code, 5);
  EXPECT_TRUE(launched.output == all + controls + "still here")
      << "got " << launched.output.size() << " bytes";
}
