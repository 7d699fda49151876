#include "process_lock/process_lock.h"

#include <fcntl.h>
#include <sched.h>
#include <time.h>

#include <cerrno>

#include "log_io/clock.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

inline void spin_hint() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

void sleep_backoff() {
  struct timespec want {0, BACKOFF_SLEEP_NS};
  struct timespec left {};
  while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

}  // namespace

void LockGuard::release() {
  if (lock_ != nullptr) sys::flock_unlock(lock_->fd());
  lock_ = nullptr;
}

Result<ProcessLock> ProcessLock::open(const std::string& lock_path) {
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(lock_path, O_RDWR | O_CREAT | O_NOFOLLOW));
  return ProcessLock(std::move(fd));
}

Result<LockGuard> ProcessLock::write_lock(uint64_t timeout_ns, LockWaitStats* stats) const {
  LockWaitStats local;
  LockWaitStats& counts = stats != nullptr ? *stats : local;
  counts = {};
  const uint64_t start = monotonic_ns();
  counts.clock_reads = 1;
  uint32_t busy = 0;
  for (;;) {
    ++counts.attempts;
    Status attempt = sys::flock_exclusive_nonblocking(fd_.get());
    if (attempt.ok()) return LockGuard(this);
    const Error& error = attempt.error();
    if (error.kind() != ErrorKind::kOs || error.os_code() != EWOULDBLOCK) return attempt.error();

    const uint64_t now = monotonic_ns();
    ++counts.clock_reads;
    const uint64_t elapsed = now > start ? now - start : 0;
    if (elapsed >= timeout_ns) return Error::make(ErrorKind::kTimedOut, kLockTimeoutMessage);

    if (busy < UINT32_MAX) ++busy;
    if (busy <= SPIN_LIMIT) {
      spin_hint();
    } else if (busy <= YIELD_LIMIT) {
      sched_yield();
    } else {
      sleep_backoff();
    }
  }
}

}  // namespace tarnwick
