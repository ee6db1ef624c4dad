/* The baselines: plain C loops over forkpty, poll, read and waitpid, with nothing else. */
#define _GNU_SOURCE
#include "baseline.h"

#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

enum { read_size = 64 * 1024, relay_chunk = 1000, longest_marker = 256 };

static pid_t start(char* const argv[], int* master) {
  pid_t pid = forkpty(master, NULL, NULL, NULL);
  if (pid == 0) {
    execv(argv[0], argv);
    _exit(127);
  }
  return pid;
}

static int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

static int write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

long long baseline_read(char* const argv[], const char* marker, int* found) {
  return baseline_read_sized(argv, marker, found, read_size);
}

long long baseline_read_sized(char* const argv[], const char* marker, int* found, size_t chunk) {
  const size_t marker_size = marker ? strlen(marker) : 0;
  if (marker_size > longest_marker || chunk < 1 || chunk > read_size) return -1;
  int master = -1;
  pid_t pid = start(argv, &master);
  if (pid < 0) return -1;

  static char buffer[longest_marker + read_size];
  size_t carry = 0; /* the last bytes of the previous read, which may begin the marker */
  long long total = 0;
  int seen = 0;
  struct pollfd wait_for = {master, POLLIN, 0};
  for (;;) {
    if (poll(&wait_for, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    ssize_t n = read(master, buffer + carry, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; /* EIO once the child's side is closed and drained */
    total += n;
    if (marker_size > 0 && !seen) {
      size_t have = carry + (size_t)n;
      if (memmem(buffer, have, marker, marker_size) != NULL) seen = 1;
      carry = have < marker_size - 1 ? have : marker_size - 1;
      memmove(buffer, buffer + have - carry, carry);
    }
  }
  close(master);
  if (reap(pid) < 0) return -1;
  if (found) *found = seen;
  return total;
}

/* Reads the master until `wanted` turns up in what arrives after the last write, or until EIO
 * or a failure (-1). */
static int read_until(int master, const char* wanted) {
  static char seen[read_size];
  size_t have = 0;
  const size_t wanted_size = strlen(wanted);
  struct pollfd wait_for = {master, POLLIN, 0};
  for (;;) {
    if (poll(&wait_for, 1, -1) < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (have == sizeof seen) return -1;
    ssize_t n = read(master, seen + have, sizeof seen - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    have += (size_t)n;
    if (memmem(seen, have, wanted, wanted_size) != NULL) return 0;
  }
}

int baseline_shell(char* const argv[], int steps) {
  int master = -1;
  pid_t pid = start(argv, &master);
  if (pid < 0) return -1;
  int failed = 0;
  for (int step = 0; step < steps && !failed; ++step) {
    char line[64], wanted[32];
    int n = snprintf(line, sizeof line, "printf 'st%%sp\\n' %d\n", step);
    snprintf(wanted, sizeof wanted, "st%dp", step);
    failed = write_all(master, line, (size_t)n) != 0 || read_until(master, wanted) != 0;
  }
  static const char leave[] = "exit\n";
  if (!failed) failed = write_all(master, leave, sizeof leave - 1) != 0;
  char rest[read_size];
  while (!failed) {
    ssize_t n = read(master, rest, sizeof rest);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  close(master);
  int status = reap(pid);
  return failed ? -1 : status;
}

int baseline_relay(char* const argv[]) {
  int master = -1;
  pid_t pid = start(argv, &master);
  if (pid < 0) return -1;
  struct pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  nfds_t watched = 2;
  char chunk[relay_chunk];
  for (;;) {
    if (poll(fds, watched, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (write_all(STDOUT_FILENO, chunk, (size_t)n) != 0) break;
    }
    if (watched == 2 && fds[1].revents) {
      ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0)
        watched = 1;
      else if (write_all(master, chunk, (size_t)n) != 0)
        break;
    }
  }
  close(master);
  return reap(pid);
}
