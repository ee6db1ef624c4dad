/* The child of the benchmarks: writes BYTES bytes of output to standard output in 64 KiB
 * writes, then, when given, one line holding MARKER. The filler never contains the marker.
 * The output is build-log-like lines; with --sgr the same lines coloured as a build tool
 * colours them (SGR sequences around the parts of each line); with --redraw the repaints of a
 * full-screen program on a 24x80 terminal (a cursor move to each row, coloured fields, the rest
 * of the row erased), each frame a little different from the one before.
 *
 * usage: producer [--sgr | --redraw] BYTES [MARKER]
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

static int log_line(char* text, size_t size, unsigned line) {
  return snprintf(text, size, "[%3u%%] Building C object src/module_%02u/file_%04u.c.o\n", line % 100,
                  line % 37, line);
}

static int coloured_line(char* text, size_t size, unsigned line) {
  return snprintf(text, size,
                  "\033[1;32m[%3u%%]\033[0m Building C object \033[34msrc/module_%02u/\033[1mfile_%04u.c.o"
                  "\033[0m\n",
                  line % 100, line % 37, line);
}

/* One row of a frame: a cursor move to it, then fields in colours, then the rest erased. */
static int screen_row(char* text, size_t size, unsigned frame, unsigned row) {
  return snprintf(
      text, size,
      "\033[%u;1H\033[7m%5u\033[0m \033[1;3%um%-8s\033[0m %6.1f %6.1f \033[33m%02u:%02u.%02u\033[0m "
      "worker-%03u process state %c priority %2u\033[K",
      row + 1, 1000 + row * 7 + frame % 13, 1 + (frame + row) % 6, row % 3 ? "root" : "daemon",
      (double)((frame * 7 + row * 3) % 1000) / 10, (double)((frame + row * 11) % 1000) / 10, frame / 600 % 60,
      frame / 10 % 60, frame % 100, row, "RSDZ"[(frame + row) % 4], (frame + row) % 40);
}

/* Fills `block` with pieces of one kind of output; returns how much of it to write at a time.
 * Plain lines may be cut at the end of the block; pieces with escape sequences are kept whole,
 * so that every write ends between two of them. */
static size_t fill(char* block, const char* mode) {
  size_t filled = 0;
  for (unsigned n = 0; filled < block_size; ++n) {
    char text[256];
    int length = 0;
    if (strcmp(mode, "--redraw") == 0) {
      const unsigned frame = n / 24, row = n % 24;
      length = screen_row(text, sizeof text, frame, row);
      if (row == 0 && length > 0) {
        memmove(text + 3, text, (size_t)length);
        memcpy(text, "\033[H", 3);
        length += 3;
      }
    } else if (strcmp(mode, "--sgr") == 0) {
      length = coloured_line(text, sizeof text, n);
    } else {
      length = log_line(text, sizeof text, n);
    }
    if (*mode && (size_t)length > block_size - filled) return filled;
    size_t take = (size_t)length < block_size - filled ? (size_t)length : block_size - filled;
    memcpy(block + filled, text, take);
    filled += take;
  }
  return filled;
}

int main(int argc, char** argv) {
  const char* mode = "";
  if (argc > 1 && strncmp(argv[1], "--", 2) == 0) {
    mode = argv[1];
    --argc;
    ++argv;
  }
  if (argc < 2 || argc > 3 || (*mode && strcmp(mode, "--sgr") != 0 && strcmp(mode, "--redraw") != 0)) {
    fprintf(stderr, "usage: producer [--sgr | --redraw] BYTES [MARKER]\n");
    return 2;
  }
  long long left = atoll(argv[1]);
  static char block[block_size];
  const size_t block_used = fill(block, mode);
  while (left > 0) {
    size_t size = left < (long long)block_used ? (size_t)left : block_used;
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
