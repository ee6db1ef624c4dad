// Sessions with a screen: expect_screen, keys in the program's mode, answers to its queries,
// and real full-screen programs (vim, less, top, dialog) driven through them.

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "pexpect_custom/pexpect_custom.hpp"
#include "test_support.hpp"

using namespace pexpect_custom;

namespace {

// Generous: the machine may be busy with other builds.
constexpr double patience = 30;

// A clean terminal environment: no user configuration reaches the programs.
environment terminal_env(const std::string& home) {
  return {{"TERM", "xterm"},
          {"HOME", home},
          {"PATH", "/usr/bin:/bin"},
          {"LANG", "C.UTF-8"},
          {"LESSHISTFILE", "-"}};
}

spawn_options screen_options(const std::string& home, recorder* recording = nullptr) {
  return {.timeout = patience,
          .env = terminal_env(home),
          .delaybeforesend = 0,
          .screen = true,
          .recording = recording};
}

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Row and column where `text` first appears on the screen; (-1, -1) when it does not.
screen_position find_on(const screen& shown, const std::string& text) {
  for (int r = 0; r < shown.rows(); ++r) {
    const std::size_t at = shown.row(r).find(text);
    if (at != std::string::npos) return {r, static_cast<int>(at)};
  }
  return {-1, -1};
}

}  // namespace

// ---- expect_screen and the session's screen --------------------------------------------------

TEST(ExpectScreen, WaitsForTheRenderedTextNotTheBytes) {
  test_support::temp_dir home;
  // The word only exists once the overwrite has been applied: the bytes never hold it.
  spawn child("sh", {"-c", "printf 'Sxxed\\rSav'; sleep 30"}, screen_options(home.path()));
  // The searcher also serves an expect stepped by the caller's own loop.
  pending_expect pending(child, child.screen_searcher_exact("Saved"), patience);
  while (!pending.step()) {
    std::vector<pollfd> fds;
    for (int fd : pending.watch_fds()) fds.push_back({fd, POLLIN, 0});
    ASSERT_GT(::poll(fds.data(), fds.size(), -1), 0);
  }
  EXPECT_EQ(child.screen().row(0), "Saved");
  EXPECT_EQ(child.buffer, "");
  // Already on the screen: no wait, whatever the time-out.
  child.expect_screen(Regex("S(a+)ved"), 0, screen_area::row(0));
  EXPECT_EQ(child.group(1), "a");
  EXPECT_THROW(child.expect_screen_exact("Saved", 0, screen_area{.top = 1}), TIMEOUT);
  EXPECT_THROW(child.expect_screen_exact("av", 0, screen_area{.top = 0, .left = 0, .rows = 1, .cols = 2}),
               TIMEOUT);
}

TEST(ExpectScreen, TimeoutAndEndOfFileShowTheScreen) {
  test_support::temp_dir home;
  spawn waiting("sh", {"-c", "printf 'first line\\r\\nsecond'; sleep 30"}, screen_options(home.path()));
  waiting.expect_screen_exact("second");
  try {
    waiting.expect_screen_exact("never", 0.3);
    FAIL() << "no time-out";
  } catch (const TIMEOUT& error) {
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("Timeout exceeded in read_nonblocking().", 0), 0U) << message;
    EXPECT_NE(message.find("screen searcher:"), std::string::npos) << message;
    EXPECT_NE(message.find("\nscreen:\nfirst line\nsecond"), std::string::npos) << message;
  }

  spawn ending("sh", {"-c", "printf 'bye'"}, screen_options(home.path()));
  try {
    ending.expect_screen_exact("never");
    FAIL() << "no end of file";
  } catch (const EOF_& error) {
    EXPECT_NE(std::string(error.what()).find("\nscreen:\nbye"), std::string::npos) << error.what();
  }
}

TEST(ExpectScreen, NeedsAScreen) {
  spawn child("sh", {"-c", "sleep 30"}, {.timeout = patience});
  EXPECT_FALSE(child.has_screen());
  EXPECT_THROW(child.screen(), std::logic_error);
  EXPECT_THROW(child.expect_screen_exact("x"), std::logic_error);
  child.attach_screen();
  EXPECT_EQ(child.screen().rows(), 24);
  EXPECT_EQ(child.screen().cols(), 80);
}

TEST(SessionScreen, AnswersTheProgramsQueries) {
  test_support::temp_dir home;
  // The program asks where the cursor is and prints the answer it gets as characters.
  spawn child("sh", {"-c", "stty raw -echo; printf '\\033[3;5H\\033[6n'; head -c 6 | od -An -c; sleep 30"},
              screen_options(home.path()));
  child.expect_screen(Regex(R"(033\s+\[\s+3\s+;\s+5\s+R)"));
}

TEST(SessionScreen, KeysFollowTheProgramsCursorMode) {
  test_support::temp_dir home;
  // od shows which bytes arrive: ESC [ A in normal mode, ESC O A in application mode.
  spawn child("sh",
              {"-c",
               "stty raw -echo; printf 'ready\\r\\n'; head -c 3 | od -An -c; "
               "printf '\\033[?1happ\\r\\n'; head -c 3 | od -An -c; sleep 30"},
              screen_options(home.path()));
  child.expect_screen_exact("ready");
  child.send_key(key::up);
  child.expect_screen(Regex(R"(033\s+\[\s+A)"));
  child.expect_screen_exact("app");
  child.send_key(key::up);
  child.expect_screen(Regex(R"(033\s+O\s+A)"));
}

TEST(ExpectScreen, WaitsForAConditionAndForTheScreenToSettle) {
  test_support::temp_dir home;
  // The text stays the same when it turns bold, and the rewrites that follow change nothing.
  spawn child(
      "sh",
      {"-c",
       "printf ready; sleep 0.5; printf '\\r\\033[1mready'; while :; do printf '\\rready'; sleep 0.2; done"},
      screen_options(home.path()));
  child.expect_screen([](const screen& s) { return s.cell(0, 0).bold; });
  EXPECT_EQ(child.group(0), "ready");
  child.expect_screen_settled(1.0);
  EXPECT_EQ(child.screen().text(), "ready");
  EXPECT_EQ(child.buffer, "");

  // Dots keep coming: the screen never rests for the quiet time.
  spawn busy("sh", {"-c", "while :; do printf .; sleep 0.1; done"}, screen_options(home.path()));
  try {
    busy.expect_screen_settled(2, 4);
    FAIL() << "settled on " << busy.screen().text();
  } catch (const TIMEOUT& error) {
    EXPECT_NE(std::string(error.what()).find("\nscreen:\n.."), std::string::npos) << error.what();
  }
}

// The helper turns modes on, then prints in hex the bytes it receives, as the terminal passed them.
TEST(SessionScreen, MouseAndPasteArriveInTheModesTheProgramChose) {
  struct input_case {
    const char* modes;
    std::function<bool(spawn&)> act;
    std::string bytes;
  };
  const std::vector<input_case> cases = {
      {"",
       [](spawn& c) {
         return c.send_paste("a\nb") > 0 && !c.send_click({0, 0});
       },
       "a\rb"},
      {"\x1b[?1000h",
       [](spawn& c) {
         return c.send_click({2, 3}, mouse_button::right);
       },
       "\x1b[M\"$#\x1b[M#$#"},
      {"\x1b[?1002h\x1b[?1006h\x1b[?2004h",
       [](spawn& c) {
         return c.send_drag({0, 0}, {1, 4}) && c.send_paste("x") > 0;
       },
       "\x1b[<0;1;1M\x1b[<32;5;2M\x1b[<0;5;2m\x1b[200~x\x1b[201~"},
      {"\x1b[?1006l",
       [](spawn& c) {
         return c.send_wheel({0, 1}, wheel_direction::up);
       },
       "\x1b[M`\"!"},
  };
  auto hex = [](const std::string& bytes) {
    std::string digits;
    for (unsigned char c : bytes) digits += "0123456789abcdef"[c >> 4], digits += "0123456789abcdef"[c & 15];
    return digits;
  };
  std::vector<std::string> modes{"raw"};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    modes.insert(modes.end(), {"print", cases[i].modes, "println", "row " + std::to_string(i), "hexin",
                               std::to_string(cases[i].bytes.size())});
  }
  modes.insert(modes.end(), {"sleep", "30"});
  spawn child(test_support::helper, modes, {.timeout = patience, .delaybeforesend = 0, .screen = true});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    child.expect_screen_exact("row " + std::to_string(i));
    EXPECT_TRUE(cases[i].act(child)) << i;
    child.expect_exact("hex: " + hex(cases[i].bytes));
  }
}

// ---- real full-screen programs -----------------------------------------------------------------

TEST(ScreenPrograms, VimEditsSavesResizesAndReplays) {
  test_support::temp_dir home;
  const std::string file = home.path() + "/notes.txt";
  std::ostringstream cast;
  recorder recording(cast, 24, 80);
  spawn vim("vim", {"-u", "NONE", "-N", "-i", "NONE", "-n", file}, screen_options(home.path(), &recording));
  vim.expect_screen_exact("notes.txt", patience, screen_area::row(23));
  EXPECT_TRUE(vim.screen().alternate_screen());

  vim.send("ihello screen");
  vim.send_key(key::escape);
  vim.expect_screen(Regex("^hello screen$"), patience, screen_area::row(0));

  vim.setwinsize(30, 100);
  // Vim redraws for the new size: the rows it did not have before fill with its "~" marks.
  vim.expect_screen(Regex("^~$"), patience, screen_area::row(28));
  EXPECT_EQ(vim.screen().row(0), "hello screen");

  vim.send(":w");
  vim.send_key(key::enter);
  vim.expect_screen(Regex(R"("[^"]*notes.txt" \[New\] 1L, 13B written)"), patience, screen_area::row(29));

  vim.sendline(":q");  // a line feed ends a command line as Enter does
  vim.expect(EOF_marker);
  EXPECT_EQ(file_text(file), "hello screen\n");
  EXPECT_EQ(vim.screen().modes().left_on(), std::vector<std::string>{});

  // Sends and resizes are recorded as well as output.
  EXPECT_NE(cast.str().find(R"(,"i","ihello screen"])"), std::string::npos);
  EXPECT_NE(cast.str().find(R"(,"i",":q\n"])"), std::string::npos);
  EXPECT_NE(cast.str().find(R"(,"r","100x30"])"), std::string::npos);
  std::istringstream replayed(cast.str());
  const screen again = replay(replayed);
  EXPECT_EQ(screen_snapshot_diff(vim.screen().text(), again), std::nullopt);
}

TEST(ScreenPrograms, VimTakesClicksAndPastesAndKeepsItsModesWhenKilled) {
  test_support::temp_dir home;
  spawn vim("vim", {"-u", "NONE", "-N", "-i", "NONE", "-n", "-c", "set mouse=a autoindent"},
            screen_options(home.path()));
  // vim may settle on its mouse encoding only once the terminal has answered its queries.
  vim.expect_screen([](const screen& s) {
    const terminal_modes modes = s.modes();
    return modes.bracketed_paste && modes.mouse != mouse_tracking::none;
  });
  vim.expect_screen(Regex("^~$"), patience, screen_area::row(22));

  // Typed, the line after the indented one would be indented too.
  vim.send("i");
  vim.send_paste("if x:\n    y\nz");
  vim.send_key(key::escape);
  vim.expect_screen(Regex("^z$"), patience, screen_area::row(2));
  EXPECT_EQ(vim.screen().text(screen_area{.rows = 2}), "if x:\n    y");

  ASSERT_TRUE(vim.send_click({0, 3}));
  vim.expect_screen([](const screen& s) { return s.cursor() == screen_position{0, 3}; });
  vim.send("x");
  vim.expect_screen_exact("if :", patience, screen_area::row(0));

  vim.kill(SIGKILL);
  vim.expect(EOF_marker);
  const std::vector<std::string> left = vim.screen().modes().left_on();
  for (const char* mode : {"alternate screen", "bracketed paste", "mouse reporting"}) {
    EXPECT_NE(std::find(left.begin(), left.end(), mode), left.end()) << mode;
  }
}

TEST(ScreenPrograms, LessScrollsWithTheWheelAndRestoresTheTerminal) {
  test_support::temp_dir home;
  std::string content;
  for (int i = 1; i <= 60; ++i) content += "line " + std::to_string(i) + "\n";
  spawn less("less", {"--mouse", home.write_file("lines.txt", content)}, screen_options(home.path()));
  less.expect_screen([](const screen& s) { return s.modes().mouse != mouse_tracking::none; });
  less.expect_screen_exact("line 23");
  ASSERT_TRUE(less.send_wheel({5, 5}, wheel_direction::down, 3));
  less.expect_screen(Regex("^line [2-9]$"), patience, screen_area::row(0));
  less.send("q");
  less.expect(EOF_marker);
  EXPECT_EQ(less.screen().modes().left_on(), std::vector<std::string>{});
}

TEST(ScreenPrograms, LessHighlightsTheSearchMatchInReverse) {
  test_support::temp_dir home;
  std::string content;
  for (int i = 1; i <= 60; ++i) content += "line " + std::to_string(i) + (i == 40 ? " needle here\n" : "\n");
  const std::string file = home.write_file("haystack.txt", content);
  spawn less("less", {file}, screen_options(home.path()));
  less.expect_screen_exact("line 23");
  less.send("/needle");
  less.send_key(key::enter);
  less.expect_screen(Regex("(?m)^line 40 needle here$"));

  const screen_position at = find_on(less.screen(), "needle");
  ASSERT_GE(at.row, 0);
  for (int c = at.col; c < at.col + 6; ++c) EXPECT_TRUE(less.screen().cell(at.row, c).reverse) << c;
  EXPECT_FALSE(less.screen().cell(at.row, at.col + 7).reverse);
  EXPECT_FALSE(less.screen().cell(at.row, 0).reverse);
  less.send("q");
  less.expect(EOF_marker);
}

TEST(ScreenPrograms, TopShowsItsOwnRowInTheProcessTable) {
  test_support::temp_dir home;
  spawn top("top", {"-d", "0.5"}, screen_options(home.path()));
  const std::string pid = std::to_string(*top.pid);
  // The row of top itself: its process id first, its command name last.
  top.expect_screen(Regex("(?m)^ *" + pid + " +(\\S+) .* top *$"));
  EXPECT_FALSE(top.group(1)->empty());
  EXPECT_NE(find_on(top.screen(), "PID").row, -1);
  top.send("q");
  top.expect(EOF_marker);
}

TEST(ScreenPrograms, DialogMenuNavigatedWithArrowKeys) {
  test_support::temp_dir home;
  const std::string choice = home.path() + "/choice";
  spawn dialog("sh", {"-c", "dialog --menu Pick 12 40 3 a Apple b Banana c Cherry 2>\"$0\"", choice},
               screen_options(home.path()));
  dialog.expect_screen_exact("Cherry");
  // dialog has switched the cursor keys to application mode; the keys follow it.
  EXPECT_TRUE(dialog.screen().application_cursor_keys());
  dialog.send_key(key::down);
  dialog.send_key(key::down);
  dialog.send_key(key::enter);
  dialog.expect(EOF_marker);
  EXPECT_EQ(file_text(choice), "c");
  dialog.close();
  EXPECT_EQ(dialog.exitstatus, 0);
}
