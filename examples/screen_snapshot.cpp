// Tests a terminal program the way it is seen: drives dialog's input box on a screen, compares
// the screen with the golden snapshot kept beside this file, and draws it (and the whole session)
// as pictures. Run it with PEXPECT_UPDATE_SNAPSHOTS=1 to write the snapshot anew.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "pexpect_custom/gtest.hpp"
#include "pexpect_custom/pexpect_custom.hpp"

using namespace pexpect_custom;

namespace {

// The snapshots' folder, given by the build.
const std::string golden = EXAMPLE_GOLDEN_DIR;

std::string file_text(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(DialogInputBox, ShowsWhatIsTypedAndReturnsIt) {
  char directory[] = "/tmp/screen_snapshot_XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  const std::string answer = std::string(directory) + "/answer";
  // A clean terminal: no user configuration reaches the program.
  const environment env{
      {"TERM", "xterm"}, {"HOME", directory}, {"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};
  std::ostringstream session;
  recorder recording(session, 24, 80);

  spawn dialog("sh", {"-c", "dialog --title Greeting --inputbox 'Your name?' 8 40 2>\"$0\"", answer},
               {.timeout = 30, .env = env, .delaybeforesend = 0, .screen = true, .recording = &recording});
  dialog.expect_screen_exact("<Cancel>");
  dialog.send("Ada");
  dialog.expect_screen_exact("Ada");
  // The text, the colours and the cursor after the typed name.
  EXPECT_SCREEN_MATCHES(dialog.screen(), golden + "/dialog_inputbox.txt",
                        {.attributes = true, .cursor = true});
  std::ofstream("dialog_inputbox.svg") << screen_svg(dialog.screen());

  dialog.send_key(key::enter);
  dialog.expect(EOF_marker);
  EXPECT_EQ(file_text(answer), "Ada");
  std::istringstream replayed(session.str());
  std::ofstream("dialog_session.svg") << recording_svg(replayed);
  std::remove(answer.c_str());
  std::remove(directory);
}
