// Following a child's life: exit status, signals, staged termination, closing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

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
  return child;
}

// A child that ignores `signals` ("1,2": SIGHUP and SIGINT) and then runs `rest`; returned once
// it ignores them, so that no signal sent afterwards can overtake the change.
spawn ignoring(const std::string& signals, std::vector<std::string> rest = {"sleep", "30"}) {
  std::vector<std::string> modes{"ignore", signals, "println", "ignoring"};
  modes.insert(modes.end(), rest.begin(), rest.end());
  spawn child = quick(std::move(modes));
  EXPECT_EQ(child.expect_exact("ignoring"), 0);
  return child;
}

// Gone, or a zombie that its new parent has yet to collect.
bool process_ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto name_end = text.rfind(") ");
  return name_end == std::string::npos || text.compare(name_end + 2, 1, "Z") == 0;
}

class Lifetime : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before);
  }
  std::set<int> fds_before = test_support::open_fds();
};

}  // namespace

TEST_F(Lifetime, ExitCodeIsCollectedOnceByIsalive) {
  spawn child = quick({"exit", "3"});
  EXPECT_FALSE(child.terminated);
  ASSERT_TRUE(ended_unreaped(*child.pid));
  EXPECT_FALSE(child.isalive());
  EXPECT_EQ(child.exitstatus, 3);
  EXPECT_EQ(child.signalstatus, std::nullopt);
  EXPECT_EQ(child.status, 768);
  EXPECT_TRUE(child.terminated);
  EXPECT_FALSE(child.isalive());
  try {
    child.wait();
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(), "Cannot wait for dead child process.");
  }
  child.kill(SIGTERM);  // nothing to signal any more: no error
}

TEST_F(Lifetime, SignalEndingIsCollected) {
  for (int sig : {SIGTERM, SIGKILL}) {
    spawn child = quick({"sleep", "30"});
    EXPECT_TRUE(child.isalive());
    EXPECT_TRUE(child.isalive());
    EXPECT_EQ(child.exitstatus, std::nullopt);
    child.kill(sig);
    ASSERT_TRUE(ended_unreaped(*child.pid));
    EXPECT_FALSE(child.isalive());
    EXPECT_EQ(child.exitstatus, std::nullopt);
    EXPECT_EQ(child.signalstatus, sig);
  }
}

TEST_F(Lifetime, WaitBlocksUntilTheEnd) {
  spawn child = quick({"sleep", "0.2", "exit", "0"});
  EXPECT_EQ(child.wait(), 0);
  EXPECT_TRUE(child.terminated);
  EXPECT_EQ(child.status, 0);

  spawn killed = quick({"sleep", "0.2", "signal", "15"});
  EXPECT_EQ(killed.wait(), std::nullopt);
  EXPECT_EQ(killed.signalstatus, 15);
}

TEST_F(Lifetime, WaitExitGivesTheEndWhetherOrNotItWasCollected) {
  struct end_case {
    std::string name;
    std::vector<std::string> modes;
    std::function<void(spawn&)> before;  // what the caller did first
    std::optional<int> exitstatus;
    std::optional<int> signalstatus;
  };
  for (const auto& [name, modes, before, exitstatus, signalstatus] : std::vector<end_case>{
           {"still running", {"sleep", "0.2", "exit", "4"}, [](spawn&) {}, 4, std::nullopt},
           {"end of file met", {"exit", "3"}, [](spawn& c) { c.expect(EOF_marker); }, 3, std::nullopt},
           {"killed", {"sleep", "30"}, [](spawn& c) { c.kill(SIGTERM); }, std::nullopt, SIGTERM},
           {"collected by isalive",
            {"exit", "5"},
            [](spawn& c) {
              ASSERT_TRUE(ended_unreaped(*c.pid));
              ASSERT_FALSE(c.isalive());
            },
            5,
            std::nullopt},
       }) {
    SCOPED_TRACE(name);
    spawn child = quick(modes);
    before(child);
    EXPECT_EQ(child.wait_exit(), exitstatus);
    EXPECT_EQ(child.wait_exit(), exitstatus);
    EXPECT_EQ(child.signalstatus, signalstatus);
    EXPECT_TRUE(child.terminated);
  }
}

TEST_F(Lifetime, IsaliveBlocksOnceEndOfFileWasSeen) {
  spawn child = quick({"sleep", "0.3", "exit", "5"});
  child.flag_eof = true;
  EXPECT_FALSE(child.isalive());
  EXPECT_EQ(child.exitstatus, 5);
}

TEST_F(Lifetime, ChildReapedBehindOurBack) {
  spawn child = quick({"exit", "0"});
  ASSERT_TRUE(ended_unreaped(*child.pid));
  ASSERT_EQ(waitpid(*child.pid, nullptr, 0), *child.pid);
  try {
    child.isalive();
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(),
                 "isalive() encountered condition where \"terminated\" is 0, but there was no child "
                 "process. Did someone else call waitpid() on our process?");
  }
  EXPECT_FALSE(child.terminated);
  child.terminated = true;  // let the destructor close without asking again
}

TEST_F(Lifetime, StoppedChildIsReportedNotResumed) {
  spawn child = quick({"sleep", "30"});
  ASSERT_EQ(::kill(*child.pid, SIGSTOP), 0);
  ASSERT_TRUE(stopped_unreaped(*child.pid));
  try {
    child.isalive();
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(),
                 "isalive() encountered condition where child process is stopped. This is not "
                 "supported. Is some other process attempting job control with our child pid?");
  }
  EXPECT_FALSE(child.terminated);

  // The stop has to arrive while wait() blocks, after its own liveness test.
  spawn waiter = quick({"sleep", "30"});
  std::thread stopper([pid = *waiter.pid] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ::kill(pid, SIGSTOP);
  });
  try {
    waiter.wait();
    stopper.join();
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(),
                 "Wait was called for a child process that is stopped. This is not supported. Is "
                 "some other process attempting job control with our child pid?");
  }
  stopper.join();
  // Closing continues and ends stopped children.
  child.close();
  waiter.close();
  EXPECT_TRUE(child.terminated);
  EXPECT_TRUE(waiter.terminated);
}

TEST_F(Lifetime, KillWithAnInvalidSignalIsASystemError) {
  spawn child = quick({"sleep", "30"});
  try {
    child.kill(12345);
    FAIL();
  } catch (const SystemError& error) {
    EXPECT_EQ(error.code().value(), EINVAL);
  }
}

TEST_F(Lifetime, TerminateGoesThroughTheStages) {
  spawn plain = quick({"sleep", "30"});
  EXPECT_TRUE(plain.terminate());
  EXPECT_EQ(plain.signalstatus, SIGHUP);

  spawn no_hangup = ignoring("1");
  EXPECT_TRUE(no_hangup.terminate());
  EXPECT_EQ(no_hangup.signalstatus, SIGINT);

  spawn stubborn = ignoring("1,2");
  EXPECT_FALSE(stubborn.terminate(false));
  EXPECT_TRUE(stubborn.isalive());
  EXPECT_TRUE(stubborn.terminate(true));
  EXPECT_EQ(stubborn.signalstatus, SIGKILL);

  spawn gone = quick({"exit", "0"});
  ASSERT_TRUE(ended_unreaped(*gone.pid));
  EXPECT_TRUE(gone.terminate());
}

TEST_F(Lifetime, CloseEndsAChildThatIgnoresHangupAndInterrupt) {
  spawn stubborn = ignoring("1,2");
  stubborn.close();
  EXPECT_TRUE(stubborn.closed);
  EXPECT_EQ(stubborn.child_fd, -1);
  EXPECT_EQ(stubborn.signalstatus, SIGKILL);
  pid_t pid = *stubborn.pid;
  stubborn.close();  // a second close does nothing
  EXPECT_EQ(stubborn.pid, pid);
}

TEST_F(Lifetime, CloseWithoutForceRaisesAndNeverClosesTheNumberAgain) {
  spawn stubborn = ignoring("1,2");
  int old_fd = stubborn.child_fd;
  try {
    stubborn.close(false);
    FAIL();
  } catch (const ExceptionPexpect& error) {
    EXPECT_STREQ(error.what(), "close() could not terminate the child using terminate()");
  }
  EXPECT_FALSE(stubborn.closed);
  EXPECT_EQ(stubborn.child_fd, old_fd);
  // The number is free now; whoever gets it next must keep it.
  int null_fd = ::open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(null_fd, old_fd), old_fd);
  ::close(null_fd);
  stubborn.close(true);
  EXPECT_TRUE(stubborn.closed);
  EXPECT_NE(fcntl(old_fd, F_GETFD), -1) << "close() closed a descriptor it no longer owned";
  ::close(old_fd);
}

TEST_F(Lifetime, CloseAfterEndOfFileKeepsTheExitCodeOfAChildStillFinishing) {
  for (std::optional<double> timeout : {std::optional<double>(30), std::optional<double>()}) {
    SCOPED_TRACE(timeout ? "bounded wait" : "wait without limit");
    spawn finishing = quick({"detach", "sleep", "0.5", "exit", "2"});
    finishing.timeout = timeout;
    EXPECT_EQ(finishing.expect(EOF_marker, 30), 0);
    finishing.close();
    EXPECT_EQ(finishing.exitstatus, 2);
    EXPECT_EQ(finishing.signalstatus, std::nullopt);
  }
}

TEST_F(Lifetime, CloseAfterEndOfFileEndsAChildThatNeverEnds) {
  spawn daemon = ignoring("1,2", {"detach", "sleep", "1000"});
  daemon.flag_eof = true;  // as after reading to end of file
  daemon.timeout = 0.5;    // how long close() lets it finish by itself
  auto started = std::chrono::steady_clock::now();
  daemon.close();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  EXPECT_EQ(daemon.signalstatus, SIGKILL);
}

TEST_F(Lifetime, DestructorEndsARunningChild) {
  pid_t pid;
  {
    spawn child = ignoring("1,2");
    pid = *child.pid;
  }
  EXPECT_FALSE(test_support::process_exists(pid));
}

// The hang-up of the closed terminal reaches the shell's background job too.
TEST_F(Lifetime, CloseEndsTheJobsOfTheChildsSession) {
  spawn shell("/bin/sh", {"-c", "sleep 1001 & echo job $!; wait"});
  shell.delayafterclose = 0;
  ASSERT_EQ(shell.expect("job (\\d+)"), 0);
  const pid_t job = std::stoi(*std::get<Match>(*shell.match).group(1));
  shell.close();
  const bool job_ended = test_support::eventually([job] { return process_ended(job); });
  if (!job_ended) ::kill(job, SIGKILL);
  EXPECT_TRUE(job_ended);
}

TEST_F(Lifetime, EofReportsTheFlag) {
  spawn factory(std::nullopt);
  EXPECT_FALSE(factory.eof());
  factory.flag_eof = true;
  EXPECT_TRUE(factory.eof());
  EXPECT_FALSE(factory.isalive());
  EXPECT_THROW(factory.wait(), ExceptionPexpect);
}
