/* The child of the benchmarks: writes BYTES bytes of build-log-like lines to standard output in
 * 64 KiB writes, then, when given, one line holding MARKER. The filler never contains the
 * marker.
 *
 * usage: producer BYTES [MARKER]
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { block_size = 64 * 1024 };

static int write_all(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0) return -1;
    data += n;
    size -= (size_t)n;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: producer BYTES [MARKER]\n");
    return 2;
  }
  long long left = atoll(argv[1]);
  static char block[block_size];
  size_t filled = 0;
  for (unsigned line = 0; filled < block_size; ++line) {
    char text[128];
    int n = snprintf(text, sizeof text, "[%3u%%] Building C object src/module_%02u/file_%04u.c.o\n",
                     line % 100, line % 37, line);
    size_t take = (size_t)n < block_size - filled ? (size_t)n : block_size - filled;
    memcpy(block + filled, text, take);
    filled += take;
  }
  while (left > 0) {
    size_t size = left < block_size ? (size_t)left : block_size;
    if (write_all(block, size) != 0) return 1;
    left -= (long long)size;
  }
  if (argc == 3) {
    char line[256];
    int n = snprintf(line, sizeof line, "\n%s\n", argv[2]);
    if (n < 0 || (size_t)n >= sizeof line || write_all(line, (size_t)n) != 0) return 1;
  }
  return 0;
}
