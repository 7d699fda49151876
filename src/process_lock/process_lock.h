// The exclusive advisory lock on a queue directory's `.proc_lock`, which
// serialises every operation of every object and process on that directory.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "log_io/directory_stamp.h"
#include "log_io/error.h"
#include "log_io/unique_fd.h"

namespace tarnwick {

inline constexpr const char* kLockFileName = ".proc_lock";
inline constexpr uint64_t LOCK_TIMEOUT_NS = 30ull * 1000 * 1000 * 1000;
// A busy lock is retried at once with a spin hint, then after yielding the
// processor, then after sleeps that double from the first to the longest, so
// no sleep is much longer than the wait so far. Many waiters that wake often
// starve the holder, which keeps the lock across a full sync: on a busy
// two-core machine 8 waiters waking every 0.5 ms held up its syncs by
// seconds. The longest sleep keeps 100 waiters to a few thousand wake-ups a
// second.
inline constexpr uint32_t SPIN_LIMIT = 64;
inline constexpr uint32_t YIELD_LIMIT = 80;
inline constexpr uint64_t BACKOFF_FIRST_SLEEP_NS = 50'000;
inline constexpr uint64_t BACKOFF_LONGEST_SLEEP_NS = 32'000'000;
inline constexpr const char* kLockTimeoutMessage =
    "process lock timed out \u2014 a live peer is holding it too long";

class ProcessLock;

// A caller's way to end a long lock wait early, to handle a signal say. It is
// asked between the sleeps of a wait on this thread, but only while the
// thread holds no other process lock (it may then block on something that
// the holder of that lock waits for); true ends the wait with kInterrupted.
struct LockWaitInterrupt {
  bool (*requested)(void* context) = nullptr;
  void* context = nullptr;
};

// Installs an interrupt check for the calling thread while it lives.
class ScopedLockWaitInterrupt {
 public:
  explicit ScopedLockWaitInterrupt(LockWaitInterrupt interrupt);
  ~ScopedLockWaitInterrupt();
  ScopedLockWaitInterrupt(const ScopedLockWaitInterrupt&) = delete;
  ScopedLockWaitInterrupt& operator=(const ScopedLockWaitInterrupt&) = delete;

 private:
  LockWaitInterrupt previous_;
};

// Holds the lock until destroyed; the unlock's result is ignored.
class LockGuard {
 public:
  explicit LockGuard(const ProcessLock* lock);
  LockGuard(LockGuard&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  LockGuard& operator=(LockGuard&&) = delete;
  ~LockGuard() { release(); }
  void release();

 private:
  const ProcessLock* lock_;
};

// What the last write_lock call did, for tests.
struct LockWaitStats {
  uint64_t attempts = 0;
  uint64_t clock_reads = 0;
  uint64_t sleeps = 0;
  uint64_t reopens = 0;  // times the lock file had been deleted or replaced
};

class ProcessLock {
 public:
  // Opens the lock file at `lock_path`, which must name kLockFileName in the
  // directory open as `dir_fd`, creating it when missing with the access of
  // a file made fresh in that directory (file_access.h). The directory
  // descriptor is borrowed and must stay open as long as this object.
  static Result<ProcessLock> open(int dir_fd, std::string lock_path);
  // The lock of a reader without write access: the file is opened read-only
  // and never created, and write_lock takes a shared lock, which excludes
  // every writer (they lock exclusively) but not other such readers.
  static Result<ProcessLock> open_read_only(int dir_fd, std::string lock_path);

  // Takes the lock, waiting at most `timeout_ns` for a busy one; a busy lock
  // past that is a time-out error. The lock is only taken on the file that
  // the directory names now: a lock file deleted or replaced since it was
  // opened is opened again (and so created again) first.
  Result<LockGuard> write_lock(uint64_t timeout_ns = LOCK_TIMEOUT_NS,
                               LockWaitStats* stats = nullptr);

  int fd() const { return fd_.get(); }
  // The queue directory's stamp, read after the lock was last taken: while
  // the lock is held, a name checked under an equal stamp is still ours.
  const DirectoryStamp& directory_stamp() const { return stamp_; }

 private:
  ProcessLock(int dir_fd, std::string lock_path, UniqueFd fd, const struct ::stat& st,
              bool read_only);
  static Result<UniqueFd> open_or_create(int dir_fd, const std::string& lock_path);
  // Whether the directory's entry still is the file fd_ is open on. Reads
  // the directory's stamp first and looks the name up only if it moved.
  Result<bool> names_our_file();
  Status reopen();

  int dir_fd_;
  std::string lock_path_;
  bool read_only_;
  UniqueFd fd_;
  dev_t dev_;  // identity of the file fd_ is open on
  ino_t ino_;
  DirectoryStamp stamp_;  // read at the last successful flock
  NameCheck name_check_;
};

}  // namespace tarnwick
