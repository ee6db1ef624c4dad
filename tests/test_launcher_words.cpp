// The launcher's word sorting, and its messages and exit statuses seen from outside.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.hpp"
#include "words.hpp"

using launcher::sort_words;
using strings = std::vector<std::string>;
using env_map = std::map<std::string, std::string>;

TEST(SortWords, SectionsBeforeTheProgram) {
  auto r = sort_words({"CD", "/tmp", "--", "ls"});
  EXPECT_EQ(r.cdto, strings{"/tmp"});
  EXPECT_EQ(r.cmdline, strings{"ls"});

  r = sort_words({"CD", "My", "Documents", "--", "ls"});
  EXPECT_EQ(launcher::joined_directory(r.cdto), "My Documents");

  r = sort_words({"CD", "/a", "--", "CD", "/b", "--", "ls"});
  EXPECT_EQ(launcher::joined_directory(r.cdto), "/a /b");
}

TEST(SortWords, OnlyDoubleDashIsAKeywordInsideASection) {
  auto r = sort_words({"CD", "/tmp", "ENV", "A=1", "--", "ls"});
  EXPECT_EQ(launcher::joined_directory(r.cdto), "/tmp ENV A=1");
  EXPECT_TRUE(r.env.empty());
  EXPECT_EQ(r.cmdline, strings{"ls"});

  r = sort_words({"ENV", "CD", "A=1", "ENV", "--", "x"});
  EXPECT_EQ(r.env, (env_map{{"A", "1"}}));
  EXPECT_TRUE(r.cdto.empty());
}

TEST(SortWords, EnvironmentAssignments) {
  auto r = sort_words({"ENV", "A=1", "B=", "=x", "NOEQ", "A=2", "D=x=y", "--", "env"});
  EXPECT_EQ(r.env, (env_map{{"A", "2"}, {"B", ""}, {"D", "x=y"}}));
  EXPECT_EQ(r.cmdline, strings{"env"});

  // A value may end in one line feed, which is dropped; a line feed elsewhere drops the word.
  r = sort_words({"ENV", "V=abc\n", "W=a\nb", "X=a\n\n", "Y=\n", "N\nM=1", "--", "env"});
  EXPECT_EQ(r.env, (env_map{{"V", "abc"}, {"Y", ""}, {"N\nM", "1"}}));
}

TEST(SortWords, EverythingAfterTheProgramIsAnArgument) {
  EXPECT_EQ(sort_words({"ls", "-l", "--", "CD"}).cmdline, (strings{"ls", "-l", "--", "CD"}));
  EXPECT_EQ(sort_words({"--", "--", "x"}).cmdline, (strings{"--", "x"}));
  EXPECT_EQ(sort_words({"--", "CD", "x"}).cmdline, (strings{"CD", "x"}));
  auto r = sort_words({"ENV", "A=1", "--", "prog", "ENV", "B=2"});
  EXPECT_EQ(r.cmdline, (strings{"prog", "ENV", "B=2"}));
  EXPECT_EQ(r.env, (env_map{{"A", "1"}}));
}

TEST(SortWords, NoProgram) {
  EXPECT_TRUE(sort_words({"CD", "/tmp"}).cmdline.empty());
  EXPECT_TRUE(sort_words({"--"}).cmdline.empty());
  EXPECT_TRUE(sort_words({"ENV", "A=1", "--"}).cmdline.empty());
}

namespace {

test_support::process_result run_launcher(std::vector<std::string> words) {
  words.insert(words.begin(), test_support::launcher);
  return test_support::run_process(words);
}

std::string without_cr(std::string text) {
  std::erase(text, '\r');
  return text;
}

}  // namespace

TEST(LauncherMessages, FailuresBeforeTheStart) {
  auto r = run_launcher({});
  EXPECT_EQ(r.output, "No program specified\n");
  EXPECT_EQ(r.exit_code, 1);

  for (const strings& words : {strings{"CD", "/tmp"}, strings{"--"}}) {
    r = run_launcher(words);
    EXPECT_EQ(r.output, "No program to run!\n");
    EXPECT_EQ(r.exit_code, 1);
  }

  r = run_launcher({"nosuch-program-xyz"});
  EXPECT_EQ(r.output,
            "Failed to launch the program: The command was not found or was not executable: "
            "nosuch-program-xyz.\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(LauncherMessages, ExecFailureIsReportedByTheLauncherItself) {
  test_support::temp_dir dir;
  std::string bogus = dir.write_file("bogus",
                                     "\x7f"
                                     "ELF nonsense",
                                     0755);
  auto r = run_launcher({bogus, "arg"});
  EXPECT_EQ(r.output, "Failed to launch the program: [Errno 8] Exec format error\n");
  EXPECT_EQ(r.exit_code, 1);
}

TEST(LauncherStart, DirectoryEnvironmentAndProgram) {
  test_support::temp_dir dir;
  auto r = run_launcher({"CD", dir.path(), "--", "ENV", "A=1", "B=x=y", "--", test_support::helper, "report",
                         "cwd", "env", "winsize", "argv"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(without_cr(r.output), "cwd: " + dir.path() + "\nenv: A=1\nenv: B=x=y\nenv-end\n" +
                                      "winsize: 24 80\nargv: " + test_support::helper +
                                      "\nargv: report\nargv: cwd\nargv: env\nargv: winsize\nargv: argv\n");
}

TEST(LauncherStart, NoEnvSectionMeansAnEmptyEnvironment) {
  auto r = run_launcher({test_support::helper, "report", "env"});
  EXPECT_EQ(without_cr(r.output), "env-end\n");
}

TEST(LauncherStart, MissingDirectoryWarnsAndStartsHere) {
  auto r = run_launcher({"CD", "/no/such", "dir", "--", test_support::helper, "report", "cwd"});
  std::string out = without_cr(r.output);
  EXPECT_EQ(out.rfind("Warning: Failed to change working directory\ncwd: ", 0), 0u) << out;
}

TEST(LauncherStart, LoneProgramWordIsSplitButNotWithArguments) {
  auto r = run_launcher({test_support::helper + " report argv"});
  EXPECT_EQ(without_cr(r.output), "argv: " + test_support::helper + "\nargv: report\nargv: argv\n");
  r = run_launcher({test_support::helper + " report argv", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("was not found or was not executable: " + test_support::helper + " report argv."),
            std::string::npos);
}

TEST(LauncherExit, StatusFollowsTheChild) {
  EXPECT_EQ(run_launcher({test_support::helper, "exit", "3"}).exit_code, 3);
  EXPECT_EQ(run_launcher({test_support::helper, "exit", "0"}).exit_code, 0);
  EXPECT_EQ(run_launcher({test_support::helper, "signal", "15"}).exit_code, 128 + 15);
  EXPECT_EQ(run_launcher({test_support::helper, "signal", "9"}).exit_code, 128 + 9);
}

TEST(LauncherExit, WordsNeverReachAShell) {
  test_support::temp_dir dir;
  std::string marker = dir.path() + "/pwned";
  auto r = run_launcher({test_support::helper, "println", "$(touch " + marker + ");`touch " + marker + "`"});
  EXPECT_EQ(without_cr(r.output), "$(touch " + marker + ");`touch " + marker + "`\n");
  EXPECT_FALSE(std::filesystem::exists(marker));
}
