// The system-call layer: interrupted and short transfers are completed, not
// surfaced; injected faults behave as the tests above rely on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "log_io/sys.h"
#include "test_util.h"

namespace tarnwick::testing {
namespace {

std::atomic<int> g_alarms{0};
void on_alarm(int) { g_alarms.fetch_add(1); }

// Delivers SIGALRM to this thread every millisecond, without SA_RESTART, so
// that blocking calls keep being interrupted. Threads started inside the scope
// have the signal blocked.
class AlarmStorm {
 public:
  AlarmStorm() {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, &old_);
    sigemptyset(&set_);
    sigaddset(&set_, SIGALRM);
    g_alarms = 0;
  }
  template <class F>
  std::thread start_helper(F&& f) {
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    std::thread t(std::forward<F>(f));
    pthread_sigmask(SIG_UNBLOCK, &set_, nullptr);
    struct itimerval every_ms = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    return t;
  }
  ~AlarmStorm() {
    struct itimerval off {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old_, nullptr);
  }

 private:
  struct sigaction old_ {};
  sigset_t set_{};
};

TEST(SysLayer, InterruptedAndShortPipeWritesAreCompleted) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd rd(fds[0]), wr(fds[1]);
  Bytes data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + i / 251);
  Bytes received;
  {
    AlarmStorm storm;
    std::thread reader = storm.start_helper([&] {
      uint8_t buf[16384];
      for (;;) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // keep the pipe full
        ssize_t got = ::read(rd.get(), buf, sizeof buf);
        if (got <= 0) break;
        received.insert(received.end(), buf, buf + got);
        if (received.size() == data.size()) break;
      }
    });
    Status s = sys::write_all(wr.get(), data.data(), data.size());
    wr.reset();  // the reader sees the end even after a failed write
    reader.join();
    ASSERT_TRUE(s.ok()) << s.error().text();
  }
  EXPECT_GT(g_alarms.load(), 0);
  EXPECT_TRUE(received == data) << "received " << received.size() << " of " << data.size();
}

TEST(SysLayer, InterruptedReadIsRetried) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const UniqueFd rd(fds[0]), wr(fds[1]);
  Result<size_t> got = size_t{0};
  char buf[8] = {};
  {
    AlarmStorm storm;
    std::thread writer = storm.start_helper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      (void)!::write(wr.get(), "ok", 2);
    });
    got = sys::read(rd.get(), buf, sizeof buf);
    writer.join();
  }
  ASSERT_TRUE(got.ok()) << got.error().text();
  EXPECT_EQ(*got, 2u);
  EXPECT_EQ(std::string(buf, 2), "ok");
  EXPECT_GT(g_alarms.load(), 0);
}

TEST(SysLayer, FaultsHonourSkipTimesAndPartialBytes) {
  TempDir dir;
  auto fd = sys::open(dir.file("f"), O_WRONLY | O_CREAT | O_APPEND);
  ASSERT_TRUE(fd.ok());
  const Bytes data = bytes_of("0123456789");
  FaultScope faults;
  faults.fail(sys::Call::kWrite, EIO, /*skip=*/1, /*times=*/2, /*partial_bytes=*/4);
  std::vector<bool> ok;
  for (int i = 0; i < 4; ++i) {
    ok.push_back(sys::write_all(fd->get(), data.data(), data.size()).ok());
  }
  EXPECT_EQ(ok, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(read_file(dir.file("f")), bytes_of("0123456789012301230123456789"));
}

TEST(SysLayer, OpenIsCloseOnExec) {
  TempDir dir;
  auto fd = sys::open(dir.file("f"), O_RDWR | O_CREAT);
  ASSERT_TRUE(fd.ok());
  EXPECT_TRUE(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC);
  auto copy = sys::dup(fd->get());
  ASSERT_TRUE(copy.ok());
  EXPECT_TRUE(::fcntl(copy->get(), F_GETFD) & FD_CLOEXEC);
}

// identity_at asks statx where Linux has it; a kernel without it (ENOSYS) or a
// sandbox that filters it (EPERM) must get the same answer from fstatat, and
// any other statx failure is a real error.
TEST(SysLayer, IdentityAtFallsBackWhereStatxIsRefused) {
  TempDir dir;
  write_file(dir.file("f"), bytes_of("12345"));
  auto dir_fd = sys::open(dir.path(), O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(dir_fd.ok());
  struct ::stat st {};
  ASSERT_EQ(::stat(dir.file("f").c_str(), &st), 0);
  auto expect_identity = [&](const char* how) {
    auto id = sys::identity_at(dir_fd->get(), "f");
    ASSERT_TRUE(id.ok()) << how << ": " << id.error().text();
    EXPECT_EQ(id->dev, st.st_dev) << how;
    EXPECT_EQ(id->ino, st.st_ino) << how;
    EXPECT_EQ(id->size, 5u) << how;
  };
  {
    CallCounter statx_calls(sys::Call::kStatx);
    expect_identity("statx");
#ifdef __linux__
    EXPECT_EQ(statx_calls.count(), 1u);
#else
    EXPECT_EQ(statx_calls.count(), 0u);
#endif
  }
  for (int refused : {ENOSYS, EPERM}) {
    FaultScope faults;
    faults.fail(sys::Call::kStatx, refused, 0, UINT64_MAX);
    expect_identity(refused == ENOSYS ? "ENOSYS" : "EPERM");
    auto missing = sys::identity_at(dir_fd->get(), "absent");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().os_code(), ENOENT);
  }
#ifdef __linux__
  FaultScope faults;
  faults.fail(sys::Call::kStatx, EIO);
  auto failed = sys::identity_at(dir_fd->get(), "f");
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().os_code(), EIO);
#endif
}

}  // namespace
}  // namespace tarnwick::testing
