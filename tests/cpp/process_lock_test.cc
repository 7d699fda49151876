// The directory's process lock: exclusion between descriptors and processes,
// the bounded wait, errors that are not retried, and release.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <optional>

#include "log_io/sys.h"
#include "process_lock/process_lock.h"
#include "test_util.h"

namespace tarnwick::testing {
namespace {

constexpr uint64_t kMs = 1000 * 1000;
const std::string kTimeoutText =
    "process lock timed out \xE2\x80\x94 a live peer is holding it too long";

class ProcessLockTest : public ::testing::Test {
 protected:
  std::string path() const { return dir_.file(".proc_lock"); }
  ProcessLock open_lock() {
    auto lock = ProcessLock::open(path());
    EXPECT_TRUE(lock.ok()) << lock.error().text();
    return std::move(lock).value();
  }
  // A fresh descriptor gets the lock at its first attempt.
  bool free_now() {
    ProcessLock probe = open_lock();
    LockWaitStats stats;
    auto guard = probe.write_lock(5 * kMs, &stats);
    return guard.ok() && stats.attempts == 1;
  }
  TempDir dir_;
};

TEST_F(ProcessLockTest, FreeLockIsTakenAtTheFirstAttemptWithOneClockRead) {
  ProcessLock lock = open_lock();
  LockWaitStats stats;
  auto guard = lock.write_lock(LOCK_TIMEOUT_NS, &stats);
  ASSERT_TRUE(guard.ok()) << guard.error().text();
  EXPECT_EQ(stats.attempts, 1u);
  EXPECT_EQ(stats.clock_reads, 1u);
}

TEST_F(ProcessLockTest, TwoDescriptorsInOneProcessExcludeEachOther) {
  ProcessLock a = open_lock();
  ProcessLock b = open_lock();
  {
    auto held = a.write_lock();
    ASSERT_TRUE(held.ok());
    LockWaitStats stats;
    const auto start = std::chrono::steady_clock::now();
    auto blocked = b.write_lock(30 * kMs, &stats);
    const auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().kind(), ErrorKind::kTimedOut);
    EXPECT_TRUE(blocked.error().is_timeout());
    EXPECT_EQ(blocked.error().text(), kTimeoutText);
    EXPECT_GE(waited, std::chrono::milliseconds(30));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_GT(stats.attempts, 1u);
    EXPECT_EQ(stats.clock_reads, stats.attempts + 1) << "one read at the start, one per busy try";
  }
  LockWaitStats stats;
  auto taken = b.write_lock(30 * kMs, &stats);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(stats.attempts, 1u);
}

// Past the spinning and yielding stages every busy attempt sleeps, so the
// number of attempts in a wait is bounded by the wait over the sleep.
TEST_F(ProcessLockTest, LongWaitsSleepBetweenAttempts) {
  ProcessLock a = open_lock();
  ProcessLock b = open_lock();
  auto held = a.write_lock();
  ASSERT_TRUE(held.ok());
  constexpr uint64_t kWait = 200 * kMs;
  LockWaitStats stats;
  auto blocked = b.write_lock(kWait, &stats);
  ASSERT_FALSE(blocked.ok());
  EXPECT_LE(stats.attempts, YIELD_LIMIT + kWait / BACKOFF_SLEEP_NS + 2);
}

TEST_F(ProcessLockTest, BusyAttemptsAreRetriedUntilTheLockComes) {
  ProcessLock lock = open_lock();
  FaultScope faults;
  faults.fail(sys::Call::kFlock, EWOULDBLOCK, 0, 3);
  LockWaitStats stats;
  auto guard = lock.write_lock(LOCK_TIMEOUT_NS, &stats);
  ASSERT_TRUE(guard.ok());
  EXPECT_EQ(stats.attempts, 4u);
  EXPECT_EQ(stats.clock_reads, 4u);
}

TEST_F(ProcessLockTest, OtherLockErrorsAreReturnedAtOnce) {
  ProcessLock lock = open_lock();
  for (int error : {EBADF, EINTR, ENOLCK, EINVAL}) {
    FaultScope faults;
    faults.fail(sys::Call::kFlock, error);
    LockWaitStats stats;
    auto guard = lock.write_lock(LOCK_TIMEOUT_NS, &stats);
    ASSERT_FALSE(guard.ok()) << error;
    EXPECT_EQ(guard.error().kind(), ErrorKind::kOs);
    EXPECT_EQ(guard.error().os_code(), error);
    EXPECT_EQ(stats.attempts, 1u) << error;
    EXPECT_EQ(stats.clock_reads, 1u) << error;
  }
  EXPECT_TRUE(free_now()) << "a failed attempt must not leave the lock held";
}

TEST_F(ProcessLockTest, GuardReleaseUnlocksAndMovedFromGuardsDoNot) {
  ProcessLock lock = open_lock();
  std::optional<LockGuard> moved;
  {
    auto guard = lock.write_lock();
    ASSERT_TRUE(guard.ok());
    moved.emplace(std::move(guard).value());
  }  // the moved-from guard ends here and must not unlock
  EXPECT_FALSE(free_now());
  moved->release();
  EXPECT_TRUE(free_now());
  moved->release();  // a second release is harmless
  moved.reset();
  {
    auto guard = lock.write_lock();
    ASSERT_TRUE(guard.ok());
    EXPECT_FALSE(free_now());
  }
  EXPECT_TRUE(free_now()) << "destroying the guard unlocks";
}

TEST_F(ProcessLockTest, LockFileIsCreatedWithModeBitsBeforeUmaskAndStaysEmpty) {
  for (mode_t mask : {mode_t{0}, mode_t{027}}) {
    std::filesystem::remove(path());
    const mode_t old = ::umask(mask);
    auto lock = ProcessLock::open(path());
    ::umask(old);
    ASSERT_TRUE(lock.ok());
    struct stat st {};
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    EXPECT_TRUE(::fcntl(lock->fd(), F_GETFD) & FD_CLOEXEC);
    for (int i = 0; i < 3; ++i) {
      auto guard = lock->write_lock();
      ASSERT_TRUE(guard.ok());
    }
    EXPECT_EQ(file_size(path()), 0u);
  }
  auto missing = ProcessLock::open(dir_.file("no/such/.proc_lock"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_code(), ENOENT);
}

// A child process that takes the lock on its own descriptor and waits.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      const int fd = ::open(path.c_str(), O_RDWR);
      if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
      const char ready = 'L';
      if (::write(fds[1], &ready, 1) != 1) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(fds[1]);
    struct pollfd p = {fds[0], POLLIN, 0};
    char got = 0;
    locked_ = pid_ > 0 && ::poll(&p, 1, 10000) == 1 && ::read(fds[0], &got, 1) == 1 && got == 'L';
    ::close(fds[0]);
  }
  ~LockHolder() { kill(); }
  bool locked() const { return locked_; }
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool locked_ = false;
};

TEST_F(ProcessLockTest, APeerProcessHoldingTheLockTimesUsOutUntilItDies) {
  ProcessLock lock = open_lock();
  LockHolder peer(path());
  ASSERT_TRUE(peer.locked());

  auto blocked = lock.write_lock(50 * kMs);
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(blocked.error().kind(), ErrorKind::kTimedOut);
  EXPECT_EQ(blocked.error().text(), kTimeoutText);
  EXPECT_EQ(blocked.error().text().size(), 61u);

  peer.kill();
  LockWaitStats stats;
  auto taken = lock.write_lock(LOCK_TIMEOUT_NS, &stats);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(stats.attempts, 1u) << "a killed holder frees the lock at once";
  EXPECT_EQ(file_size(path()), 0u);
}

}  // namespace
}  // namespace tarnwick::testing
