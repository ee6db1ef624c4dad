// Edits a file in vim and checks what the screen shows, not the bytes vim wrote.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "pexpect_custom/pexpect_custom.hpp"

int main() {
  using namespace pexpect_custom;
  char directory[] = "/tmp/screen_vim_XXXXXX";
  if (mkdtemp(directory) == nullptr) return 1;
  const std::string file = std::string(directory) + "/notes.txt";
  const environment env{{"TERM", "xterm"}, {"HOME", directory}, {"PATH", "/usr/bin:/bin"}};

  spawn vim("vim", {"-u", "NONE", "-N", "-i", "NONE", "-n", file},
            {.timeout = 20, .env = env, .delaybeforesend = 0, .screen = true});
  vim.expect_screen_exact("notes.txt", -1, screen_area::row(23));  // the status line
  vim.send("iHello from a test");
  vim.send_key(key::escape);
  vim.send(":w");
  vim.send_key(key::enter);
  vim.expect_screen(Regex(R"(\d+L, \d+B written)"), -1, screen_area::row(23));
  std::cout << vim.screen().text() << "\n";
  vim.send(":q");
  vim.send_key(key::enter);
  vim.expect(EOF_marker);

  std::string saved;
  std::getline(std::ifstream(file), saved);
  std::remove(file.c_str());
  std::remove(directory);
  return saved == "Hello from a test" ? 0 : 1;
}
