/* Raw I/O floors for the tarnwick benchmark.
 *
 * Usage: floor DIR BUDGET_MS REPEATS BIG_TOTAL_BYTES [TEST...]
 *
 * Every test works on fresh files inside DIR (the directory the queues are
 * benchmarked in), runs for about BUDGET_MS milliseconds, is repeated REPEATS
 * times, and the best repetition is printed as one line:
 *
 *     NAME VALUE UNIT
 *
 *   fsync1     write(133 B) + fsync, per record                    ops/s
 *   write1     plain write(133 B), per record                      ops/s
 *   batch1000  1000 x write(133 B) + one fsync                     batches/s
 *   seq64k     sequential 64 KiB writes of BIG_TOTAL_BYTES, then
 *              one fsync (time includes the fsync)                 MB/s
 *   write64k   sequential 64 KiB writes of BIG_TOTAL_BYTES, no fsync
 *              (what a relaxed enqueue promises: the kernel has it)  MB/s
 *   fsync64k   write(64 KiB) + fsync, per record                   MB/s
 *   lockcycle  flock(EX) on a lock file; open, read the 16-byte
 *              header, close; fstat; write(133 B); flock(UN)       ops/s
 *   prealloc   for comparison only: pwrite(133 B) into a file whose
 *              blocks were written and synced beforehand, then
 *              fdatasync (no size change to commit, as a reused
 *              SQLite WAL gets)                                   ops/s
 *
 * With TEST names given, only those tests run.
 *
 * All log files are opened O_WRONLY|O_APPEND like an append-only log.
 * MB is 10^6 bytes.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define REC 133
#define BIG (64 * 1024)

static char dir_path[4096];
static double budget_s;

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void die(const char* what) {
  fprintf(stderr, "floor: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void path_of(char* out, size_t n, const char* name) {
  snprintf(out, n, "%s/%s", dir_path, name);
}

static int open_log(const char* name) {
  char p[4200];
  path_of(p, sizeof p, name);
  unlink(p);
  int fd = open(p, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) die("open log");
  /* a 16-byte header, as a real log has one */
  char header[16] = "TWLG";
  if (write(fd, header, sizeof header) != (ssize_t)sizeof header) die("write header");
  if (fsync(fd) != 0) die("fsync header");
  return fd;
}

static void write_full(int fd, const char* buf, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, buf, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      die("write");
    }
    buf += w;
    n -= (size_t)w;
  }
}

static void do_fsync(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) die("fsync");
  }
}

static void remove_file(const char* name) {
  char p[4200];
  path_of(p, sizeof p, name);
  unlink(p);
}

static char rec[REC];
static char* big;

/* Each returns its rate for one repetition. */

static double t_fsync1(void) {
  int fd = open_log("floor_fsync1.log");
  long n = 0;
  double t0 = now_s(), t;
  do {
    write_full(fd, rec, REC);
    do_fsync(fd);
    ++n;
    t = now_s();
  } while (t - t0 < budget_s || n < 20);
  close(fd);
  remove_file("floor_fsync1.log");
  return (double)n / (t - t0);
}

static double t_write1(void) {
  int fd = open_log("floor_write1.log");
  long n = 0;
  double t0 = now_s(), t;
  do {
    for (int i = 0; i < 256; ++i) write_full(fd, rec, REC);
    n += 256;
    t = now_s();
  } while (t - t0 < budget_s);
  close(fd);
  remove_file("floor_write1.log");
  return (double)n / (t - t0);
}

static double t_batch1000(void) {
  int fd = open_log("floor_batch.log");
  long n = 0;
  double t0 = now_s(), t;
  do {
    for (int i = 0; i < 1000; ++i) write_full(fd, rec, REC);
    do_fsync(fd);
    ++n;
    t = now_s();
  } while (t - t0 < budget_s || n < 3);
  close(fd);
  remove_file("floor_batch.log");
  return (double)n / (t - t0);
}

static long big_total;

static double t_seq64k(void) {
  int fd = open_log("floor_seq.log");
  long chunks = big_total / BIG;
  if (chunks < 1) chunks = 1;
  double t0 = now_s();
  for (long i = 0; i < chunks; ++i) write_full(fd, big, BIG);
  do_fsync(fd);
  double t = now_s();
  close(fd);
  remove_file("floor_seq.log");
  return (double)chunks * BIG / 1e6 / (t - t0);
}

static double t_write64k(void) {
  int fd = open_log("floor_write64k.log");
  long chunks = big_total / BIG;
  if (chunks < 1) chunks = 1;
  double t0 = now_s();
  for (long i = 0; i < chunks; ++i) write_full(fd, big, BIG);
  double t = now_s();
  close(fd);
  remove_file("floor_write64k.log");
  return (double)chunks * BIG / 1e6 / (t - t0);
}

static double t_fsync64k(void) {
  int fd = open_log("floor_fsync64k.log");
  long n = 0;
  double t0 = now_s(), t;
  do {
    write_full(fd, big, BIG);
    do_fsync(fd);
    ++n;
    t = now_s();
  } while ((t - t0 < budget_s || n < 10) && (long)n * BIG < big_total);
  close(fd);
  remove_file("floor_fsync64k.log");
  return (double)n * BIG / 1e6 / (t - t0);
}

static double t_lockcycle(void) {
  char lock_p[4200], log_p[4200];
  path_of(lock_p, sizeof lock_p, "floor.proc_lock");
  path_of(log_p, sizeof log_p, "floor_lock.log");
  int lfd = open(lock_p, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lfd < 0) die("open lock");
  int fd = open_log("floor_lock.log");
  long n = 0;
  char header[16];
  struct stat st;
  double t0 = now_s(), t;
  do {
    for (int i = 0; i < 64; ++i) {
      if (flock(lfd, LOCK_EX | LOCK_NB) != 0) die("flock");
      int rfd = open(log_p, O_RDONLY | O_CLOEXEC);
      if (rfd < 0) die("open reader");
      if (read(rfd, header, sizeof header) != (ssize_t)sizeof header) die("read header");
      close(rfd);
      if (fstat(fd, &st) != 0) die("fstat");
      write_full(fd, rec, REC);
      flock(lfd, LOCK_UN);
    }
    n += 64;
    t = now_s();
  } while (t - t0 < budget_s);
  close(fd);
  close(lfd);
  unlink(log_p);
  unlink(lock_p);
  return (double)n / (t - t0);
}

static double t_prealloc(void) {
  const long span = 8L << 20;
  char* zeros = calloc(1, 1 << 20);
  if (!zeros) die("calloc");
  int fd = open_log("floor_prealloc.log");
  for (long i = 0; i < span >> 20; ++i) write_full(fd, zeros, 1 << 20);
  do_fsync(fd);
  free(zeros);
  long n = 0;
  off_t off = 16;
  double t0 = now_s(), t;
  do {
    if (pwrite(fd, rec, REC, off) != REC) die("pwrite");
    while (fdatasync(fd) != 0) {
      if (errno != EINTR) die("fdatasync");
    }
    off += REC;
    if (off + REC > span) off = 16;
    ++n;
    t = now_s();
  } while (t - t0 < budget_s || n < 20);
  close(fd);
  remove_file("floor_prealloc.log");
  return (double)n / (t - t0);
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: floor DIR BUDGET_MS REPEATS BIG_TOTAL_BYTES [TEST...]\n");
    return 2;
  }
  snprintf(dir_path, sizeof dir_path, "%s", argv[1]);
  budget_s = atof(argv[2]) / 1000.0;
  int repeats = atoi(argv[3]);
  if (repeats < 1) repeats = 1;
  big_total = atol(argv[4]);
  for (int i = 0; i < REC; ++i) rec[i] = (char)('a' + i % 26);
  big = malloc(BIG);
  if (!big) die("malloc");
  for (int i = 0; i < BIG; ++i) big[i] = (char)(i * 131 + 7);

  struct {
    const char* name;
    double (*fn)(void);
    const char* unit;
  } tests[] = {
      {"fsync1", t_fsync1, "ops/s"},       {"write1", t_write1, "ops/s"},
      {"batch1000", t_batch1000, "batches/s"}, {"seq64k", t_seq64k, "MB/s"},
      {"write64k", t_write64k, "MB/s"},
      {"fsync64k", t_fsync64k, "MB/s"},    {"lockcycle", t_lockcycle, "ops/s"},
      {"prealloc", t_prealloc, "ops/s"},
  };
  for (size_t k = 0; k < sizeof tests / sizeof tests[0]; ++k) {
    if (argc > 5) {
      int wanted = 0;
      for (int a = 5; a < argc; ++a) wanted |= strcmp(argv[a], tests[k].name) == 0;
      if (!wanted) continue;
    }
    double best = 0;
    for (int r = 0; r < repeats; ++r) {
      double v = tests[k].fn();
      if (v > best) best = v;
    }
    printf("%s %.3f %s\n", tests[k].name, best, tests[k].unit);
    fflush(stdout);
  }
  free(big);
  return 0;
}
