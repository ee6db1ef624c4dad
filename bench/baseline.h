/* The baselines of the benchmarks: the least work that does each job on a pseudo-terminal. */
#ifndef PEXPECT_BENCH_BASELINE_H
#define PEXPECT_BENCH_BASELINE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Starts argv on a new pseudo-terminal (forkpty, exec), polls and reads the master into a
 * 64 KiB buffer until it reports EIO, then reaps the child. With a marker, each read's new
 * bytes (and the marker's length less one before them) are searched for it with memmem.
 * Returns the byte count read, or -1 on failure; *found tells whether the marker turned up. */
long long baseline_read(char* const argv[], const char* marker, int* found);

/* The same with reads of at most `chunk` bytes (1 to 64 KiB). */
long long baseline_read_sized(char* const argv[], const char* marker, int* found, size_t chunk);

/* Drives a shell on a new pseudo-terminal through `steps` steps: each writes the line
 * "printf 'st%sp\n' N" and reads until "stNp" turns up. Then writes "exit", reads until EIO and
 * reaps the shell. Returns its exit status, or -1 on failure. */
int baseline_shell(char* const argv[], int steps);

/* Relays argv's terminal to standard output in reads of at most 1000 bytes, and standard input
 * to the terminal, until the terminal reports EIO; then reaps the child. Returns its exit
 * status, or -1 on failure. */
int baseline_relay(char* const argv[]);

#ifdef __cplusplus
}
#endif

#endif
