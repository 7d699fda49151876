/* Which sync the disk rewards, in paired rounds on one file system.
 *
 * Usage: sync_kinds DIR ROUNDS     (cc -O2 -o sync_kinds bench/sync_kinds.c)
 *
 * Each round runs every kind for 2 s on a fresh file in DIR, one after the
 * other, and prints its records per second and its ratio to the first:
 *
 *   append+fsync         write(133 B) at the end + fsync (tarnwick's log)
 *   append+fdatasync     the same with fdatasync
 *   overwrite+fdatasync  pwrite(133 B) into a file of zeros written and synced
 *                        beforehand (nothing to allocate, no size to commit)
 *   fallocated+fdatasync append + fdatasync into space reserved beyond the end
 *                        with fallocate(FALLOC_FL_KEEP_SIZE) (Linux only)
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum Kind { APPEND_FSYNC, APPEND_FDATASYNC, OVERWRITE_FDATASYNC, FALLOCATED_FDATASYNC, KINDS };
static const char* const NAMES[KINDS] = {"append+fsync", "append+fdatasync",
                                         "overwrite+fdatasync", "fallocated+fdatasync"};
enum { RESERVED = 1 << 26 };

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void check(int ok, const char* what) {
  if (!ok) {
    perror(what);
    exit(1);
  }
}

static double run(const char* dir, enum Kind kind, double seconds) {
  char path[512];
  snprintf(path, sizeof path, "%s/sync_kinds.%d", dir, (int)kind);
  unlink(path);
  const int fd = open(path, O_WRONLY | O_CREAT | (kind == OVERWRITE_FDATASYNC ? 0 : O_APPEND), 0644);
  check(fd >= 0, "open");
  if (kind == OVERWRITE_FDATASYNC) {
    char* zeros = calloc(1, RESERVED);
    check(zeros != NULL && write(fd, zeros, RESERVED) == RESERVED && fsync(fd) == 0, "zero fill");
    free(zeros);
  } else if (kind == FALLOCATED_FDATASYNC) {
    check(fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, RESERVED) == 0 && fsync(fd) == 0, "fallocate");
  }
  char record[133];
  memset(record, 'x', sizeof record);
  long n = 0;
  const double start = now(), end = start + seconds;
  while (now() < end && (n + 1) * (long)sizeof record < RESERVED) {
    if (kind == OVERWRITE_FDATASYNC) {
      check(pwrite(fd, record, sizeof record, n * (off_t)sizeof record) == sizeof record, "pwrite");
    } else {
      check(write(fd, record, sizeof record) == sizeof record, "write");
    }
    check((kind == APPEND_FSYNC ? fsync(fd) : fdatasync(fd)) == 0, "sync");
    ++n;
  }
  const double rate = n / (now() - start);
  close(fd);
  unlink(path);
  return rate;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: sync_kinds DIR ROUNDS\n");
    return 2;
  }
  for (int round = 1; round <= atoi(argv[2]); ++round) {
    double first = 0;
    printf("round %d:", round);
    for (int kind = 0; kind < KINDS; ++kind) {
      const double rate = run(argv[1], (enum Kind)kind, 2.0);
      if (kind == 0) first = rate;
      printf(" %s %.0f/s (%.2fx)", NAMES[kind], rate, rate / first);
    }
    printf("\n");
    fflush(stdout);
  }
  return 0;
}
