// The exclusive advisory lock on a queue directory's `.proc_lock`, which
// serialises every operation of every object and process on that directory.
#pragma once

#include <cstdint>
#include <string>

#include "log_io/error.h"
#include "log_io/unique_fd.h"

namespace tarnwick {

inline constexpr uint64_t LOCK_TIMEOUT_NS = 30ull * 1000 * 1000 * 1000;
inline constexpr uint32_t SPIN_LIMIT = 64;
inline constexpr uint32_t YIELD_LIMIT = 1024;
inline constexpr long BACKOFF_SLEEP_NS = 50000;
inline constexpr const char* kLockTimeoutMessage =
    "process lock timed out \u2014 a live peer is holding it too long";

class ProcessLock;

// Holds the lock until destroyed; the unlock's result is ignored.
class LockGuard {
 public:
  explicit LockGuard(const ProcessLock* lock) : lock_(lock) {}
  LockGuard(LockGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  LockGuard& operator=(LockGuard&&) = delete;
  ~LockGuard() { release(); }
  void release();

 private:
  const ProcessLock* lock_;
};

// Lock attempts and clock reads of the last write_lock call, for tests.
struct LockWaitStats {
  uint64_t attempts = 0;
  uint64_t clock_reads = 0;
};

class ProcessLock {
 public:
  // Opens (creating with mode 0666) the lock file; it is never written.
  static Result<ProcessLock> open(const std::string& lock_path);

  // Takes the lock, spinning, then yielding, then sleeping between attempts,
  // for at most `timeout_ns`; a busy lock past that is a time-out error.
  Result<LockGuard> write_lock(uint64_t timeout_ns = LOCK_TIMEOUT_NS,
                               LockWaitStats* stats = nullptr) const;

  int fd() const { return fd_.get(); }

 private:
  explicit ProcessLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace tarnwick
