#include "process_lock/process_lock.h"

#include <fcntl.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "log_io/clock.h"
#include "log_io/file_access.h"
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

void sleep_ns(uint64_t ns) {
  struct timespec want {
    static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)
  };
  struct timespec left {};
  while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

// Growing sleeps, each drawn from the upper half of its step, so that waiters
// that started together do not keep polling in step.
class Backoff {
 public:
  explicit Backoff(uint64_t seed) : state_(seed | 1) {}
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    const uint64_t step = step_;
    step_ = std::min(step * 2, BACKOFF_LONGEST_SLEEP_NS);
    return step - state_ % (step / 2 + 1);
  }

 private:
  uint64_t state_;
  uint64_t step_ = BACKOFF_FIRST_SLEEP_NS;
};

}  // namespace

thread_local LockWaitInterrupt t_interrupt;
thread_local int t_locks_held = 0;

ScopedLockWaitInterrupt::ScopedLockWaitInterrupt(LockWaitInterrupt interrupt)
    : previous_(t_interrupt) {
  t_interrupt = interrupt;
}

ScopedLockWaitInterrupt::~ScopedLockWaitInterrupt() { t_interrupt = previous_; }

LockGuard::LockGuard(const ProcessLock* lock) : lock_(lock) {
  if (lock_ != nullptr) ++t_locks_held;
}

void LockGuard::release() {
  if (lock_ == nullptr) return;
  sys::flock_unlock(lock_->fd());
  --t_locks_held;
  lock_ = nullptr;
}

ProcessLock::ProcessLock(int dir_fd, std::string lock_path, UniqueFd fd, const struct ::stat& st,
                         bool read_only)
    : dir_fd_(dir_fd), lock_path_(std::move(lock_path)), read_only_(read_only), fd_(std::move(fd)),
      dev_(st.st_dev), ino_(st.st_ino) {}

// An existing lock file is opened without O_CREAT: where the kernel protects
// files in shared sticky directories (fs.protected_regular), O_CREAT on
// another user's file is refused even though it exists.
Result<UniqueFd> ProcessLock::open_or_create(int dir_fd, const std::string& lock_path) {
  for (;;) {
    auto existing = sys::open(lock_path, O_RDWR | O_NOFOLLOW);
    if (existing.ok() || existing.error().os_code() != ENOENT) return existing;
    TW_ASSIGN_OR_RETURN(struct ::stat dir, sys::fstat(dir_fd));
    const FileAccess access = access_for_file_in(dir);
    auto created = sys::open(lock_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, access.mode);
    if (created.ok()) {
      TW_TRY(apply_access(created->get(), access));
      return created;
    }
    if (created.error().os_code() != EEXIST) return created;
    // Another process created it meanwhile: open theirs.
  }
}

Result<ProcessLock> ProcessLock::open(int dir_fd, std::string lock_path) {
  TW_ASSIGN_OR_RETURN(UniqueFd fd, open_or_create(dir_fd, lock_path));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  return ProcessLock(dir_fd, std::move(lock_path), std::move(fd), st, false);
}

Result<ProcessLock> ProcessLock::open_read_only(int dir_fd, std::string lock_path) {
  TW_ASSIGN_OR_RETURN(UniqueFd fd, sys::open(lock_path, O_RDONLY | O_NOFOLLOW));
  TW_ASSIGN_OR_RETURN(struct ::stat st, sys::fstat(fd.get()));
  return ProcessLock(dir_fd, std::move(lock_path), std::move(fd), st, true);
}

Result<bool> ProcessLock::names_our_file() {
  TW_ASSIGN_OR_RETURN(stamp_, DirectoryStamp::read(dir_fd_));
  if (name_check_.holds(stamp_)) return true;
  auto found = sys::identity_at(dir_fd_, kLockFileName);
  if (!found.ok()) {
    if (found.error().kind() == ErrorKind::kOs && found.error().os_code() == ENOENT) return false;
    return std::move(found).error();
  }
  if (found->dev != dev_ || found->ino != ino_) return false;
  name_check_.passed(stamp_);
  return true;
}

Status ProcessLock::reopen() {
  TW_ASSIGN_OR_RETURN(ProcessLock fresh, read_only_ ? open_read_only(dir_fd_, lock_path_)
                                                    : open(dir_fd_, lock_path_));
  fd_ = std::move(fresh.fd_);
  dev_ = fresh.dev_;
  ino_ = fresh.ino_;
  name_check_.forget();
  return {};
}

Result<LockGuard> ProcessLock::write_lock(uint64_t timeout_ns, LockWaitStats* stats) {
  LockWaitStats local;
  LockWaitStats& counts = stats != nullptr ? *stats : local;
  counts = {};
  const uint64_t start = monotonic_ns();
  counts.clock_reads = 1;
  uint64_t seed_mix = 0;
  Backoff backoff(start ^ reinterpret_cast<uintptr_t>(&seed_mix));
  uint32_t busy = 0;
  for (;;) {
    ++counts.attempts;
    Status attempt = read_only_ ? sys::flock_shared_nonblocking(fd_.get())
                                : sys::flock_exclusive_nonblocking(fd_.get());
    if (attempt.ok()) {
      // A lock on a file that no longer has the name excludes nobody who
      // opened the name since: let go, open the name again and retry.
      auto named = names_our_file();
      if (named.ok() && *named) return LockGuard(this);
      sys::flock_unlock(fd_.get());
      if (!named.ok()) return std::move(named).error();
      ++counts.reopens;
      TW_TRY(reopen());
    } else {
      const Error& error = attempt.error();
      if (error.kind() != ErrorKind::kOs || error.os_code() != EWOULDBLOCK) return attempt.error();
    }

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
      if (t_locks_held == 0 && t_interrupt.requested != nullptr &&
          t_interrupt.requested(t_interrupt.context)) {
        return Error::make(ErrorKind::kInterrupted, "interrupted while waiting for the lock");
      }
      // Wake no later than the deadline, so a stuck holder is reported on time.
      ++counts.sleeps;
      sleep_ns(std::min(backoff.next(), timeout_ns - elapsed));
    }
  }
}

}  // namespace tarnwick
