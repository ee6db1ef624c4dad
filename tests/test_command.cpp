// Command-line splitting and PATH resolution.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <optional>

#include "pexpect_custom/command.hpp"
#include "test_support.hpp"

using pexpect_custom::split_command_line;
using pexpect_custom::which;
using strings = std::vector<std::string>;

TEST(SplitCommandLine, BlanksSeparateAndRunsCountOnce) {
  EXPECT_EQ(split_command_line("ls -l  /tmp"), (strings{"ls", "-l", "/tmp"}));
  EXPECT_EQ(split_command_line("a\tb\nc\vd\fe\rf"), (strings{"a", "b", "c", "d", "e", "f"}));
  EXPECT_EQ(split_command_line("ls   "), (strings{"ls"}));
  EXPECT_EQ(split_command_line(""), strings{});
}

TEST(SplitCommandLine, LeadingWhitespaceAndEmptyQuotesMakeEmptyArguments) {
  EXPECT_EQ(split_command_line(" ls"), (strings{"", "ls"}));
  EXPECT_EQ(split_command_line("   "), (strings{""}));
  EXPECT_EQ(split_command_line("a '' b"), (strings{"a", "", "b"}));
  EXPECT_EQ(split_command_line("a ''"), (strings{"a"}));
  EXPECT_EQ(split_command_line("''"), strings{});
  EXPECT_EQ(split_command_line("\"\" x"), (strings{"", "x"}));
}

TEST(SplitCommandLine, QuotesAndEscapes) {
  EXPECT_EQ(split_command_line("echo \"a b\" 'c d'"), (strings{"echo", "a b", "c d"}));
  EXPECT_EQ(split_command_line("a\\ b"), (strings{"a b"}));
  EXPECT_EQ(split_command_line("\"it's\""), (strings{"it's"}));
  EXPECT_EQ(split_command_line("'a\\b'"), (strings{"a\\b"}));
  EXPECT_EQ(split_command_line("\"a\\\"b"), (strings{"a\\b"}));  // no escapes inside quotes
  EXPECT_EQ(split_command_line("a'b c'd"), (strings{"ab cd"}));
  EXPECT_EQ(split_command_line("abc\\"), (strings{"abc"}));
  EXPECT_EQ(split_command_line("'abc"), (strings{"abc"}));
  EXPECT_EQ(split_command_line("\\'x"), (strings{"'x"}));
}

TEST(SplitCommandLine, KeepsEveryOtherByte) {
  std::string with_nul("a\0b c", 5);
  EXPECT_EQ(split_command_line(with_nul), (strings{std::string("a\0b", 3), "c"}));
  EXPECT_EQ(split_command_line("\xff\x80 $HOME *"), (strings{"\xff\x80", "$HOME", "*"}));
}

namespace {

// Sets PATH (or unsets it for nullopt) for one test and restores it afterwards.
class path_guard {
 public:
  explicit path_guard(const std::optional<std::string>& value) {
    if (const char* old = getenv("PATH")) saved_ = old;
    if (value)
      setenv("PATH", value->c_str(), 1);
    else
      unsetenv("PATH");
  }
  ~path_guard() {
    if (saved_)
      setenv("PATH", saved_->c_str(), 1);
    else
      unsetenv("PATH");
  }

 private:
  std::optional<std::string> saved_;
};

}  // namespace

class Which : public ::testing::Test {
 protected:
  test_support::temp_dir first, second;
  test_support::cwd_guard cwd;
};

TEST_F(Which, FirstExecutableOnPathWins) {
  first.write_file("tool", "#!/bin/sh\n", 0644);
  std::string in_second = second.write_file("tool", "#!/bin/sh\n", 0755);
  path_guard path(first.path() + ":" + second.path());
  EXPECT_EQ(which("tool"), in_second);
  std::string in_first = first.write_file("tool", "#!/bin/sh\n", 0755);
  EXPECT_EQ(which("tool"), in_first);
  EXPECT_EQ(which("no-such-tool"), std::nullopt);
  // No file is named with a NUL byte, even when the part before it names one.
  EXPECT_EQ(which(std::string("tool\0x", 6)), std::nullopt);
  EXPECT_EQ(which(in_first + std::string(1, '\0')), std::nullopt);
}

TEST_F(Which, EntryWithTrailingSlashIsNotDoubled) {
  std::string tool = first.write_file("tool", "", 0755);
  path_guard path(first.path() + "/");
  EXPECT_EQ(which("tool"), first.path() + "/tool");
}

TEST_F(Which, NamesWithSlashAreTriedAsTheyAreThenOnPath) {
  first.write_file("prog", "", 0755);
  ASSERT_EQ(chdir(first.path().c_str()), 0);
  path_guard path(second.path());
  EXPECT_EQ(which("./prog"), "./prog");
  // Not executable here: the PATH entries are tried with the name appended.
  ASSERT_EQ(chmod("prog", 0644), 0);
  second.write_file("prog", "", 0755);
  EXPECT_EQ(which("./prog"), second.path() + "/./prog");
}

TEST_F(Which, AbsolutePathThatIsNotExecutableIsNotFound) {
  std::string file = first.write_file("plain", "", 0644);
  path_guard path("/bin:/usr/bin");
  EXPECT_EQ(which(file), std::nullopt);
  ASSERT_EQ(chmod(file.c_str(), 0755), 0);
  EXPECT_EQ(which(file), file);
}

TEST_F(Which, UnsetOrEmptyPathSearchesCurrentDirectoryThenBinThenUsrBin) {
  first.write_file("localprog", "", 0755);
  ASSERT_EQ(chdir(first.path().c_str()), 0);
  {
    path_guard path(std::nullopt);
    EXPECT_EQ(which("localprog"), "localprog");
    EXPECT_EQ(which("sh"), "/bin/sh");
  }
  {
    path_guard path("");
    EXPECT_EQ(which("localprog"), "localprog");
  }
}

TEST_F(Which, EmptyPathEntryMeansCurrentDirectory) {
  first.write_file("localprog", "", 0755);
  ASSERT_EQ(chdir(first.path().c_str()), 0);
  {
    path_guard path("/nonexistent:");
    EXPECT_EQ(which("localprog"), "localprog");
  }
  path_guard path("/nonexistent");
  EXPECT_EQ(which("localprog"), std::nullopt);
}

TEST_F(Which, DirectoriesCountWhenSearchable) {
  path_guard path("/nonexistent:/");
  EXPECT_EQ(which("tmp"), "/tmp");
  EXPECT_EQ(which(""), "/");
  path_guard other(first.path());
  EXPECT_EQ(which(""), first.path() + "/");
}
