/* The password prompt of the benchmarks: prints "Password: ", turns echo off as such prompts do,
 * reads one line, puts echo back and exits 0 when the line was "secret", else 1. Input that came
 * before echo went off is kept (TCSANOW, not TCSANOW), so that an answer sent without any
 * pause gets through too, only echoed.
 *
 * usage: prompt
 */
#include <string.h>
#include <termios.h>
#include <unistd.h>

int main(void) {
  static const char prompt[] = "Password: ";
  if (write(STDOUT_FILENO, prompt, sizeof prompt - 1) < 0) return 2;
  struct termios normal, quiet;
  if (tcgetattr(STDIN_FILENO, &normal) != 0) return 2;
  quiet = normal;
  quiet.c_lflag &= ~(tcflag_t)ECHO;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &quiet) != 0) return 2;
  char line[64];
  size_t have = 0;
  for (char c; have + 1 < sizeof line && read(STDIN_FILENO, &c, 1) == 1 && c != '\n';) line[have++] = c;
  line[have] = '\0';
  tcsetattr(STDIN_FILENO, TCSANOW, &normal);
  static const char done[] = "\r\nok\r\n";
  if (write(STDOUT_FILENO, done, sizeof done - 1) < 0) return 2;
  return strcmp(line, "secret") == 0 ? 0 : 1;
}
