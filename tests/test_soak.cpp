// Soak and exhaustion: thousands of starts and closes, hundreds of children at once, and starts
// with the descriptor table nearly full. Afterwards the process holds exactly the descriptors
// it held before, has no zombie child, and works as before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <iostream>
#include <memory>

#include "pexpect_custom/run.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper;

namespace {

void make_quick(spawn& child) {
  child.delaybeforesend = 0;
  child.delayafterclose = 0;
  child.delayafterterminate = 0;
  child.delayafterread = 0;
}

spawn start(std::vector<std::string> args, bool native_fork = true) {
  spawn child(std::nullopt);
  make_quick(child);
  child.use_native_pty_fork = native_fork;
  child._spawn(helper, args);
  return child;
}

class Soak : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before_);
  }

 private:
  std::set<int> fds_before_ = test_support::open_fds();
};

// Where the process's standard descriptors lead, to see that a failed start left them alone.
std::array<std::string, 3> standard_targets() {
  std::array<std::string, 3> targets;
  for (int fd = 0; fd < 3; ++fd) {
    std::error_code ignored;
    targets[static_cast<std::size_t>(fd)] =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored).string();
  }
  return targets;
}

// The open descriptors, found without opening one (the table may be full).
std::set<int> open_descriptors() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  std::set<int> fds;
  for (int fd = 0; fd < static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536)); ++fd) {
    if (fcntl(fd, F_GETFD) != -1) fds.insert(fd);
  }
  return fds;
}

// In the sanitizer build a member call checks the object's dynamic type, and the first check for
// each type probes memory through a pipe, which a full descriptor table refuses: the check then
// reports a bad type falsely. Meeting every type of a start, its failures and its close once
// beforehand keeps those first checks away from the full table.
void meet_every_type_once(bool native) {
  test_support::temp_dir dir;
  const std::string not_a_program = dir.write_file("garbage",
                                                   "\x7f"
                                                   "ELF garbage",
                                                   0755);
  for (const std::string& program :
       {test_support::helper, not_a_program, std::string("no-such-program-anywhere")}) {
    try {
      spawn child(std::nullopt);
      make_quick(child);
      child.use_native_pty_fork = native;
      child._spawn(program, {"println", "fine"});
      child.expect_exact({"fine", EOF_marker});
      child.close();
    } catch (const std::exception& error) {
      EXPECT_NE(error.what(), nullptr);
    }
  }
}

// Lowers the soft descriptor limit and fills the table so that exactly `free_slots` descriptors
// can still be opened; everything is undone when the object goes.
class nearly_full_table {
 public:
  explicit nearly_full_table(int free_slots) {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(*test_support::open_fds().rbegin() + 64);
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) throw std::runtime_error("setrlimit");
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler_.push_back(fd);
    for (int i = 0; i < free_slots && !filler_.empty(); ++i) {
      ::close(filler_.back());
      filler_.pop_back();
    }
  }
  ~nearly_full_table() {
    for (int fd : filler_) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  nearly_full_table(const nearly_full_table&) = delete;
  nearly_full_table& operator=(const nearly_full_table&) = delete;

 private:
  rlimit saved_{};
  std::vector<int> filler_;
};

}  // namespace

// The cycles start small system programs rather than the test helper: what is soaked is the
// library's start and close, and a sanitizer build would spend most of the time starting an
// instrumented helper.
TEST_F(Soak, TwoThousandStartsAndCloses) {
  test_support::temp_dir dir;
  const std::string not_a_program = dir.write_file("garbage",
                                                   "\x7f"
                                                   "ELF garbage",
                                                   0755);
  int exited = 0, ended_by_close = 0, read_to_end = 0, failed_starts = 0;
  for (int cycle = 0; cycle < 2000; ++cycle) {
    const bool native = cycle % 2 == 0;
    spawn child(std::nullopt);
    make_quick(child);
    child.use_native_pty_fork = native;
    if (cycle % 100 == 99) {
      // A start that fails after the fork: nothing of it may stay behind.
      EXPECT_THROW(child._spawn(not_a_program, {"x"}), SystemError);
      EXPECT_TRUE(child.closed);
      ++failed_starts;
      continue;
    }
    switch (cycle % 3) {
      case 0: {  // ends by itself, is collected, then closed
        child._spawn("/bin/sh", {"-c", "exit 3"});
        EXPECT_EQ(child.expect(EOF_marker), 0);
        EXPECT_FALSE(child.isalive());  // waits, after end of file, for the exit itself
        EXPECT_EQ(child.exitstatus, 3) << "cycle " << cycle;
        child.close();
        ++exited;
        break;
      }
      case 1: {  // still running: the close ends it
        child._spawn("/bin/sleep", {"30"});
        const pid_t pid = *child.pid;
        child.close();
        EXPECT_TRUE(child.terminated) << "cycle " << cycle;
        EXPECT_FALSE(test_support::process_exists(pid)) << "cycle " << cycle;
        ++ended_by_close;
        break;
      }
      default: {  // read to the end, then left to the destructor
        child._spawn("/bin/echo", {"cycle", std::to_string(cycle)});
        EXPECT_EQ(child.expect({EOF_marker}), 0);
        EXPECT_EQ(child.before, "cycle " + std::to_string(cycle) + "\r\n");
        ++read_to_end;
        break;
      }
    }
  }
  EXPECT_EQ(exited + ended_by_close + read_to_end + failed_starts, 2000);
}

TEST_F(Soak, TwoHundredLiveChildrenAtOnce) {
  constexpr int count = 200;
  const std::size_t fds_at_start = test_support::open_fds().size();
  {
    std::vector<spawn> children;
    children.reserve(count);
    for (int i = 0; i < count; ++i) {
      children.push_back(start({"readline", "exit", std::to_string(i % 256)}, i % 2 == 0));
    }
    // Each child holds exactly one descriptor of ours: its terminal's master side.
    EXPECT_EQ(test_support::open_fds().size(), fds_at_start + count);
    for (int i = 0; i < count; ++i)
      children[static_cast<std::size_t>(i)].sendline("ping " + std::to_string(i));
    // Every child answers its own line, none another's.
    for (int i = 0; i < count; ++i) {
      spawn& child = children[static_cast<std::size_t>(i)];
      ASSERT_EQ(child.expect_exact({"[ping " + std::to_string(i) + "]\r\n", EOF_marker}), 0) << "child " << i;
    }
    for (int i = 0; i < count; ++i) {
      spawn& child = children[static_cast<std::size_t>(i)];
      EXPECT_EQ(child.expect(EOF_marker), 0);
      if (i % 2 == 0) {
        child.close();
        EXPECT_EQ(child.exitstatus, i % 256);
      }
    }
    // The other half goes with the vector.
  }
}

TEST_F(Soak, FiftyOneShotRuns) {
  // Each run pauses a tenth of a second when it closes; fifty keep this short.
  for (int i = 0; i < 50; ++i) {
    run_result result = run(helper + " println run-" + std::to_string(i) + " exit " + std::to_string(i % 7),
                            {.withexitstatus = true});
    ASSERT_EQ(result.output, "run-" + std::to_string(i) + "\r\n");
    ASSERT_EQ(result.exitstatus, i % 7);
  }
}

TEST_F(Soak, StartsWithTheDescriptorTableNearlyFull) {
  const auto targets_before = standard_targets();
  sigset_t mask_before;
  sigprocmask(SIG_SETMASK, nullptr, &mask_before);
  const auto cwd_before = std::filesystem::current_path();

  for (bool native : {true, false}) {
    meet_every_type_once(native);
    std::vector<bool> started_with;  // by the number of free slots
    for (int free_slots = 0; free_slots <= 6; ++free_slots) {
      SCOPED_TRACE((native ? "forkpty, " : "own fork, ") + std::to_string(free_slots) + " free");
      std::string error;
      std::set<int> fds_in_between, fds_after;
      bool started = false;
      {
        nearly_full_table table(free_slots);
        fds_in_between = open_descriptors();
        spawn child(std::nullopt);
        make_quick(child);
        child.use_native_pty_fork = native;
        try {
          child._spawn(helper, {"println", "fine"});
          started = true;
          // With just enough room the child works as always.
          EXPECT_EQ(child.expect_exact({"fine", EOF_marker}), 0);
          child.close();
        } catch (const std::exception& caught) {
          error = caught.what();
          EXPECT_EQ(child.pid, std::nullopt) << error;
          EXPECT_EQ(child.child_fd, -1);
          EXPECT_TRUE(child.closed);
        }
        fds_after = open_descriptors();
      }
      // A clear error that names the cause, and nothing of the attempt left open.
      if (!started) {
        EXPECT_NE(error.find("[Errno 24] Too many open files"), std::string::npos) << error;
      }
      EXPECT_EQ(fds_after, fds_in_between);
      started_with.push_back(started);
    }
    // With none free it cannot work, with six it must, and more room never makes it fail.
    EXPECT_FALSE(started_with.front());
    EXPECT_TRUE(started_with.back());
    EXPECT_TRUE(std::is_sorted(started_with.begin(), started_with.end()));
    const auto first = std::find(started_with.begin(), started_with.end(), true) - started_with.begin();
    std::cout << (native ? "forkpty" : "own fork") << ": the first start that worked had " << first
              << " free descriptors\n";
  }

  // The caller is unharmed: same standard descriptors, signal mask and directory, and starts work.
  EXPECT_EQ(standard_targets(), targets_before);
  sigset_t mask_after;
  sigprocmask(SIG_SETMASK, nullptr, &mask_after);
  for (int sig = 1; sig < NSIG; ++sig)
    EXPECT_EQ(sigismember(&mask_after, sig), sigismember(&mask_before, sig));
  EXPECT_EQ(std::filesystem::current_path(), cwd_before);
  spawn after = start({"println", "still fine"});
  EXPECT_EQ(after.expect_exact("still fine"), 0);
}
