#include "log_io/clock.h"

#include <time.h>

namespace tarnwick {

uint64_t now_ms() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (ts.tv_sec < 0) return 0;
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

uint64_t monotonic_ns() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000 + uint64_t(ts.tv_nsec);
}

}  // namespace tarnwick
