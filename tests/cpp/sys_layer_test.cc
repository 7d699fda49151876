// The system-call layer: interrupted and short transfers are completed, not
// surfaced; injected faults behave as the tests above rely on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "log_io/frame.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
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

// Plain and vectored writes alike (the latter in uneven pieces, one empty).
TEST(SysLayer, InterruptedAndShortPipeWritesAreCompleted) {
  for (bool vectored : {false, true}) {
    SCOPED_TRACE(vectored ? "writev_all" : "write_all");
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
      Status s;
      if (vectored) {
        const size_t cuts[] = {0, 33, 33, 100000, 1500000, data.size()};
        std::vector<struct ::iovec> pieces;
        for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
          pieces.push_back({data.data() + cuts[i], cuts[i + 1] - cuts[i]});
        }
        s = sys::writev_all(wr.get(), pieces.data(), static_cast<int>(pieces.size()));
      } else {
        s = sys::write_all(wr.get(), data.data(), data.size());
      }
      wr.reset();  // the reader sees the end even after a failed write
      reader.join();
      ASSERT_TRUE(s.ok()) << s.error().text();
    }
    EXPECT_GT(g_alarms.load(), 0);
    EXPECT_TRUE(received == data) << "received " << received.size() << " of " << data.size();
  }
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


// Each directory mkdir_all makes is synced into its parent; one that exists
// costs no sync, and a failed sync is the call's error.
TEST(SysLayer, MkdirAllSyncsEachDirectoryItCreatedInto) {
  TempDir tmp;
  auto syncs_for = [](const std::string& path) {
    CallCounter syncs(sys::Call::kFullSync);
    EXPECT_TRUE(sys::mkdir_all(path).ok()) << path;
    return syncs.count();
  };
  EXPECT_EQ(syncs_for(tmp.file("a/b/c")), 3u);
  EXPECT_EQ(syncs_for(tmp.file("a/b/c")), 0u);
  EXPECT_EQ(syncs_for(tmp.file("a/b/d")), 1u);
  FaultScope faults;
  faults.fail(sys::Call::kFullSync, EIO);
  Status failed = sys::mkdir_all(tmp.file("x/y"));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().os_code(), EIO);
}

// A process that closed its standard streams: descriptors the layer hands out
// are never 0, 1 or 2, so a queue's files stay above them, and a warning
// written to standard error (here: a torn tail another writer left, cut by
// catch-up) can never land in the log after a compaction reopened it.
TEST(SysLayer, DescriptorsStayAboveTheStandardStreams) {
  TempDir tmp;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    for (int fd = 0; fd <= STDERR_FILENO; ++fd) ::close(fd);
    const int code = [&] {
      auto file = sys::open(tmp.file("plain"), O_RDWR | O_CREAT);
      if (!file.ok() || file->get() <= STDERR_FILENO) return 1;
      auto copy = sys::dup(file->get());
      if (!copy.ok() || copy->get() <= STDERR_FILENO) return 2;
      auto opened = Queue::open(tmp.path(), Settings{});
      if (!opened.ok()) return 3;
      Queue& q = **opened;
      QueueImpl& impl = q.impl();
      auto low = [&] {
        return impl.dir_fd.get() <= STDERR_FILENO || impl.lock->fd() <= STDERR_FILENO ||
               impl.inner.files->writer_fd.get() <= STDERR_FILENO ||
               impl.inner.files->reader.get() <= STDERR_FILENO;
      };
      if (low()) return 4;
      const Bytes a = bytes_of("a"), b = bytes_of("b");
      if (!q.enqueue(span_of(a)).ok() || !q.enqueue(span_of(b)).ok()) return 5;
      if (!q.ack(0).ok() || !q.compact().ok() || low()) return 6;
      Bytes torn = read_file(tmp.file("queue.log"));
      const size_t clean = torn.size();
      torn.insert(torn.end(), {'T', 'W', 'R', '1', 9});
      write_file(tmp.file("queue.log"), torn);
      auto caught_up = q.stats();
      if (!caught_up.ok() || caught_up->total != 1) return 7;
      if (read_file(tmp.file("queue.log")).size() != clean) return 8;
      if (!q.enqueue(span_of(a)).ok()) return 9;
      auto report = q.verify_integrity();
      if (!report.ok() || !report->ok || report->records != 2) return 10;
      return 0;
    }();
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
