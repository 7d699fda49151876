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
#include <thread>

#include "log_io/sys.h"
#include "process_lock/process_lock.h"
#include "test_util.h"

namespace tarnwick::testing {
namespace {

constexpr uint64_t kMs = 1000 * 1000;
const std::string kTimeoutText =
    "process lock timed out \xE2\x80\x94 a live peer is holding it too long";

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

class ProcessLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto fd = sys::open(dir_.path(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(fd.ok());
    dir_fd_ = std::move(fd).value();
  }
  std::string path() const { return dir_.file(".proc_lock"); }
  ProcessLock open_lock() {
    auto lock = ProcessLock::open(dir_fd_.get(), path());
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
  UniqueFd dir_fd_;
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

// Past the spinning and yielding stages every busy attempt sleeps, and the
// sleeps grow to the longest one, so a long wait makes few attempts.
TEST_F(ProcessLockTest, LongWaitsSleepLongerAndLongerBetweenAttempts) {
  ProcessLock a = open_lock();
  ProcessLock b = open_lock();
  auto held = a.write_lock();
  ASSERT_TRUE(held.ok());
  constexpr uint64_t kWait = 200 * kMs;
  LockWaitStats stats;
  auto blocked = b.write_lock(kWait, &stats);
  ASSERT_FALSE(blocked.ok());
  EXPECT_EQ(stats.attempts, YIELD_LIMIT + stats.sleeps + 1);
  uint64_t growing = 1;  // sleeps before the longest is reached
  for (uint64_t step = BACKOFF_FIRST_SLEEP_NS; step < BACKOFF_LONGEST_SLEEP_NS; step *= 2) {
    ++growing;
  }
  // Each sleep at the longest step lasts at least half of it.
  EXPECT_LE(stats.sleeps, growing + kWait / (BACKOFF_LONGEST_SLEEP_NS / 2) + 1);
  EXPECT_GE(stats.sleeps, growing);
}

// However long the wait has been, a release is noticed within about the
// longest sleep, not at the end of the time-out.
TEST_F(ProcessLockTest, AReleaseEndsALongWaitPromptly) {
  ProcessLock b = open_lock();
  LockHolder peer(path());
  ASSERT_TRUE(peer.locked());
  std::thread release([&peer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    peer.kill();
  });
  LockWaitStats stats;
  const auto start = std::chrono::steady_clock::now();
  auto taken = b.write_lock(LOCK_TIMEOUT_NS, &stats);
  const auto waited = std::chrono::steady_clock::now() - start;
  release.join();
  ASSERT_TRUE(taken.ok()) << taken.error().text();
  EXPECT_GT(stats.sleeps, 0u);
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(5));
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

// The lock file takes the directory's read and write bits whatever the umask,
// so that every user who may work in the directory may open it.
TEST_F(ProcessLockTest, LockFileTakesTheDirectorysBitsAndStaysEmpty) {
  const struct {
    mode_t dir_mode, mask, file_mode;
  } cases[] = {{0755, 0, 0644}, {0775, 077, 0664}, {0777, 022, 0666}, {0750, 0, 0640}};
  for (const auto& c : cases) {
    std::filesystem::remove(path());
    ASSERT_EQ(::chmod(dir_.path().c_str(), c.dir_mode), 0);
    const mode_t old = ::umask(c.mask);
    auto lock = ProcessLock::open(dir_fd_.get(), path());
    ::umask(old);
    ASSERT_TRUE(lock.ok());
    struct stat st {};
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.file_mode) << std::oct << c.dir_mode << " " << c.mask;
    EXPECT_TRUE(::fcntl(lock->fd(), F_GETFD) & FD_CLOEXEC);
    for (int i = 0; i < 3; ++i) {
      auto guard = lock->write_lock();
      ASSERT_TRUE(guard.ok());
    }
    EXPECT_EQ(file_size(path()), 0u);
  }
  auto missing = ProcessLock::open(dir_fd_.get(), dir_.file("no/such/.proc_lock"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_code(), ENOENT);
}

size_t open_descriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/dev/fd")) ++n;
  return n;
}

// A lock file removed, replaced or renamed away (by a cleaner, say) after a
// descriptor was opened on it: that descriptor's next lock opens the name
// again, so it excludes a descriptor opened since, and the old file is closed.
TEST_F(ProcessLockTest, ADeletedReplacedOrMovedLockFileIsOpenedAgain) {
  for (const char* change : {"deleted", "replaced", "moved"}) {
    SCOPED_TRACE(change);
    ProcessLock old_lock = open_lock();
    // The name is checked under a settled stamp, so that only the change to
    // the directory can tell the next lock to look it up again.
    ASSERT_TRUE(wait_until_settled(dir_.path()));
    ASSERT_TRUE(old_lock.write_lock().ok());
    if (change == std::string("replaced")) {
      write_file(dir_.file("other"), {});
      ASSERT_EQ(::rename(dir_.file("other").c_str(), path().c_str()), 0);
    } else if (change == std::string("moved")) {
      ASSERT_EQ(::rename(path().c_str(), dir_.file("moved").c_str()), 0);
    } else {
      ASSERT_EQ(::unlink(path().c_str()), 0);
    }
    ProcessLock newcomer = open_lock();
    const size_t descriptors = open_descriptors();
    LockWaitStats stats;
    {
      auto held = old_lock.write_lock(LOCK_TIMEOUT_NS, &stats);
      ASSERT_TRUE(held.ok()) << held.error().text();
      EXPECT_EQ(stats.reopens, 1u);
      EXPECT_EQ(open_descriptors(), descriptors) << "the old lock file stayed open";
      struct stat by_fd {}, by_name {};
      ASSERT_EQ(::fstat(old_lock.fd(), &by_fd), 0);
      ASSERT_EQ(::stat(path().c_str(), &by_name), 0);
      EXPECT_EQ(by_fd.st_ino, by_name.st_ino);
      auto blocked = newcomer.write_lock(20 * kMs);
      ASSERT_FALSE(blocked.ok());
      EXPECT_TRUE(blocked.error().is_timeout());
    }
    {
      auto held = newcomer.write_lock(LOCK_TIMEOUT_NS, &stats);
      ASSERT_TRUE(held.ok());
      EXPECT_EQ(stats.reopens, 0u);
      EXPECT_FALSE(old_lock.write_lock(20 * kMs).ok());
      EXPECT_FALSE(free_now());
    }
    EXPECT_TRUE(free_now());
    EXPECT_EQ(file_size(path()), 0u);
  }
}

// A peer process holding the lock through the file that now has the name
// keeps a descriptor opened before the replacement waiting too.
TEST_F(ProcessLockTest, APeerOnTheNewFileExcludesADescriptorOpenedBefore) {
  ProcessLock old_lock = open_lock();
  ASSERT_EQ(::unlink(path().c_str()), 0);
  {
    ProcessLock creator = open_lock();  // the newcomer creates the file
  }
  LockHolder peer(path());
  ASSERT_TRUE(peer.locked());
  auto blocked = old_lock.write_lock(30 * kMs);
  ASSERT_FALSE(blocked.ok()) << "locked the deleted file beside the peer";
  EXPECT_TRUE(blocked.error().is_timeout());
  peer.kill();
  EXPECT_TRUE(old_lock.write_lock(30 * kMs).ok());
}

// Failures while checking the name or opening it again are returned, with
// the lock let go; the next call, without the failure, succeeds.
TEST_F(ProcessLockTest, FailuresWhileCheckingOrReopeningAreReturnedUnlocked) {
  ProcessLock lock = open_lock();
  // Each lock reads the directory's stamp, then looks the name up unless the
  // stamp vouches for it.
  for (sys::Call call : {sys::Call::kStat, sys::Call::kFstat}) {
    FaultScope faults;
    faults.fail(call, EIO);
    auto guard = lock.write_lock();
    ASSERT_FALSE(guard.ok()) << static_cast<int>(call);
    EXPECT_EQ(guard.error().os_code(), EIO);
    EXPECT_TRUE(free_now());
  }
  LockWaitStats stats;
  {
    ASSERT_TRUE(wait_until_settled(dir_.path()));
    CallCounter lookups(sys::Call::kStat);
    ASSERT_TRUE(lock.write_lock(LOCK_TIMEOUT_NS, &stats).ok());
    ASSERT_TRUE(lock.write_lock(LOCK_TIMEOUT_NS, &stats).ok());
    EXPECT_EQ(lookups.count(), 1u) << "an unchanged file is not looked up again";
  }
  ASSERT_EQ(::unlink(path().c_str()), 0);
  // The reopening: its open, and its fstat (the second of the call).
  for (auto [call, skip] : {std::pair{sys::Call::kOpen, 0}, std::pair{sys::Call::kFstat, 1}}) {
    FaultScope faults;
    faults.fail(call, EMFILE, static_cast<uint64_t>(skip));
    auto guard = lock.write_lock();
    ASSERT_FALSE(guard.ok()) << static_cast<int>(call);
    EXPECT_EQ(guard.error().os_code(), EMFILE);
    EXPECT_FALSE(std::filesystem::exists(path()) && !free_now()) << "left a lock held";
    std::filesystem::remove(path());
  }
  auto guard = lock.write_lock(LOCK_TIMEOUT_NS, &stats);
  ASSERT_TRUE(guard.ok()) << guard.error().text();
  EXPECT_EQ(stats.reopens, 1u);
  EXPECT_FALSE(free_now());
}

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
