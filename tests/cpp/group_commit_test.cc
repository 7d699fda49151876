// Group commit: when a published sync covers a writer's records, that one
// sync serves threads and processes alike, a failed sync fails its waiters
// and publishes nothing, and where the shared file cannot be set up every
// sync runs under the lock. A power cut is modelled by what the syncs made
// durable: the log cut at the longest length any successful sync of it
// began with. Every record a call returned for must lie inside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

#include "engine_helpers.h"
#include "log_io/group_commit.h"
#include "log_io/sync_share.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

// "<prefix><a>-<b>", built by appending (g++ 12 warns falsely about the
// same string made with operator+).
std::string label(const char* prefix, int a, int b) {
  std::string out(prefix);
  out += std::to_string(a);
  out.push_back('-');
  out += std::to_string(b);
  return out;
}

// --- the power-cut model ---

// The longest length a successful sync of the watched file began with. The
// observer runs in whichever thread synced; the inode is set before.
std::atomic<uint64_t> g_watched_ino{0};
std::atomic<uint64_t> g_durable{0};
// In a forked child: every sync is also reported as "ino length" to this fd.
int g_report_fd = -1;

void on_sync(int fd, uint64_t length_before) {
  struct ::stat st {};
  if (::fstat(fd, &st) != 0) return;
  if (g_report_fd >= 0) {
    std::string line = std::to_string(st.st_ino);
    line.push_back(' ');
    line += std::to_string(length_before);
    line.push_back('\n');
    (void)!::write(g_report_fd, line.data(), line.size());
  }
  if (static_cast<uint64_t>(st.st_ino) != g_watched_ino.load()) return;
  uint64_t seen = g_durable.load();
  while (seen < length_before && !g_durable.compare_exchange_weak(seen, length_before)) {
  }
}

class ObservedSyncs {
 public:
  explicit ObservedSyncs(uint64_t ino) {
    g_watched_ino = ino;
    g_durable = 0;
    sys::observe_syncs(on_sync);
  }
  ~ObservedSyncs() { sys::observe_syncs(nullptr); }
  ObservedSyncs(const ObservedSyncs&) = delete;
  ObservedSyncs& operator=(const ObservedSyncs&) = delete;
};

uint64_t ino_of(const std::string& path) {
  struct ::stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_ino;
}

// The ENQUEUE bodies in the first `durable` bytes of the log at `path`.
std::set<std::string> bodies_after_power_cut(const std::string& path, uint64_t durable) {
  Bytes file = read_file(path);
  EXPECT_LE(durable, file.size());
  if (durable < file.size()) file.resize(durable);
  std::set<std::string> out;
  for (const ParsedFrame& f : parse_log(file).frames) {
    if (f.tag == ENQUEUE) out.insert(to_string(f.body));
  }
  return out;
}

void expect_all_survive(const std::set<std::string>& returned, const std::set<std::string>& kept) {
  size_t missing = 0;
  for (const std::string& body : returned) {
    if (!kept.contains(body)) ++missing;
  }
  EXPECT_EQ(missing, 0u) << "of " << returned.size() << " returned records";
}

// --- the shared file ---

SyncShare must_open_share(int dir_fd, const std::string& path) {
  auto opened = SyncShare::open(dir_fd, path);
  if (!opened.ok()) {
    ADD_FAILURE() << opened.error().text();
    std::abort();
  }
  return std::move(opened).value();
}

TEST(SyncShare, AFreshFileHoldsNoPointAndPointsAreSharedByEveryOpener) {
  TempDir tmp;
  UniqueFd dir = ok_value(sys::open(tmp.path(), O_RDONLY | O_DIRECTORY));
  const std::string path = tmp.file(kSyncShareFileName);
  SyncShare a = must_open_share(dir.get(), path);
  EXPECT_FALSE(a.written().has_value());
  EXPECT_FALSE(a.synced().has_value());
  SyncShare b = must_open_share(dir.get(), path);
  const LogIdentity log{1, 2, 3};
  a.store_written({log, 100});
  b.store_synced({log, 90});
  ASSERT_TRUE(b.written().has_value());
  EXPECT_EQ(b.written()->log, log);
  EXPECT_EQ(b.written()->offset, 100u);
  ASSERT_TRUE(a.synced().has_value());
  EXPECT_EQ(a.synced()->offset, 90u);
  EXPECT_EQ(file_size(path), 4096u);
}

// A point left half stored (its count odd, as by a process that died while
// storing it) reads as none, until the next store makes it whole.
TEST(SyncShare, AHalfStoredPointReadsAsNone) {
  TempDir tmp;
  UniqueFd dir = ok_value(sys::open(tmp.path(), O_RDONLY | O_DIRECTORY));
  const std::string path = tmp.file(kSyncShareFileName);
  SyncShare share = must_open_share(dir.get(), path);
  share.store_synced({{1, 2, 3}, 500});
  {
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto* words = static_cast<uint64_t*>(page);
    words[128 / 8] += 1;  // the synced point's count, as a writer leaves it midway
    ::munmap(page, 4096);
    ::close(fd);
  }
  EXPECT_FALSE(share.synced().has_value());
  share.store_synced({{1, 2, 3}, 600});
  ASSERT_TRUE(share.synced().has_value());
  EXPECT_EQ(share.synced()->offset, 600u);
}

TEST(SyncShare, AFileOfAnotherKindIsRefused) {
  TempDir tmp;
  UniqueFd dir = ok_value(sys::open(tmp.path(), O_RDONLY | O_DIRECTORY));
  const std::string path = tmp.file(kSyncShareFileName);
  write_file(path, Bytes(4096, 0x5a));
  EXPECT_FALSE(SyncShare::open(dir.get(), path).ok());
}

// --- covering, on a plain file standing in for a log ---

struct FakeLog {
  TempDir tmp;
  UniqueFd dir = ok_value(sys::open(tmp.path(), O_RDONLY | O_DIRECTORY));
  std::string path = tmp.file("log");
  UniqueFd fd = ok_value(sys::open(path, O_RDWR | O_CREAT | O_APPEND, 0644));
  uint64_t end = 0;
  LogIdentity id(uint64_t generation = 7) const {
    struct ::stat st {};
    EXPECT_EQ(::fstat(fd.get(), &st), 0);
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), generation};
  }
  uint64_t append(size_t n) {
    const Bytes bytes(n, 'r');
    EXPECT_TRUE(sys::write_all(fd.get(), bytes.data(), bytes.size()).ok());
    return end += n;
  }
  std::unique_ptr<GroupCommit> group() const {
    return ok_value(GroupCommit::open(dir.get(), tmp.file(kSyncShareFileName)));
  }
};

// Two objects stand for two processes (two open file descriptions): the
// first to sync covers what the other wrote before that sync began.
TEST(GroupCommit, OneSyncCoversEveryRecordWrittenBeforeIt) {
  FakeLog log;
  auto a = log.group(), b = log.group();
  const uint64_t a_end = log.append(100);
  a->note_written(log.id(), a_end);
  const SyncTicket ta = ok_value(a->ticket(log.id(), log.fd.get(), a_end));
  const uint64_t b_end = log.append(50);
  b->note_written(log.id(), b_end);
  const SyncTicket tb = ok_value(b->ticket(log.id(), log.fd.get(), b_end));
  EXPECT_FALSE(a->covered(ta.point));
  {
    CallCounter syncs(Call::kFullSync);
    ASSERT_TRUE(a->wait(ta).ok());
    EXPECT_EQ(syncs.count(), 1u);
  }
  ASSERT_TRUE(b->share().synced().has_value());
  EXPECT_EQ(b->share().synced()->offset, b_end) << "synced as far as was written";
  CallCounter syncs(Call::kFullSync);
  ASSERT_TRUE(b->wait(tb).ok());
  ASSERT_TRUE(a->wait(ta).ok());
  EXPECT_EQ(syncs.count(), 0u);
  EXPECT_TRUE(a->covered({log.id(), b_end}));
  EXPECT_FALSE(a->covered({log.id(), b_end + 1}));
}

// A published sync of another generation (or another file) covers nothing
// of this one, however far it reached.
TEST(GroupCommit, OnlyASyncOfTheSameLogCovers) {
  FakeLog log;
  auto a = log.group(), b = log.group();
  const uint64_t end = log.append(10);
  const SyncTicket newer = ok_value(b->ticket(log.id(8), log.fd.get(), 1'000'000));
  b->note_written(log.id(8), 1'000'000);
  ASSERT_TRUE(b->wait(newer).ok());
  EXPECT_FALSE(a->covered({log.id(7), end}));
  LogIdentity other_file = log.id(7);
  other_file.ino += 1;
  EXPECT_FALSE(a->covered({other_file, end}));
  // The older ticket syncs through its own descriptor, and is then covered.
  const SyncTicket older = ok_value(a->ticket(log.id(7), log.fd.get(), end));
  CallCounter syncs(Call::kFullSync);
  ASSERT_TRUE(a->wait(older).ok());
  EXPECT_EQ(syncs.count(), 1u);
  EXPECT_TRUE(a->covered(older.point));
}

// A ticket keeps its descriptor: the log's own handle may close (a new
// generation was opened) before the ticket's sync.
TEST(GroupCommit, ATicketOutlivesTheHandleItWasTakenThrough) {
  FakeLog log;
  auto a = log.group();
  const uint64_t end = log.append(10);
  const LogIdentity id = log.id();
  const SyncTicket ticket = ok_value(a->ticket(id, log.fd.get(), end));
  log.fd.reset();
  FakeLog next;
  (void)ok_value(a->ticket(next.id(8), next.fd.get(), next.append(5)));
  EXPECT_TRUE(a->wait(ticket).ok());
  EXPECT_TRUE(a->covered({id, end}));
}

// A failed sync is the error of every ticket of this object it would have
// covered, and publishes nothing; a later write syncs anew. Another object
// (another process, whose descriptor reports its own errors) syncs itself.
TEST(GroupCommit, AFailedSyncFailsItsWaitersAndPublishesNothing) {
  FakeLog log;
  auto a = log.group(), b = log.group();
  const uint64_t first = log.append(60);
  a->note_written(log.id(), first);
  const SyncTicket t1 = ok_value(a->ticket(log.id(), log.fd.get(), first));
  const uint64_t second = log.append(40);
  a->note_written(log.id(), second);
  const SyncTicket t2 = ok_value(a->ticket(log.id(), log.fd.get(), second));
  {
    FaultScope faults;
    faults.fail(Call::kFullSync, EIO);
    Status failed = a->wait(t2);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().os_code(), EIO);
  }
  EXPECT_FALSE(a->share().synced().has_value()) << "an offset was published unsynced";
  {
    CallCounter syncs(Call::kFullSync);
    Status failed = a->wait(t1);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().os_code(), EIO);
    EXPECT_EQ(syncs.count(), 0u);
  }
  const uint64_t third = log.append(30);
  a->note_written(log.id(), third);
  const SyncTicket t3 = ok_value(a->ticket(log.id(), log.fd.get(), third));
  ASSERT_TRUE(a->wait(t3).ok());
  EXPECT_EQ(a->share().synced()->offset, third);

  const SyncTicket tb = ok_value(b->ticket(log.id(), log.fd.get(), third));
  EXPECT_TRUE(b->wait(tb).ok());
}

// --- the engine ---

TEST(EngineGroupCommit, ADurableCallIsCoveredWhenItReturns) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  GroupCommit* group = q->impl().group_commit.get();
  ASSERT_NE(group, nullptr);
  for (int i = 0; i < 3; ++i) {
    CallCounter syncs(Call::kFullSync);
    must_enqueue(*q, "m");
    EXPECT_EQ(syncs.count(), 1u);
    const Inner& inner = q->impl().inner;
    EXPECT_TRUE(group->covered(
        {{uint64_t(inner.files->dev), uint64_t(inner.files->ino), inner.generation}, inner.log_bytes}));
  }
  // Nothing written, nothing synced.
  CallCounter syncs(Call::kFullSync);
  EXPECT_FALSE(ok_value(q->ack(99)));
  EXPECT_EQ(syncs.count(), 0u);
}

// Records another object wrote without a sync of their own (a relaxed
// one's) are covered by the next durable call's sync, and published so.
TEST(EngineGroupCommit, ASyncCoversTheWholeLogWrittenBeforeIt) {
  TempDir tmp;
  auto relaxed = open_queue(tmp.path(), make_settings(kHourMs));
  auto durable = open_queue(tmp.path());
  ASSERT_TRUE(relaxed && durable);
  for (int i = 0; i < 5; ++i) must_enqueue(*relaxed, "relaxed");
  must_enqueue(*durable, "durable");
  must_enqueue(*relaxed, "after");
  const SyncShare& share = durable->impl().group_commit->share();
  ASSERT_TRUE(share.synced().has_value());
  EXPECT_EQ(share.synced()->offset, file_size(tmp.file("queue.log")) - (33 + 5));
}

TEST(EngineGroupCommit, ThreadsShareSyncsAndEveryReturnedRecordSurvivesAPowerCut) {
  TempDir tmp;
  auto one = open_queue(tmp.path());
  auto two = open_queue(tmp.path());  // another open file description, as another process
  ASSERT_TRUE(one && two);
  ObservedSyncs observed(ino_of(tmp.file("queue.log")));
  constexpr int kThreads = 4, kEach = 150;
  std::vector<std::set<std::string>> returned(kThreads);
  std::atomic<int> failures{0};
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        Queue& q = t % 2 == 0 ? *one : *two;
        for (int i = 0; i < kEach; ++i) {
          const std::string body = label("t", t, i);
          const Bytes b = bytes_of(body);
          if (q.enqueue(span_of(b)).ok()) {
            returned[t].insert(body);
          } else {
            ++failures;
          }
        }
      });
    }
    for (std::thread& t : threads) t.join();
  }
  EXPECT_EQ(failures.load(), 0);
  std::set<std::string> all;
  for (const auto& r : returned) all.insert(r.begin(), r.end());
  EXPECT_EQ(all.size(), size_t{kThreads * kEach});
  expect_all_survive(all, bodies_after_power_cut(tmp.file("queue.log"), g_durable.load()));
}

// Runs `body` in a forked child whose syncs are reported to `report` and
// which writes each body it got back to `returned`; returns the child's pid.
pid_t fork_child(const std::string& report, const std::function<int(int returned_fd)>& body,
                 const std::string& returned) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  g_report_fd = ::open(report.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  sys::observe_syncs(on_sync);
  const int out = ::open(returned.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::_exit(g_report_fd >= 0 && out >= 0 ? body(out) : 3);
}

int exit_code_of(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// The longest synced length of `ino` in the reports; the lines of `returned`.
uint64_t durable_in_reports(const std::vector<std::string>& reports, uint64_t ino) {
  uint64_t durable = 0;
  for (const std::string& path : reports) {
    std::istringstream lines(to_string(read_file(path)));
    uint64_t i = 0, length = 0;
    while (lines >> i >> length) {
      if (i == ino) durable = std::max(durable, length);
    }
  }
  return durable;
}

std::set<std::string> lines_of(const std::vector<std::string>& paths) {
  std::set<std::string> out;
  for (const std::string& path : paths) {
    std::istringstream lines(to_string(read_file(path)));
    for (std::string line; std::getline(lines, line);) out.insert(line);
  }
  return out;
}

int put_loop(Queue& q, int child, int count, int returned_fd) {
  for (int i = 0; i < count; ++i) {
    const std::string body = label("c", child, i);
    const Bytes b = bytes_of(body);
    if (!q.enqueue(span_of(b)).ok()) return 1;
    std::string line = body;
    line.push_back('\n');
    if (::write(returned_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      return 2;
    }
  }
  return 0;
}

// Processes put concurrently, some through an object opened before the fork
// (which must take fresh locks in the child), one compacting meanwhile: each
// put that returned is in the final log's durable part.
TEST(EngineGroupCommit, ForkedProcessesAcrossCompactionLoseNoReturnedRecord) {
  TempDir tmp;
  auto inherited = open_queue(tmp.path());
  ASSERT_TRUE(inherited);
  must_enqueue(*inherited, "before the fork");
  constexpr int kChildren = 4, kEach = 120;
  std::vector<std::string> reports, returns;
  std::vector<pid_t> pids;
  for (int c = 0; c <= kChildren; ++c) {
    reports.push_back(tmp.file(numbered("report-", c)));
    returns.push_back(tmp.file(numbered("returned-", c)));
    pids.push_back(fork_child(
        reports.back(),
        [&, c](int returned_fd) -> int {
          if (c == kChildren) {  // the compactor
            auto q = open_queue(tmp.path());
            for (int i = 0; q && i < 8; ++i) {
              if (!q->compact().ok()) return 4;
            }
            return q ? 0 : 5;
          }
          if (c % 2 == 0) return put_loop(*inherited, c, kEach, returned_fd);
          auto own = open_queue(tmp.path());
          return own ? put_loop(*own, c, kEach, returned_fd) : 5;
        },
        returns.back()));
  }
  for (pid_t pid : pids) EXPECT_EQ(exit_code_of(pid), 0);
  inherited.reset();
  const std::set<std::string> returned = lines_of(returns);
  EXPECT_EQ(returned.size(), size_t{kChildren * kEach});
  const uint64_t durable = durable_in_reports(reports, ino_of(tmp.file("queue.log")));
  expect_all_survive(returned, bodies_after_power_cut(tmp.file("queue.log"), durable));
  auto fresh = open_queue(tmp.path());
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(ok_value(fresh->verify_integrity()).ok);
  EXPECT_EQ(must_stats(*fresh).total, uint64_t{kChildren * kEach + 1});
}

// Purges (new generations) while others put and wait: no call fails, and
// each put after the last purge is in the final log's durable part.
TEST(EngineGroupCommit, PutsAcrossPurgesNeitherFailNorLoseTheirRecords) {
  TempDir tmp;
  ASSERT_TRUE(open_queue(tmp.path()));
  constexpr int kChildren = 3, kEach = 80;
  std::vector<std::string> reports, returns;
  std::vector<pid_t> pids;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  for (int c = 0; c <= kChildren; ++c) {
    reports.push_back(tmp.file(numbered("report-", c)));
    returns.push_back(tmp.file(numbered("returned-", c)));
    pids.push_back(fork_child(
        reports.back(),
        [&, c](int returned_fd) -> int {
          auto q = open_queue(tmp.path());
          if (!q) return 5;
          if (c == kChildren) {  // the purger; then lets the others make their last put
            for (int i = 0; i < 6; ++i) {
              if (!q->purge().ok()) return 4;
            }
            const char ready[kChildren] = {};
            return ::write(go[1], ready, kChildren) == kChildren ? 0 : 6;
          }
          if (put_loop(*q, c, kEach, returned_fd) != 0) return 1;
          char byte = 0;
          if (::read(go[0], &byte, 1) != 1) return 7;
          return put_loop(*q, 100 + c, 1, returned_fd);
        },
        returns.back()));
  }
  ::close(go[0]);
  ::close(go[1]);
  for (pid_t pid : pids) EXPECT_EQ(exit_code_of(pid), 0);
  std::set<std::string> last;
  for (int c = 0; c < kChildren; ++c) last.insert(label("c", 100 + c, 0));
  const uint64_t durable = durable_in_reports(reports, ino_of(tmp.file("queue.log")));
  expect_all_survive(last, bodies_after_power_cut(tmp.file("queue.log"), durable));
}

// The descriptor tickets share does not keep a replaced log's file (and
// its space) alive once no ticket holds it.
TEST(EngineGroupCommit, AReplacedLogIsNotHeldOpen) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "m");
  ASSERT_TRUE(q->compact().ok());
  size_t deleted = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
    if (target.find(tmp.path()) == 0 && target.find("(deleted)") != std::string::npos) ++deleted;
  }
  EXPECT_EQ(deleted, 0u);
  must_enqueue(*q, "after");
}

// --- falling back ---

void expect_syncs_under_the_lock(const std::string& dir) {
  auto q = open_queue(dir);
  ASSERT_TRUE(q);
  EXPECT_EQ(q->impl().group_commit, nullptr);
  ObservedSyncs observed(ino_of(dir + "/queue.log"));
  for (int i = 0; i < 3; ++i) {
    CallCounter syncs(Call::kFullSync);
    must_enqueue(*q, numbered("fallback ", i));
    EXPECT_EQ(syncs.count(), 1u);
  }
  expect_all_survive({"fallback 0", "fallback 1", "fallback 2"},
                     bodies_after_power_cut(dir + "/queue.log", g_durable.load()));
}

TEST(EngineGroupCommit, WhereTheSharedFileCannotBeMadeSyncsRunUnderTheLock) {
  TempDir tmp;
  ASSERT_TRUE(open_queue(tmp.path()));
  std::filesystem::remove(tmp.file(kSyncShareFileName));
  std::filesystem::create_directory(tmp.file(kSyncShareFileName));
  expect_syncs_under_the_lock(tmp.path());
}

TEST(EngineGroupCommit, WhereTheSharedFileCannotBeMappedSyncsRunUnderTheLock) {
  TempDir tmp;
  ASSERT_TRUE(open_queue(tmp.path()));
  {
    FaultScope faults;  // the header's map (which may fail) and then the shared file's
    faults.fail(Call::kMmap, ENOMEM, 0, 2);
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    EXPECT_EQ(q->impl().group_commit, nullptr);
    must_enqueue(*q, "unmapped");
  }
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  EXPECT_NE(q->impl().group_commit, nullptr);
}

TEST(EngineGroupCommit, TheEnvironmentCanTurnItOff) {
  TempDir tmp;
  ::setenv("TARNWICK_GROUP_COMMIT", "0", 1);
  expect_syncs_under_the_lock(tmp.path());
  ::unsetenv("TARNWICK_GROUP_COMMIT");
}

// A log deleted by hand and made anew at generation 0 may get the deleted
// one's inode number, and so its identity: what the sync-state file said of
// the old log must be gone before the new one's records are written, or it
// would cover records never synced. Both ways a fresh log is made: by an
// open, and by a handle that finds its log gone.
TEST(EngineGroupCommit, AFreshLogClearsWhatTheFileSaidOfTheLogBefore) {
  for (const bool by_open : {true, false}) {
    SCOPED_TRACE(by_open ? "a new handle" : "an open handle");
    TempDir tmp;
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "m");
    const Inner& inner = q->impl().inner;
    const LogIdentity old_log{uint64_t(inner.files->dev), uint64_t(inner.files->ino),
                              inner.generation};
    UniqueFd dir = ok_value(sys::open(tmp.path(), O_RDONLY | O_DIRECTORY));
    SyncShare share = must_open_share(dir.get(), tmp.file(kSyncShareFileName));
    ASSERT_TRUE(share.synced().has_value());
    ASSERT_EQ(share.synced()->log, old_log);
    ASSERT_EQ(share.written()->log, old_log);
    if (by_open) q.reset();
    ASSERT_EQ(::unlink(tmp.file("queue.log").c_str()), 0);
    if (by_open) {
      q = open_queue(tmp.path());
      ASSERT_TRUE(q);
    } else {
      EXPECT_FALSE(ok_value(q->ack(99)));  // catches up: the log is made anew
    }
    for (const auto& point : {share.synced(), share.written()}) {
      ASSERT_TRUE(point.has_value());
      EXPECT_EQ(point->log, LogIdentity{});
      EXPECT_EQ(point->offset, 0u);
    }
  }
}

TEST(EngineGroupCommit, AQueueWithoutALogHasNone) {
  auto q = open_queue(":memory:");
  ASSERT_TRUE(q);
  EXPECT_EQ(q->impl().group_commit, nullptr);
  CallCounter syncs(Call::kFullSync);
  must_enqueue(*q, "in memory");
  EXPECT_EQ(syncs.count(), 0u);
}

}  // namespace
}  // namespace tarnwick::testing
