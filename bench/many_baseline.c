/* The baseline of the many-sessions benchmark: the least work for N children on N terminals,
 * in plain C, from one thread with epoll.
 *
 * usage: many_baseline exchange N SCRIPT      each child (sh -c SCRIPT) prints "number? ",
 *                                             is sent its index, answers "square: <i*i>"
 *        many_baseline flood N PRODUCER BYTES each child runs PRODUCER BYTES; every byte is
 *                                             counted and hashed
 * Prints one line: wall=<s> cpu=<s> kib_per_session=<k> ok=<sessions done right>
 * [bytes=<per session> hash=<FNV-1a of session 0> consistent=<1 if all sessions agree>]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pty.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

struct session {
  int fd;
  pid_t pid;
  int state; /* 0: waiting for the prompt, 1: for the answer, 2: for end of file, 3: done */
  char seen[256];
  size_t seen_len;
  uint64_t bytes;
  uint64_t hash;
  int right;
};

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double cpu_seconds(void) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6 +
         (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6;
}

static long status_kib(const char* field) {
  FILE* in = fopen("/proc/self/status", "r");
  char line[256];
  long value = -1;
  size_t n = strlen(field);
  while (in && fgets(line, sizeof line, in)) {
    if (strncmp(line, field, n) == 0) value = atol(line + n);
  }
  if (in) fclose(in);
  return value;
}

static void raise_descriptor_limit(void) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

static void keep(struct session* s, const char* data, size_t n) {
  if (n > sizeof s->seen - 1 - s->seen_len) {
    size_t drop = n + s->seen_len - (sizeof s->seen - 1);
    if (drop >= s->seen_len) {
      s->seen_len = 0;
      if (n > sizeof s->seen - 1) {
        data += n - (sizeof s->seen - 1);
        n = sizeof s->seen - 1;
      }
    } else {
      memmove(s->seen, s->seen + drop, s->seen_len - drop);
      s->seen_len -= drop;
    }
  }
  memcpy(s->seen + s->seen_len, data, n);
  s->seen_len += n;
  s->seen[s->seen_len] = '\0';
}

/* The exchange: after the prompt send the index; after the answer wait for end of file. */
static void advance(struct session* s, long index) {
  if (s->state == 0 && strstr(s->seen, "number? ")) {
    char line[32];
    int n = snprintf(line, sizeof line, "%ld\n", index);
    if (write(s->fd, line, (size_t)n) != n) return;
    s->state = 1;
    s->seen_len = 0;
    s->seen[0] = '\0';
  }
  if (s->state == 1) {
    char expected[64];
    snprintf(expected, sizeof expected, "square: %ld\r\n", index * index);
    if (strstr(s->seen, expected)) {
      s->right = 1;
      s->state = 2;
    }
  }
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: many_baseline exchange N SCRIPT | flood N PRODUCER BYTES\n");
    return 2;
  }
  const int flood = strcmp(argv[1], "flood") == 0;
  const long count = atol(argv[2]);
  raise_descriptor_limit();
  struct session* sessions = calloc((size_t)count, sizeof *sessions);
  static char buffer[64 * 1024];
  const long rss_before = status_kib("VmRSS:");
  const double start = now();
  const double cpu_start = cpu_seconds();
  int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  for (long i = 0; i < count; ++i) {
    struct winsize size = {24, 80, 0, 0};
    int fd;
    pid_t pid = forkpty(&fd, NULL, NULL, &size);
    if (pid == 0) {
      if (flood) {
        execl(argv[3], argv[3], argv[4], (char*)NULL);
      } else {
        execl("/bin/sh", "sh", "-c", argv[3], (char*)NULL);
      }
      _exit(127);
    }
    if (pid < 0) {
      perror("forkpty");
      return 1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    sessions[i].fd = fd;
    sessions[i].pid = pid;
    sessions[i].hash = 1469598103934665603ULL;
    sessions[i].state = flood ? 2 : 0;
    struct epoll_event event = {.events = EPOLLIN, .data.u64 = (uint64_t)i};
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event);
  }
  const double started = now();
  long open_sessions = count;
  struct epoll_event events[256];
  while (open_sessions > 0) {
    int ready = epoll_wait(epoll_fd, events, 256, -1);
    if (ready < 0 && errno == EINTR) continue;
    for (int k = 0; k < ready; ++k) {
      long i = (long)events[k].data.u64;
      struct session* s = &sessions[i];
      ssize_t n = read(s->fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        epoll_ctl(epoll_fd, EPOLL_CTL_DEL, s->fd, NULL);
        close(s->fd);
        int status;
        waitpid(s->pid, &status, 0);
        if (flood) s->right = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        s->state = 3;
        --open_sessions;
        continue;
      }
      if (flood) {
        for (ssize_t b = 0; b < n; ++b) s->hash = (s->hash ^ (unsigned char)buffer[b]) * 1099511628211ULL;
        s->bytes += (uint64_t)n;
      } else {
        keep(s, buffer, (size_t)n);
        advance(s, i);
      }
    }
  }
  const double wall = now() - start;
  const double cpu = cpu_seconds() - cpu_start;
  const long peak = status_kib("VmHWM:");
  long right = 0, consistent = 1;
  for (long i = 0; i < count; ++i) {
    right += sessions[i].right;
    if (sessions[i].bytes != sessions[0].bytes || sessions[i].hash != sessions[0].hash) consistent = 0;
  }
  printf("wall=%.3f after_start=%.3f cpu=%.3f kib_per_session=%.1f ok=%ld", wall, now() - started, cpu,
         (double)(peak - rss_before) / (double)count, right);
  if (flood) {
    printf(" bytes=%llu hash=%016llx consistent=%ld", (unsigned long long)sessions[0].bytes,
           (unsigned long long)sessions[0].hash, consistent);
  }
  printf("\n");
  return right == count ? 0 : 1;
}
