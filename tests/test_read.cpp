// Taking the child's output with read_nonblocking: chunks, time-outs, end of file, logging.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "helper_child.hpp"
#include "io/select.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper_child;

namespace {

// Blocks until the child has ended, without reaping it.
void await_exit(pid_t pid) {
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
}

// Blocks until the child has written something.
void await_output(int fd) {
  ASSERT_FALSE(detail::select({fd}, {}, {}, 20).read.empty());
}

template <typename Error>
std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Error& error) {
    return error.what();
  }
  return "(nothing raised)";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A sink that records, at every flush, its name and what was written since the last flush.
class recording_buf : public std::stringbuf {
 public:
  recording_buf(std::string name, std::vector<std::string>& events)
      : name_(std::move(name)), events_(events) {}

 protected:
  int sync() override {
    events_.push_back(name_ + ":" + str());
    str("");
    return 0;
  }

 private:
  std::string name_;
  std::vector<std::string>& events_;
};

class ReadNonblocking : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before);
  }
  std::set<int> fds_before = test_support::open_fds();
};

}  // namespace

TEST_F(ReadNonblocking, LiveChildGivesItsOutputThenTimesOut) {
  helper_child child({"print", "hello", "sleep", "30"});
  std::string got;
  while (got.size() < 5) got += child->read_nonblocking(100, 10);
  EXPECT_EQ(got, "hello");

  EXPECT_EQ(message_of<TIMEOUT>([&] { child->read_nonblocking(100, 0); }),
            "Timeout exceeded in read_nonblocking().");
  EXPECT_FALSE(child->flag_eof);
  EXPECT_TRUE(child->isalive());
}

TEST_F(ReadNonblocking, OneReadTakesAtMostSizeBytes) {
  helper_child child({"print", "abcdef", "sleep", "30"});
  await_output(child->child_fd);
  EXPECT_EQ(child->read_nonblocking(), "a");
  EXPECT_EQ(child->read_nonblocking(2), "bc");
  EXPECT_EQ(child->read_nonblocking(1000), "def");
}

TEST_F(ReadNonblocking, MinusOneMeansTheObjectsTimeoutAndNulloptNoLimit) {
  helper_child child({"sleep", "1", "print", "late", "sleep", "30"});
  child->timeout = 0.1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(child->read_nonblocking(100), TIMEOUT);
  EXPECT_LT(seconds_since(start), 10);
  // No limit: waits past the object's 0.1 s for the late output.
  EXPECT_EQ(child->read_nonblocking(100, std::nullopt), "late");
}

TEST_F(ReadNonblocking, ExitedChildIsDrainedBeforeEndOfFile) {
  helper_child child({"print", "last words"});
  await_exit(*child->pid);
  std::string got;
  std::string message = message_of<EOF_>([&] {
    while (true) got += child->read_nonblocking(3, 0);
  });
  EXPECT_EQ(got, "last words");
  EXPECT_EQ(message, "End Of File (EOF) in read_nonblocking(). Exception style platform.");
  EXPECT_TRUE(child->flag_eof);
  EXPECT_TRUE(child->eof());
  // End of file is reported again on every later read.
  EXPECT_EQ(message_of<EOF_>([&] { child->read_nonblocking(3, 0); }),
            "End Of File (EOF) in read_nonblocking(). Exception style platform.");
  EXPECT_TRUE(child->terminated);
  EXPECT_EQ(child->exitstatus, 0);
}

TEST_F(ReadNonblocking, ClosedObjectIsRefusedBeforeAnyWait) {
  helper_child child({"print", "unread", "sleep", "30"});
  child.finish();
  try {
    child->read_nonblocking(100, std::nullopt);  // would wait for ever if it got that far
    FAIL() << "no error";
  } catch (const ExceptionPexpect&) {
    FAIL() << "a closed object is not an end of file";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "I/O operation on closed file in read_nonblocking().");
  }
  EXPECT_FALSE(child->flag_eof);
}

TEST_F(ReadNonblocking, SizeBelowOneIsRefusedWithoutMarkingEndOfFile) {
  helper_child child({"print", "data", "sleep", "30"});
  await_output(child->child_fd);
  for (long size : {0L, -1L}) {
    EXPECT_EQ(message_of<std::logic_error>([&] { child->read_nonblocking(size, 0); }),
              "read_nonblocking() needs a size of at least 1, got " + std::to_string(size) + ".");
  }
  EXPECT_FALSE(child->flag_eof);
  EXPECT_EQ(child->read_nonblocking(100, 0), "data");
}

TEST_F(ReadNonblocking, EveryChunkGoesToLogfileThenLogfileReadEachFlushed) {
  std::vector<std::string> events;
  recording_buf all_buf("logfile", events), read_buf("logfile_read", events);
  std::ostream all(&all_buf), reads(&read_buf);
  helper_child child({"print", "one", "sleep", "30"});
  child->logfile = &all;
  child->logfile_read = &reads;

  std::string chunk = child->read_nonblocking(100, 10);
  EXPECT_EQ(events, (std::vector<std::string>{"logfile:" + chunk, "logfile_read:" + chunk}));

  // Without a chunk, nothing is logged.
  EXPECT_THROW(child->read_nonblocking(100, 0), TIMEOUT);
  EXPECT_EQ(events.size(), 2u);
}

TEST_F(ReadNonblocking, ExpectLogsEverythingItReads) {
  std::ostringstream all, reads;
  helper_child child({"println", "first", "println", "second"});
  child->logfile = &all;
  child->logfile_read = &reads;
  EXPECT_EQ(child->expect_exact(EOF_marker), 0);
  EXPECT_EQ(all.str(), "first\r\nsecond\r\n");
  EXPECT_EQ(reads.str(), all.str());
  EXPECT_EQ(child->before, all.str());
}
