/* The baselines as a program of their own.
 *
 * usage: baseline read PROGRAM [ARGS...]           read to end of file, print the byte count
 *        baseline find MARKER PROGRAM [ARGS...]    the same, looking for MARKER on the way
 *        baseline relay PROGRAM [ARGS...]          relay the terminal to standard output
 */
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include "baseline.h"

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "read") == 0) {
    long long bytes = baseline_read(argv + 2, NULL, NULL);
    printf("%lld bytes\n", bytes);
    return bytes < 0;
  }
  if (argc >= 4 && strcmp(argv[1], "find") == 0) {
    int found = 0;
    long long bytes = baseline_read(argv + 3, argv[2], &found);
    printf("%lld bytes, marker %s\n", bytes, found ? "found" : "not found");
    return bytes < 0 || !found;
  }
  if (argc >= 3 && strcmp(argv[1], "relay") == 0) {
    int status = baseline_relay(argv + 2);
    if (status < 0) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  fprintf(stderr, "usage: baseline read|find MARKER|relay PROGRAM [ARGS...]\n");
  return 2;
}
