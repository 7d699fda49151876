// Group commit with a process killed in it while another waits: a syncer
// killed before its sync or after it (before publishing), or a waiter killed
// while waiting. The other process's put returns only once a sync covers its
// record, and after a power cut (the log cut at the longest length a
// successful sync began with) both records are there.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <sstream>

#include "../engine_helpers.h"
#include "log_io/clock.h"
#include "log_io/kill_point.h"

namespace tarnwick::testing {
namespace {

constexpr int kTimeoutMs = 60'000;
int g_report_fd = -1;

void report_sync(int fd, uint64_t length_before) {
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return;
  std::string line = std::to_string(st.st_ino);
  line.push_back(' ');
  line += std::to_string(length_before);
  line.push_back('\n');
  (void)!::write(g_report_fd, line.data(), line.size());
}

// One line from fd within `timeout_ms` ("" on end of file or time-out).
std::string line_from(int fd, int timeout_ms) {
  const uint64_t give_up = monotonic_ns() + uint64_t(timeout_ms) * 1'000'000;
  std::string line;
  for (;;) {
    const uint64_t now = monotonic_ns();
    if (now >= give_up) return "";
    struct pollfd p = {fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>((give_up - now) / 1'000'000) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return "";
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    if (c == '\n') return line;
    line.push_back(c);
  }
}

bool readable_now(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

struct Child {
  pid_t pid = -1;
  int out = -1;  // what it says
  ~Child() {
    if (pid > 0) {
      ::kill(pid, SIGKILL);
      reap();
    }
    if (out >= 0) ::close(out);
  }
  int reap() {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
    return status;
  }
};

// Forks a child that opens the queue and puts `body`; with `point`, it stops
// there (saying the point's name); without, it reports its syncs to `report`
// and says "returned" once the put returned.
void start_put(Child& child, const std::string& dir, const std::string& body,
               const char* point, const std::string& report) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  child.pid = ::fork();
  ASSERT_GE(child.pid, 0);
  if (child.pid == 0) {
    ::close(fds[0]);
    auto opened = Queue::open(dir, make_settings());
    if (!opened.ok()) ::_exit(2);
    if (point != nullptr) {
      ::setenv("TARNWICK_KILL_FD", std::to_string(fds[1]).c_str(), 1);
      ::setenv("TARNWICK_KILL_AT", point, 1);
    } else {
      g_report_fd = ::open(report.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (g_report_fd < 0) ::_exit(3);
      sys::observe_syncs(report_sync);
    }
    const Bytes b = bytes_of(body);
    if (!opened.value()->enqueue(span_of(b)).ok()) ::_exit(1);
    if (::write(fds[1], "returned\n", 9) != 9) ::_exit(4);
    ::_exit(0);
  }
  ::close(fds[1]);
  child.out = fds[0];
}

uint64_t durable_length(const std::string& report, uint64_t ino, int* syncs) {
  std::istringstream lines(to_string(read_file(report)));
  uint64_t i = 0, length = 0, durable = 0;
  *syncs = 0;
  while (lines >> i >> length) {
    if (i != ino) continue;
    ++*syncs;
    durable = std::max(durable, length);
  }
  return durable;
}

class GroupCommitKill : public ::testing::TestWithParam<KillPoint> {};

TEST_P(GroupCommitKill, TheOtherPutReturnsOnlyOnceSyncedAndBothSurvive) {
  const KillPoint point = GetParam();
  TempDir tmp;
  const std::string dir = tmp.path();
  ASSERT_TRUE(open_queue(dir));
  const std::string log = tmp.file("queue.log");
  const std::string report = tmp.file("report");

  Child killed;
  start_put(killed, dir, "killed", std::string(kill_point_name(point)).c_str(), report);
  ASSERT_EQ(line_from(killed.out, kTimeoutMs), kill_point_name(point));
  const uint64_t after_killed = file_size(log);

  Child other;
  start_put(other, dir, "other", nullptr, report);
  const bool syncer_holds_lock = point != KillPoint::kGroupCommitWaiting;
  if (syncer_holds_lock) {
    // Its record reaches the file; it cannot be covered while the syncer
    // that holds the sync lock (and never publishes past its own records) lives.
    while (file_size(log) == after_killed && !readable_now(other.out)) {
      ASSERT_EQ(::waitpid(other.pid, nullptr, WNOHANG), 0) << "the other put died";
      sched_yield();
    }
    EXPECT_FALSE(readable_now(other.out)) << "returned while its record was not synced";
  }
  ::kill(killed.pid, SIGKILL);
  const int killed_status = killed.reap();
  EXPECT_TRUE(WIFSIGNALED(killed_status) && WTERMSIG(killed_status) == SIGKILL);
  EXPECT_EQ(line_from(other.out, kTimeoutMs), "returned");
  const int status = other.reap();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  struct ::stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  int syncs = 0;
  const uint64_t durable = durable_length(report, st.st_ino, &syncs);
  EXPECT_GE(syncs, 1) << "no sync of its own, though none covered it";
  Bytes kept = read_file(log);
  kept.resize(std::min<uint64_t>(durable, kept.size()));
  std::set<std::string> bodies;
  for (const ParsedFrame& f : parse_log(kept).frames) bodies.insert(to_string(f.body));
  EXPECT_TRUE(bodies.contains("killed"));
  EXPECT_TRUE(bodies.contains("other"));
}

INSTANTIATE_TEST_SUITE_P(Points, GroupCommitKill,
                         ::testing::Values(KillPoint::kGroupCommitWaiting,
                                           KillPoint::kGroupCommitBeforeSync,
                                           KillPoint::kGroupCommitSyncedBeforePublish),
                         [](const ::testing::TestParamInfo<KillPoint>& point_info) {
                           std::string name(kill_point_name(point_info.param));
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

}  // namespace
}  // namespace tarnwick::testing
