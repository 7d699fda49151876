// Several objects and processes on one directory: catching up with each
// other's frames, repairing torn tails, and noticing a replaced log.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <set>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

using sys::Call;
namespace fs = std::filesystem;

void append_bytes(const std::string& path, const Bytes& extra) {
  Bytes all = read_file(path);
  all.insert(all.end(), extra.begin(), extra.end());
  write_file(path, all);  // same inode: the stream truncates and rewrites
}

TEST(EngineCatchUp, TwoObjectsSeeEachOthersRecords) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  EXPECT_EQ(must_enqueue(*a, "from a"), 0u);
  EXPECT_EQ(ok_value(b->available()), 1u);
  EXPECT_EQ(must_enqueue(*b, "from b"), 1u) << "b must continue a's seqs";
  auto d = must_dequeue(*b, kHourMs);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seq, 0u);
  EXPECT_EQ(to_string(d->body), "from a");
  // a applied b's LEASE: it does not hand out the same message.
  auto d2 = must_dequeue(*a, kHourMs);
  ASSERT_TRUE(d2);
  EXPECT_EQ(d2->seq, 1u);
  EXPECT_EQ(to_string(d2->body), "from b");
  EXPECT_EQ(ok_value(a->in_flight()), 2u);
  // Settling in one object is seen by the other.
  EXPECT_TRUE(ok_value(b->ack(1)));
  EXPECT_FALSE(ok_value(a->ack(1))) << "a second ACK of one seq";
  EXPECT_TRUE(ok_value(a->ack(0)));
  EXPECT_EQ(ok_value(b->in_flight()), 0u);
  EXPECT_EQ(must_stats(*b).log_bytes, must_stats(*a).log_bytes);
  EXPECT_EQ(snapshot(*a), snapshot(*b));
  // A body appended by the other object after this one mapped the log.
  must_enqueue(*a, "x");
  ASSERT_TRUE(must_dequeue(*b));
  must_enqueue(*a, std::string(10000, 'y'));
  auto late = must_dequeue(*b);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->body, Bytes(10000, 'y'));
}

// Where statx is refused, catch-up learns the log's identity from fstatat:
// appends and a replacement of the log by another object are still seen.
TEST(EngineCatchUp, WorksWhereStatxIsRefused) {
  TempDir tmp;
  FaultScope faults;
  faults.fail(Call::kStatx, ENOSYS, 0, UINT64_MAX);
  CallCounter stats(Call::kStat);
  auto a = open_queue(tmp.path());
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  for (const char* body : {"m0", "m1", "m2"}) must_enqueue(*a, body);
  EXPECT_EQ(ok_value(b->available()), 3u);
  EXPECT_TRUE(ok_value(b->ack(0)));
  ASSERT_TRUE(a->compact().ok());
  EXPECT_EQ(must_stats(*b).generation, 1u) << "b missed the replaced log";
  EXPECT_EQ(must_enqueue(*b, "m3"), 3u);
  EXPECT_EQ(ok_value(a->available()), 3u);
  expect_fresh_open_agrees(tmp.path(), *a);
  EXPECT_GT(stats.count(), 0u);
}

TEST(EngineCatchUp, TornFrameIsCutWithAWarning) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  ASSERT_TRUE(a);
  must_enqueue(*a, "one");
  must_enqueue(*a, "two");
  const std::string log_path = tmp.file("queue.log");
  const uint64_t good = file_size(log_path);
  // A writer that died in the middle of a frame: a whole frame's first half.
  LogBuilder other;
  other.enqueue(2, 5, "half written body");
  Bytes half(other.bytes().begin() + 16, other.bytes().begin() + 16 + 20);
  append_bytes(log_path, half);

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ok_value(a->available()), 2u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Tarnwick: truncated corrupt log tail at byte " + std::to_string(good) + "\n");
  EXPECT_EQ(file_size(log_path), good);
  EXPECT_EQ(must_stats(*a).log_bytes, good);
  EXPECT_EQ(must_enqueue(*a, "three"), 2u);
  expect_fresh_open_agrees(tmp.path(), *a);
}

TEST(EngineCatchUp, UndecodableLastFrameIsCut) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  ASSERT_TRUE(a);
  must_enqueue(*a, "keep");
  const std::string log_path = tmp.file("queue.log");
  const uint64_t good = file_size(log_path);
  LogBuilder extra;
  extra.frame({13, 1, 2, 3, 4, 5, 6, 7, 8});
  append_bytes(log_path, Bytes(extra.bytes().begin() + 16, extra.bytes().end()));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ok_value(a->available()), 1u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Tarnwick: truncated corrupt log tail at byte " + std::to_string(good) + "\n");
  EXPECT_EQ(file_size(log_path), good);
  const auto repair = a->last_repair();
  ASSERT_TRUE(repair);
  EXPECT_EQ(repair->cut_tail, (DamagedRange{good, 21, "unknown record type 13"}));
}

// Damage that catch-up meets with intact frames after it is not cut: the
// whole log is rebuilt as recovery rebuilds it, keeping every intact record,
// and the other objects on the directory follow the new generation.
TEST(EngineCatchUp, DamageWithIntactFramesAfterItIsSkippedNotCut) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  must_enqueue(*a, "keep");
  EXPECT_EQ(ok_value(b->available()), 1u);
  const std::string log_path = tmp.file("queue.log");
  const uint64_t good = file_size(log_path);
  LogBuilder extra;
  extra.frame({13, 1, 2, 3, 4, 5, 6, 7, 8}).enqueue(1, 1, "after the bad one");
  append_bytes(log_path, Bytes(extra.bytes().begin() + 16, extra.bytes().end()));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ok_value(a->available()), 2u);
  const std::string err = ::testing::internal::GetCapturedStderr();
  const auto repair = a->last_repair();
  ASSERT_TRUE(repair);
  EXPECT_EQ(repair->skipped, (std::vector<DamagedRange>{{good, 21, "unknown record type 13"}}));
  EXPECT_EQ(repair->generation, 1u);
  EXPECT_EQ(err, "Tarnwick: skipped 21 damaged bytes in " + log_path + " at bytes " +
                     std::to_string(good) + "-" + std::to_string(good + 20) +
                     " (unknown record type 13); kept 2 intact records; the damaged log was kept as " +
                     repair->damaged_copy + "\n");
  EXPECT_EQ(file_size(repair->damaged_copy), good + extra.size() - 16);
  EXPECT_EQ(must_stats(*a).generation, 1u);
  const Snapshot expected = {{0, Msg{bytes_of("keep"), 0, snapshot(*a).at(0).enqueued_ts_ms, {}}},
                             {1, Msg{bytes_of("after the bad one"), 0, 1, {}}}};
  EXPECT_EQ(snapshot(*a), expected);
  EXPECT_EQ(ok_value(b->available()), 2u);
  EXPECT_EQ(snapshot(*b), expected);
  EXPECT_TRUE(ok_value(a->verify_integrity()).ok);
  expect_fresh_open_agrees(tmp.path(), *a);
}

// A repair that fails leaves the object working: a failed cut is tried again
// (with its warning) by the next catch-up; a cut whose syncs failed is not
// undone.
TEST(EngineCatchUp, FailedRepairIsRetriedByTheNextCatchUp) {
  for (Call failing : {Call::kFtruncate, Call::kFullSync, Call::kOpen}) {
    SCOPED_TRACE(static_cast<int>(failing));
    TempDir tmp;
    auto a = open_queue(tmp.path());
    ASSERT_TRUE(a);
    must_enqueue(*a, "one");
    const std::string log_path = tmp.file("queue.log");
    const uint64_t good = file_size(log_path);
    append_bytes(log_path, {'j', 'u', 'n', 'k', '!', '!', '!', '!', '!', '!', '!', '!', '!'});
    ::testing::internal::CaptureStderr();
    {
      FaultScope faults;
      faults.fail(failing, EIO);
      auto r = a->enqueue(span_of(bytes_of("blocked")));
      EXPECT_FALSE(r.ok());  // no ASSERT while standard error is captured
      if (!r.ok()) {
        EXPECT_EQ(r.error().os_code(), EIO);
      }
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "warned without repairing";
    EXPECT_TRUE(lock_is_free(tmp.path()));
    EXPECT_EQ(a->impl().inner.applied_offset, good);
    EXPECT_EQ(file_size(log_path), failing == Call::kFtruncate ? good + 13 : good);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(must_enqueue(*a, "after repair"), 1u);
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (failing == Call::kFtruncate) {
      EXPECT_EQ(err, "Tarnwick: truncated corrupt log tail at byte " + std::to_string(good) + "\n");
    }
    const ParsedLog log = parse_log(read_file(log_path));
    EXPECT_TRUE(log.clean);
    EXPECT_EQ(log.frames.size(), 2u);
    expect_fresh_open_agrees(tmp.path(), *a);
  }
}

TEST(EngineCatchUp, DeletedLogIsRecreatedEmpty) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  ASSERT_TRUE(a);
  must_enqueue(*a, "one");
  must_enqueue(*a, "two");
  ASSERT_TRUE(a->compact().ok());  // generation 1, so 0 would differ anyway
  fs::remove(tmp.file("queue.log"));
  QueueStats s = must_stats(*a);
  EXPECT_EQ(s.generation, 0u);
  EXPECT_EQ(s.total, 0u);
  EXPECT_EQ(s.log_bytes, 16u);
  EXPECT_EQ(s.next_seq, 0u);
  EXPECT_EQ(must_enqueue(*a, "new"), 0u);
  EXPECT_EQ(file_size(tmp.file("queue.log")), 16u + 33 + 3);
}

TEST(EngineCatchUp, DeletedLogOfGenerationZeroIsNoticed) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  ASSERT_TRUE(a);
  must_enqueue(*a, "one");
  fs::remove(tmp.file("queue.log"));
  EXPECT_EQ(ok_value(a->available()), 0u);
  EXPECT_EQ(must_enqueue(*a, "fresh"), 0u);
  expect_fresh_open_agrees(tmp.path(), *a);
  EXPECT_EQ(snapshot(*a).size(), 1u);
}

// Deletes the log and lets another object create a new one of the same
// generation 0 holding four messages; returns the new file's bytes.
Bytes replace_with_fresh_log(const TempDir& tmp) {
  fs::remove(tmp.file("queue.log"));
  auto other = open_queue(tmp.path());
  EXPECT_TRUE(other);
  for (const char* body : {"n0", "n1", "n2", "n3"}) must_enqueue(*other, body);
  other.reset();
  return read_file(tmp.file("queue.log"));
}

// Until the directory has been still for a while, each call looks the log's
// name up; after that the directory's stamp stands in for the lookup. A log
// replaced in either state is noticed.
void look_up_or_trust_stamps(bool trusted, const TempDir& tmp, Queue& q,
                             std::optional<StampsDistrusted>& distrusted) {
  if (!trusted) {
    distrusted.emplace();
    return;
  }
  ASSERT_TRUE(wait_until_settled(tmp.path()));
  ASSERT_TRUE(q.in_flight().ok());  // both names checked under the settled stamp
  CallCounter lookups(Call::kStat);
  ASSERT_TRUE(q.in_flight().ok());
  ASSERT_EQ(lookups.count(), 0u) << "the settled stamp did not stand in for the lookups";
}

// Another object creates a new log of the same generation in the place of a
// deleted one: the replacement is noticed by the file's identity, even when
// the new file is longer than what this object had applied.
TEST(EngineCatchUp, SameGenerationReplacementIsNoticed) {
  for (bool trusted : {false, true}) {
    SCOPED_TRACE(trusted);
    TempDir tmp;
    const std::string log_path = tmp.file("queue.log");
    auto a = open_queue(tmp.path());
    ASSERT_TRUE(a);
    must_enqueue(*a, "old message");
    std::optional<StampsDistrusted> distrusted;
    look_up_or_trust_stamps(trusted, tmp, *a, distrusted);
    const Bytes replacement = replace_with_fresh_log(tmp);
    ASSERT_GT(replacement.size(), a->impl().inner.applied_offset);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(ok_value(a->available()), 4u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(read_file(log_path), replacement) << "the new log was damaged";
    EXPECT_EQ(must_enqueue(*a, "n4"), 4u);
    expect_fresh_open_agrees(tmp.path(), *a);
    EXPECT_EQ(to_string(snapshot(*a).at(4).body), "n4") << "appended to the unlinked file";
  }
}

TEST(EngineCatchUp, RenamedInReplacementOfSameGenerationIsNoticed) {
  for (bool trusted : {false, true}) {
    SCOPED_TRACE(trusted);
    TempDir tmp;
    const std::string log_path = tmp.file("queue.log");
    auto a = open_queue(tmp.path());
    ASSERT_TRUE(a);
    must_enqueue(*a, "a0");
    LogBuilder other;
    other.enqueue(0, 1, "r0").enqueue(1, 1, "r1").enqueue(2, 1, "r2");
    write_file(tmp.file("elsewhere"), other.bytes());
    std::optional<StampsDistrusted> distrusted;
    look_up_or_trust_stamps(trusted, tmp, *a, distrusted);
    fs::rename(tmp.file("elsewhere"), log_path);
    auto d = must_dequeue(*a);
    ASSERT_TRUE(d);
    EXPECT_EQ(to_string(d->body), "r0");
    EXPECT_EQ(must_enqueue(*a, "a3"), 3u);
    EXPECT_TRUE(parse_log(read_file(log_path)).clean);
  }
}

// Appends by another object are read from the file's length alone while the
// directory's stamp vouches for both names.
TEST(EngineCatchUp, AppendsAreSeenWhileTheStampVouchesForTheNames) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  std::optional<StampsDistrusted> unused;
  look_up_or_trust_stamps(true, tmp, *a, unused);
  look_up_or_trust_stamps(true, tmp, *b, unused);
  CallCounter lookups(Call::kStat);
  for (int i = 0; i < 5; ++i) {
    must_enqueue(i % 2 ? *a : *b, "m" + std::to_string(i));
    EXPECT_EQ(ok_value(a->available()), static_cast<uint64_t>(i + 1));
    EXPECT_EQ(ok_value(b->available()), static_cast<uint64_t>(i + 1));
    EXPECT_EQ(snapshot(*a), snapshot(*b));
  }
  EXPECT_EQ(lookups.count(), 0u);
  // b's compaction renames a new log into place: a looks the names up again.
  ASSERT_TRUE(b->compact().ok());
  EXPECT_EQ(ok_value(a->available()), 5u);
  EXPECT_EQ(must_stats(*a).generation, 1u);
  EXPECT_EQ(must_enqueue(*a, "after"), 5u);
  EXPECT_EQ(ok_value(b->available()), 6u);
  expect_fresh_open_agrees(tmp.path(), *b);
}

TEST(EngineCatchUp, ShortenedLogIsReloaded) {
  TempDir tmp;
  const std::string log_path = tmp.file("queue.log");
  auto a = open_queue(tmp.path());
  ASSERT_TRUE(a);
  must_enqueue(*a, "zero");
  const uint64_t first = file_size(log_path);
  must_enqueue(*a, "one");
  must_enqueue(*a, "two");
  fs::resize_file(log_path, first);  // same file, same generation, shorter
  EXPECT_EQ(ok_value(a->available()), 1u);
  EXPECT_EQ(must_stats(*a).log_bytes, first);
  EXPECT_EQ(must_enqueue(*a, "again one"), 1u);
  const ParsedLog log = parse_log(read_file(log_path));
  EXPECT_TRUE(log.clean);
  EXPECT_EQ(log.frames.size(), 2u);
  expect_fresh_open_agrees(tmp.path(), *a);
}

// The header is read from a map of the log when one could be made and with
// pread otherwise; either way an in-place change is seen at the next call.
TEST(EngineCatchUp, OverwrittenMagicFailsEveryOperation) {
  for (const bool map_fails : {false, true}) {
    SCOPED_TRACE(map_fails ? "header read with pread" : "header read from the map");
    TempDir tmp;
    const std::string log_path = tmp.file("queue.log");
    std::unique_ptr<Queue> a;
    {
      FaultScope faults;
      if (map_fails) faults.fail(Call::kMmap, ENOMEM);
      a = open_queue(tmp.path());
    }
    ASSERT_TRUE(a);
    EXPECT_EQ(a->impl().inner.files->header_map.mapped(), !map_fails);
    must_enqueue(*a, "zero");
    Bytes file = read_file(log_path);
    file[0] = 'X';
    write_file(log_path, file);
    for (int i = 0; i < 2; ++i) {
      auto r = a->available();
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().text(), "queue.log has bad magic (not a Tarnwick log)");
      EXPECT_TRUE(lock_is_free(tmp.path()));
    }
    file[0] = 'T';
    write_file(log_path, file);
    EXPECT_EQ(ok_value(a->available()), 1u);
  }
}

TEST(EngineCatchUp, ReadFailureLeavesStateForTheNextTry) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(b->available().ok());
  must_enqueue(*a, "one");
  const uint64_t applied = b->impl().inner.applied_offset;
  {
    FaultScope faults;
    faults.fail(Call::kPread, EIO);  // the read of the appended frame
    EXPECT_FALSE(b->available().ok());
  }
  EXPECT_EQ(b->impl().inner.applied_offset, applied);
  EXPECT_EQ(ok_value(b->available()), 1u);
}

// Lets a forked child go and reaps it on every path out of the test, so a
// failing parent never leaves the child waiting.
class ChildProcess {
 public:
  ChildProcess(pid_t pid, int release_fd) : pid_(pid), release_fd_(release_fd) {}
  ~ChildProcess() { wait(); }
  int wait() {
    if (release_fd_ >= 0) {
      (void)!write(release_fd_, "x", 1);
      close(release_fd_);
      release_fd_ = -1;
    }
    if (pid_ > 0) {
      (void)waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return status_;
  }

 private:
  pid_t pid_;
  int release_fd_;
  int status_ = -1;
};

// A forked child takes fresh handles before its first operation, so parent
// and child exclude each other and their seqs form one run.
TEST(EngineCatchUp, ForkedChildAndParentExcludeEachOther) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "before fork");
  const int parent_lock_fd = q->impl().lock->fd();

  int ready_pipe[2], release_pipe[2];
  ASSERT_EQ(pipe(ready_pipe), 0);
  ASSERT_EQ(pipe(release_pipe), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Child: first operation, then hold the lock until told to let go.
    close(ready_pipe[0]);
    close(release_pipe[1]);
    int code = 0;
    auto n = q->available();
    if (!n.ok() || *n != 1) code = 1;
    if (q->impl().lock->fd() == parent_lock_fd) code = 2;
    auto held = q->impl().lock->write_lock(1000000000ull);
    if (!held.ok()) code = 3;
    char c = static_cast<char>('0' + code);
    (void)!write(ready_pipe[1], &c, 1);
    (void)!read(release_pipe[0], &c, 1);
    _exit(code);
  }
  close(ready_pipe[1]);
  close(release_pipe[0]);
  ChildProcess child(pid, release_pipe[1]);
  char c = 0;
  ASSERT_EQ(read(ready_pipe[0], &c, 1), 1);
  close(ready_pipe[0]);
  EXPECT_EQ(c, '0');
  q->impl().lock_timeout_ns = 50ull * 1000 * 1000;
  auto blocked = q->enqueue(span_of(bytes_of("while child holds the lock")));
  EXPECT_FALSE(blocked.ok()) << "parent got the lock the child holds";
  if (!blocked.ok()) {
    EXPECT_TRUE(blocked.error().is_timeout());
  }
  const int status = child.wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  q->impl().lock_timeout_ns = LOCK_TIMEOUT_NS;
  EXPECT_EQ(must_enqueue(*q, "after"), blocked.ok() ? 2u : 1u);
}

// Runs `body` in a forked child and returns its exit code (-1 on a crash).
template <class F>
int in_child(F&& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The log was replaced by another file of the same generation before the
// fork: the child's fresh handles are on the new file, and it must rebuild
// its state from that file rather than read on from its old offset.
TEST(EngineCatchUp, ForkedChildRebuildsWhenTheLogWasReplaced) {
  TempDir tmp;
  const std::string log_path = tmp.file("queue.log");
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "old");
  const Bytes replacement = replace_with_fresh_log(tmp);
  ::testing::internal::CaptureStderr();
  const int code = in_child([&] {
    auto n = q->available();
    if (!n.ok()) return 1;
    if (*n != 4) return 2;
    return 0;
  });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(err, "");
  EXPECT_EQ(read_file(log_path), replacement) << "the child damaged the new log";
}

// A log deleted before the fork is recreated by the child's first
// operation, as it would be by the parent's.
TEST(EngineCatchUp, ForkedChildRecreatesADeletedLog) {
  TempDir tmp;
  const std::string log_path = tmp.file("queue.log");
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "old");
  fs::remove(log_path);
  const int code = in_child([&] {
    const Bytes body = bytes_of("child");
    auto seq = q->enqueue(span_of(body));
    if (!seq.ok()) {
      std::cerr << "child enqueue: " << seq.error().text() << "\n";
      return 1;
    }
    return *seq == 0 ? 0 : 2;
  });
  EXPECT_EQ(code, 0);
  const ParsedLog log = parse_log(read_file(log_path));
  ASSERT_EQ(log.frames.size(), 1u);
  EXPECT_EQ(to_string(log.frames[0].body), "child");
  EXPECT_EQ(ok_value(q->available()), 1u);
}

// A child whose fresh handles could not be opened reports the failure (or
// rebuilds its state) and retries on its next call, never going on with the
// parent's lock.
TEST(EngineCatchUp, ForkedChildRetriesAFailedReopen) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "m");
  const int parent_lock_fd = q->impl().lock->fd();
  for (uint64_t skip = 0; skip < 3; ++skip) {
    SCOPED_TRACE(skip);
    const int code = in_child([&] {
      bool failed = false;
      {
        FaultScope faults;
        faults.fail(Call::kOpen, EMFILE, skip);
        auto n = q->available();
        failed = !n.ok();
        if (n.ok() && *n != 1) return 1;
      }
      // skip 0: the lock file could not be opened; the call must fail.
      if (skip == 0 && !failed) return 2;
      auto n = q->available();
      if (!n.ok() || *n != 1) return 3;
      if (q->impl().lock->fd() == parent_lock_fd) return 4;
      const Bytes body = bytes_of("from child");
      auto seq = q->enqueue(span_of(body));
      return seq.ok() ? 0 : 5;
    });
    EXPECT_EQ(code, 0);
    ASSERT_TRUE(q->in_flight().ok());
    auto fresh = open_queue(tmp.path());
    ASSERT_TRUE(fresh);
    const Snapshot seen = snapshot(*q);
    EXPECT_EQ(snapshot(*fresh), seen);
    ASSERT_EQ(seen.size(), 2u) << "the child's message is missing";
    EXPECT_EQ(to_string(seen.rbegin()->second.body), "from child");
    EXPECT_TRUE(ok_value(q->ack(seen.rbegin()->first)));
  }
}

TEST(EngineCatchUp, ForkedChildAndParentEnqueueConcurrently) {
  constexpr int kEach = 2000;
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(kHourMs));
  ASSERT_TRUE(q);
  ASSERT_TRUE(q->available().ok());
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 0;
    for (int i = 0; i < kEach && code == 0; ++i) {
      const Bytes body = bytes_of(numbered("child ", i));
      if (!q->enqueue(span_of(body)).ok()) code = 1;
    }
    _exit(code);
  }
  std::set<uint64_t> mine;
  int repeated = 0;
  for (int i = 0; i < kEach; ++i) {
    const Bytes body = bytes_of(numbered("parent ", i));
    auto seq = q->enqueue(span_of(body));
    ASSERT_TRUE(seq.ok()) << seq.error().text();
    if (!mine.insert(*seq).second) ++repeated;
  }
  EXPECT_EQ(repeated, 0) << "the parent got one seq twice";
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  auto report = q->verify_integrity();
  ASSERT_TRUE(report.ok());
  EXPECT_TRUE(report->ok) << report->message;
  EXPECT_EQ(report->records, 2u * kEach);
  const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
  ASSERT_TRUE(log.clean);
  std::set<uint64_t> seqs;
  int from_child = 0, twice = 0, shared = 0, other_tags = 0;
  for (const auto& fr : log.frames) {
    if (fr.tag != 1) ++other_tags;
    if (!seqs.insert(fr.seq).second) ++twice;
    if (to_string(fr.body).rfind("child", 0) == 0) {
      ++from_child;
      if (mine.contains(fr.seq)) ++shared;
    }
  }
  EXPECT_EQ(other_tags, 0);
  EXPECT_EQ(twice, 0) << "seqs handed out twice";
  EXPECT_EQ(shared, 0) << "the child used seqs the parent was given";
  EXPECT_EQ(from_child, kEach);
  ASSERT_EQ(seqs.size(), 2u * kEach);
  EXPECT_EQ(*seqs.begin(), 0u);
  EXPECT_EQ(*seqs.rbegin(), 2u * kEach - 1);
  EXPECT_EQ(ok_value(q->available()), 2u * kEach);
}

}  // namespace
}  // namespace tarnwick::testing
