// Reading the child's output like a file: read, readline, readlines, next and iteration.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "helper_child.hpp"
#include "io/select.hpp"
#include "pexpect_custom/spawn.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;
using test_support::helper_child;

namespace {

// "abc", line feed, "def", then end of file; the terminal turns the line feed into CR LF.
const std::vector<std::string> two_lines = {"print", "abc\ndef"};

class Readers : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(test_support::zombie_children().empty());
    EXPECT_EQ(test_support::open_fds(), fds_before);
  }
  std::set<int> fds_before = test_support::open_fds();
};

}  // namespace

TEST_F(Readers, ReadlineEndsAtCrLfAndAtEndOfFile) {
  helper_child child(two_lines);
  EXPECT_EQ(child->readline(), "abc\r\n");
  EXPECT_EQ(child->readline(7), "def");  // the size is not used
  EXPECT_EQ(child->readline(), "");
  EXPECT_EQ(child->readline(), "");
}

TEST_F(Readers, ReadlinesNextAndIterationAgree) {
  const std::vector<std::string> lines = {"abc\r\n", "def"};
  {
    helper_child child(two_lines);
    EXPECT_EQ(child->readlines(), lines);
  }
  {
    helper_child child(two_lines);
    EXPECT_EQ(child->next(), "abc\r\n");
    EXPECT_EQ(child->next(), "def");
    EXPECT_EQ(child->next(), std::nullopt);
  }
  {
    helper_child child(two_lines);
    std::vector<std::string> seen;
    for (const std::string& line : *child) seen.push_back(line);
    EXPECT_EQ(seen, lines);
    EXPECT_TRUE(child->begin() == child->end());
  }
}

TEST_F(Readers, LoneLineFeedDoesNotEndALine) {
  helper_child child({"sleep", "30"});
  child->delimiter = TIMEOUT_marker;
  child->timeout = 0;
  child->buffer = "one\ntwo\r\nthree";
  EXPECT_EQ(child->readline(), "one\ntwo\r\n");
  EXPECT_EQ(child->readline(), "three");  // the delimiter, a time-out here, ended it
}

TEST_F(Readers, ReadBySize) {
  helper_child child(two_lines);
  EXPECT_EQ(child->read(0), "");
  EXPECT_EQ(child->read(2), "ab");
  EXPECT_EQ(child->read(4), "c\r\nd");
  EXPECT_EQ(child->read(5), "ef") << "fewer bytes than asked for before end of file, and no error";
  EXPECT_EQ(child->read(5), "");
}

TEST_F(Readers, ReadAllUpToEndOfFile) {
  helper_child child({"println", "first", "sleep", "0.2", "print", "second"});
  EXPECT_EQ(child->read(), "first\r\nsecond");
  EXPECT_EQ(child->read(), "");
}

TEST_F(Readers, ReadMoreThanTheEnginesLargestRepeatCount) {
  std::string on_terminal;
  for (long line = 0; on_terminal.size() < 300'000; ++line) on_terminal += std::to_string(line) + "\r\n";
  helper_child child({"flood", "300000", "sleep", "30"});
  EXPECT_EQ(child->read(150'000), on_terminal.substr(0, 150'000));
  EXPECT_EQ(child->read(65'536), on_terminal.substr(150'000, 65'536));
  EXPECT_EQ(child->read(65'535), on_terminal.substr(215'536, 65'535));
}

TEST_F(Readers, ZeroSizeNeverWaitsEvenWhenClosed) {
  helper_child child({"sleep", "30"});
  child.finish();
  EXPECT_EQ(child->read(0), "");
  EXPECT_EQ(child->readline(0), "");
  EXPECT_THROW(child->readline(), std::logic_error);
}

TEST_F(Readers, TimeoutPropagates) {
  helper_child child({"print", "no line end", "sleep", "30"});
  ASSERT_FALSE(detail::select({child->child_fd}, {}, {}, 20).read.empty());
  child->timeout = 0.2;
  EXPECT_THROW(child->readline(), TIMEOUT);
  EXPECT_EQ(child->buffer, "no line end");
  EXPECT_THROW(child->read(), TIMEOUT);
  EXPECT_THROW(child->readlines(), TIMEOUT);
}
