// JobQueue as the one owner of the operations: a take that finds nothing
// tells when something comes due, stats look once, bodies reach the sink
// together, and TarnwickCore's operations fail as the job queue's do.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <string>

#include "engine_helpers.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

// Keeps what one call handed over, and how many calls it took.
class RunSink final : public DeliverySink {
 public:
  bool deliver_all(std::span<const Delivery> leased) override {
    ++runs;
    return DeliverySink::deliver_all(leased);
  }
  bool deliver(const Delivery& d) override {
    items.push_back({d.seq, Bytes(d.body.begin(), d.body.end()), d.deliveries, d.enqueued_ts_ms});
    deadlines.push_back(d.deadline_ms);
    return true;
  }
  std::vector<Delivered> items;
  std::vector<uint64_t> deadlines;
  int runs = 0;
};

// Holds of the process lock during `op` (only taking it is counted, and
// nothing here contends for it, so each hold is one call).
template <class Op>
uint64_t lock_cycles(Op&& op) {
  CallCounter flocks(Call::kFlock);
  op();
  return flocks.count();
}

TEST(JobQueueOperations, TakeThatFindsNothingTellsTheNextDueTimeInTheSameLockHold) {
  for (const char* where : {"disk", ":memory:"}) {
    SCOPED_TRACE(where);
    TempDir tmp;
    const bool disk = std::string(where) == "disk";
    auto q = open_jobs(disk ? tmp.path() : ":memory:");
    ASSERT_TRUE(q);
    RunSink sink;
    Taken taken = ok_value(q->take({4, std::nullopt, 0, SyncRule::kForce}, sink));
    EXPECT_EQ(taken.count, 0u);
    EXPECT_FALSE(taken.next_due_ms.has_value()) << "nothing is leased or delayed";

    const Bytes body = bytes_of("later");
    const ByteSpan one = span_of(body);
    ASSERT_TRUE(q->put(std::span(&one, 1), kHourMs, SyncRule::kInterval).ok());
    const auto due = ok_value(q->peek(1, false)).at(0).due_ms;
    ASSERT_TRUE(due.has_value());
    const uint64_t cycles = lock_cycles([&] {
      taken = ok_value(q->take({4, std::nullopt, 0, SyncRule::kForce}, sink));
    });
    EXPECT_EQ(taken.count, 0u);
    EXPECT_EQ(taken.next_due_ms, due);
    EXPECT_EQ(taken.next_due_ms, ok_value(q->next_due_ms()));
    if (disk) {
      EXPECT_EQ(cycles, 1u) << "an empty take is one critical section";
    }
    EXPECT_EQ(sink.runs, 0) << "nothing taken, nothing delivered";

    // A take that takes something reports no due time: the caller has work.
    ASSERT_TRUE(q->put(std::span(&one, 1), 0, SyncRule::kInterval).ok());
    taken = ok_value(q->take({4, 60000, 0, SyncRule::kForce}, sink));
    EXPECT_EQ(taken.count, 1u);
    EXPECT_FALSE(taken.next_due_ms.has_value());
    ASSERT_EQ(sink.items.size(), 1u);
    EXPECT_EQ(to_string(sink.items[0].body), "later");
    EXPECT_EQ(sink.items[0].deliveries, 1u);
    // The lease handed over is the current one: it settles.
    const LeaseToken lease{sink.items[0].seq, sink.items[0].enqueued_ts_ms, 1, sink.deadlines[0]};
    EXPECT_TRUE(ok_value(q->ack(lease)));
  }
}

// Every message of a take reaches the sink in one run, after one write, with
// bodies that are all valid at once, also when the first body read mapped
// less of the log than the last one needs.
TEST(JobQueueOperations, ATakeHandsItsMessagesOverInOneRun) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  const std::vector<uint64_t> seqs =
      ok_value(q->put(std::vector<ByteSpan>{span_of(bytes_of("a"))}, 0));
  ASSERT_EQ(seqs, std::vector<uint64_t>{0});
  RunSink first;
  ASSERT_EQ(ok_value(q->take({1, std::nullopt, 0, SyncRule::kInterval}, first)).count, 1u);
  // The log grows far past what the first read mapped.
  const Bytes big(size_t{8} << 20, 'b');
  for (int i = 0; i < 9; ++i) {
    const ByteSpan one = span_of(big);
    ASSERT_TRUE(q->put(std::span(&one, 1), 0, SyncRule::kInterval).ok());
  }
  const Bytes last = bytes_of("last");
  const ByteSpan tail = span_of(last);
  ASSERT_TRUE(q->put(std::span(&tail, 1), 0, SyncRule::kInterval).ok());
  RunSink sink;
  uint64_t writes = 0;
  {
    CallCounter counted(Call::kWrite);
    ASSERT_EQ(ok_value(q->take({20, std::nullopt, 0, SyncRule::kForce}, sink)).count, 10u);
    writes = counted.count();
  }
  EXPECT_EQ(writes, 1u) << "the leases of one take go out in one write";
  EXPECT_EQ(sink.runs, 1);
  ASSERT_EQ(sink.items.size(), 10u);
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(sink.items[i].body, big) << i;
  EXPECT_EQ(to_string(sink.items[9].body), "last");
}

// The sink runs with the process lock released (the object's mutex still
// held): another object on the directory, as another process, gets the lock
// at once meanwhile, and the bodies stay valid.
TEST(JobQueueOperations, TheSinkRunsWithTheProcessLockReleased) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  auto other = open_queue(tmp.path());
  ASSERT_TRUE(q && other);
  other->impl().lock_timeout_ns = 50ull * 1000 * 1000;
  ASSERT_TRUE(q->put(std::vector<ByteSpan>{span_of(bytes_of("a")), span_of(bytes_of("b"))}, 0)
                  .ok());
  class Probe final : public DeliverySink {
   public:
    explicit Probe(Queue& other) : other_(other) {}
    bool deliver(const Delivery& d) override {
      auto ready = other_.available();  // catches up with the leases just written
      lock_free = lock_free && ready.ok() && ready.value() == 0;
      bodies.emplace_back(d.body.begin(), d.body.end());
      return true;
    }
    bool lock_free = true;
    std::vector<Bytes> bodies;

   private:
    Queue& other_;
  } probe(*other);
  ASSERT_EQ(ok_value(q->take({2, std::nullopt, 0, SyncRule::kForce}, probe)).count, 2u);
  EXPECT_TRUE(probe.lock_free);
  EXPECT_EQ(probe.bodies, (std::vector<Bytes>{bytes_of("a"), bytes_of("b")}));
}

// A job queue's stats take the queue's lock and the dead letters' once each,
// and agree with what they count.
TEST(JobQueueOperations, StatsAreOneCriticalSection) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  const Bytes a = bytes_of("a"), b = bytes_of("b"), c = bytes_of("c");
  ASSERT_TRUE(q->put(std::vector<ByteSpan>{span_of(a), span_of(b)}, 0).ok());
  ASSERT_TRUE(q->put(std::vector<ByteSpan>{span_of(c)}, kHourMs).ok());
  auto taken = ok_value(take_copies(*q, 1, std::nullopt, 0));
  ASSERT_EQ(taken.size(), 1u);
  ASSERT_TRUE(ok_value(q->bury(taken[0].lease, "bad")));
  JobStats stats;
  const uint64_t cycles = lock_cycles([&] { stats = ok_value(q->stats()); });
  EXPECT_EQ(cycles, 2u) << "one hold of the queue's lock, within it one of the dead letters'";
  EXPECT_EQ(stats.core.ready, 1u);
  EXPECT_EQ(stats.core.in_flight, 1u);
  EXPECT_EQ(stats.core.total, 2u);
  EXPECT_EQ(stats.scheduled, 1u);
  EXPECT_EQ(stats.dead_letters, 1u);
  EXPECT_EQ(stats.core.dead_total, 1u);
  // A plain queue has no dead letters to lock.
  auto plain = open_queue(tmp.path());
  ASSERT_TRUE(plain);
  EXPECT_EQ(lock_cycles([&] { EXPECT_EQ(must_stats(*plain).total, 2u); }), 1u);
}

// TarnwickCore's enqueue and a job queue's single put are one path: a write
// that fails, wholly or part-way, fails both the same way and leaves the log
// as it was, with nothing for the next catch-up to cut.
TEST(JobQueueOperations, PutAndEnqueueFailTheSameWay) {
  const Bytes body = bytes_of("one message");
  const ByteSpan one = span_of(body);
  for (int error : {ENOSPC, EIO}) {
    for (size_t partial : {size_t{0}, size_t{5}, size_t{20}}) {
      SCOPED_TRACE("errno " + std::to_string(error) + ", " + std::to_string(partial) + " bytes");
      TempDir plain_dir, jobs_dir;
      auto plain = open_queue(plain_dir.path());
      auto jobs = open_jobs(jobs_dir.path());
      ASSERT_TRUE(plain && jobs);
      must_enqueue(*plain, "one message");
      ASSERT_TRUE(jobs->put(std::span(&one, 1), 0).ok());
      const Bytes plain_log = read_file(plain_dir.file("queue.log"));
      const Bytes jobs_log = read_file(jobs_dir.file("queue.log"));
      ASSERT_EQ(plain_log.size(), jobs_log.size());
      std::string enqueue_error, put_error;
      {
        FaultScope faults;
        faults.fail(Call::kWrite, error, 0, UINT64_MAX, partial);
        auto enqueued = plain->enqueue(one);
        ASSERT_FALSE(enqueued.ok());
        enqueue_error = enqueued.error().text();
        auto put = jobs->put(std::span(&one, 1), 0);
        ASSERT_FALSE(put.ok());
        put_error = put.error().text();
      }
      EXPECT_EQ(enqueue_error, put_error);
      EXPECT_EQ(read_file(plain_dir.file("queue.log")), plain_log);
      EXPECT_EQ(read_file(jobs_dir.file("queue.log")), jobs_log);
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(must_enqueue(*plain, "one message"), 1u);
      EXPECT_EQ(ok_value(jobs->put(std::span(&one, 1), 0)), std::vector<uint64_t>{1});
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "nothing was left to cut";
      expect_fresh_open_agrees(plain_dir.path(), *plain);
      expect_fresh_open_agrees(jobs_dir.path(), *jobs);
    }
  }
}

// The length of the log when its last sync began.
std::atomic<uint64_t> g_synced_length{0};
void note_sync(int, uint64_t length_before) { g_synced_length = length_before; }

LeaseToken token_of(const RunSink& sink, size_t i) {
  return {sink.items[i].seq, sink.items[i].enqueued_ts_ms, sink.items[i].deliveries,
          sink.deadlines[i]};
}

// A worker's step from one job to the next: the ack and the next lease in
// one critical section, covered by one sync that began after both were
// written; a lease no longer current acks nothing and the take still
// happens; a failed take keeps the ack it followed.
TEST(JobQueueOperations, AckThenTakeIsOneStepWithOneSync) {
  for (const char* where : {"disk", ":memory:"}) {
    SCOPED_TRACE(where);
    TempDir tmp;
    const bool disk = std::string(where) == "disk";
    auto q = open_jobs(disk ? tmp.path() : ":memory:");
    ASSERT_TRUE(q);
    ASSERT_EQ(ok_value(q->put(std::vector<ByteSpan>{span_of(bytes_of("a")),
                                                    span_of(bytes_of("b"))}, 0)).size(), 2u);
    const TakeRequest one{1, std::nullopt, 0, SyncRule::kInterval};
    RunSink first, second;
    // A take's lock holds: the process lock's, and the sync lock's.
    const uint64_t take_cycles =
        lock_cycles([&] { ASSERT_EQ(ok_value(q->take(one, first)).count, 1u); });
    AckedAndTaken done;
    CallCounter syncs(Call::kFullSync);
    sys::observe_syncs(note_sync);
    const uint64_t cycles = lock_cycles([&] {
      done = ok_value(q->ack_then_take(token_of(first, 0), one, second));
    });
    sys::observe_syncs(nullptr);
    EXPECT_TRUE(done.acked);
    ASSERT_EQ(done.taken.count, 1u);
    ASSERT_EQ(second.items.size(), 1u);
    EXPECT_EQ(to_string(second.items[0].body), "b");
    const JobStats stats = ok_value(q->stats());
    EXPECT_EQ(stats.core.total, 1u);
    EXPECT_EQ(stats.core.in_flight, 1u);
    EXPECT_EQ(stats.core.acked_total, 1u);
    if (disk) {
      EXPECT_EQ(cycles, take_cycles) << "one critical section, one sync, as one take";
      EXPECT_EQ(syncs.count(), 1u) << "one sync for both records";
      EXPECT_EQ(g_synced_length.load(), file_size(tmp.file("queue.log")))
          << "the sync began after both records were written";
    }

    // The first lease is gone: nothing acked, nothing written, and the
    // take (of nothing here) still happens and tells what comes due.
    const uint64_t log_before = disk ? file_size(tmp.file("queue.log")) : 0;
    RunSink none;
    done = ok_value(q->ack_then_take(token_of(first, 0), one, none));
    EXPECT_FALSE(done.acked);
    EXPECT_EQ(done.taken.count, 0u);
    EXPECT_EQ(done.taken.next_due_ms, second.deadlines[0]);
    if (disk) {
      EXPECT_EQ(file_size(tmp.file("queue.log")), log_before);
    }
  }

  // The take's write fails after the ack's: the ack stays, nothing is leased.
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  ASSERT_EQ(ok_value(q->put(std::vector<ByteSpan>{span_of(bytes_of("c")),
                                                  span_of(bytes_of("d"))}, 0)).size(), 2u);
  const TakeRequest one{1, std::nullopt, 0, SyncRule::kInterval};
  RunSink taken, lost;
  ASSERT_EQ(ok_value(q->take(one, taken)).count, 1u);
  {
    FaultScope faults;
    faults.fail(Call::kWrite, EIO, 1);
    EXPECT_FALSE(q->ack_then_take(token_of(taken, 0), one, lost).ok());
  }
  EXPECT_TRUE(lost.items.empty());
  auto fresh = open_jobs(tmp.path());
  ASSERT_TRUE(fresh);
  const auto left = ok_value(fresh->peek(10, true));
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].seq, 1u);
  EXPECT_EQ(left[0].state, MessageState::kReady);
}

// The plain queue's batches keep their promise of exactly one sync per call,
// also when nothing was written; the job queue's take and ack_many sync
// only what they wrote.
TEST(JobQueueOperations, BatchesSyncAsEachQueueOfThemPromises) {
  TempDir plain_dir, jobs_dir;
  auto plain = open_queue(plain_dir.path(), make_settings(kHourMs));
  auto jobs = open_jobs(jobs_dir.path());
  ASSERT_TRUE(plain && jobs);
  auto syncs_of = [](auto&& op) {
    CallCounter syncs(Call::kFullSync);
    op();
    return syncs.count();
  };
  CollectingSink sink;
  EXPECT_EQ(syncs_of([&] { EXPECT_TRUE(plain->dequeue_batch(5, std::nullopt, sink).ok()); }), 1u);
  // Forced, but the log is synced already.
  EXPECT_EQ(syncs_of([&] { EXPECT_EQ(ok_value(plain->ack_batch({7, 8})), 0u); }), 0u);
  RunSink runs;
  EXPECT_EQ(syncs_of([&] {
              EXPECT_EQ(ok_value(jobs->take({5, std::nullopt, 0, SyncRule::kForce}, runs)).count,
                        0u);
            }),
            0u);
  EXPECT_EQ(syncs_of([&] {
              EXPECT_EQ(ok_value(jobs->ack_many(std::vector<LeaseToken>{LeaseToken{}})),
                        std::vector<size_t>{0});
            }),
            0u);
}

// Operations that need dead letters fail cleanly on a queue that keeps none.
TEST(JobQueueOperations, AQueueWithoutDeadLettersBuriesNothing) {
  TempDir tmp;
  auto opened = JobQueue::open(tmp.path(), make_settings(), Access::kReadWrite,
                               JobQueue::DeadLetters::kNone);
  ASSERT_TRUE(opened.ok());
  auto q = std::move(opened).value();
  EXPECT_FALSE(std::filesystem::exists(tmp.file("dead_letters")));
  EXPECT_EQ(ok_value(q->dead_letter_count()), 0u);
  EXPECT_FALSE(q->purge_dead().ok());
  const Bytes body = bytes_of("m");
  const ByteSpan one = span_of(body);
  ASSERT_TRUE(q->put(std::span(&one, 1), 0, SyncRule::kInterval).ok());
  auto taken = ok_value(take_copies(*q, 1, std::nullopt, 0));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_FALSE(q->bury(taken[0].lease, "no").ok());
  EXPECT_TRUE(ok_value(q->ack(taken[0].lease))) << "the message stayed, with its lease";
}

// Opening a queue reports every byte recovery dropped, and why: a torn tail,
// damage skipped with intact records after it (resynced), a log too short
// for its header or a zeroed one; a tail that catch-up cuts later too. The
// job queue reports what its own log needed; a clean log reports nothing.
TEST(JobQueueOperations, OpeningReportsWhatRecoveryCut) {
  LogBuilder clean;
  clean.enqueue(0, 1, "first").enqueue(1, 1, "second").enqueue(2, 1, "third");
  const uint64_t end = clean.size();
  const uint64_t second = 16 + 33 + 5;  // offset of the second frame
  struct Case {
    const char* name;
    Bytes log;
    std::optional<DamagedRange> cut_tail;
    std::vector<DamagedRange> skipped;
  };
  Bytes torn = clean.bytes();
  torn.insert(torn.end(), {'T', 'W', 'R', '1', 40, 0, 0});
  Bytes middle = clean.bytes();
  middle[second + 14] ^= 0x01;  // a byte of the second frame's payload
  const std::vector<Case> cases = {
      {"clean", clean.bytes(), std::nullopt, {}},
      {"torn tail", torn, DamagedRange{end, 7, "truncated record header"}, {}},
      {"resynced", middle, std::nullopt,
       {DamagedRange{second, 33 + 6, "record CRC mismatch (silent corruption)"}}},
      {"header cut short", Bytes{'T', 'W', 'F', 'L', 1}, DamagedRange{0, 5, "log header cut short"},
       {}},
      {"zeroed header", Bytes(16, 0), DamagedRange{0, 16, "zeroed header and no records"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    write_file(tmp.file("queue.log"), c.log);
    ::testing::internal::CaptureStderr();
    auto q = open_jobs(tmp.path());
    const std::string warnings = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(q);
    const std::optional<RepairReport> repair = q->last_repair();
    if (!c.cut_tail && c.skipped.empty()) {
      EXPECT_FALSE(repair.has_value());
      EXPECT_EQ(warnings, "");
      continue;
    }
    ASSERT_TRUE(repair.has_value());
    EXPECT_EQ(repair->cut_tail, c.cut_tail);
    EXPECT_EQ(repair->skipped, c.skipped);
    EXPECT_EQ(repair->damaged_copy.empty(), c.skipped.empty());
    EXPECT_EQ(repair->generation, c.skipped.empty() ? 0u : 1u);
    EXPECT_EQ(file_size(tmp.file("queue.log")), c.cut_tail && c.cut_tail->offset == 0 ? 16u
                                                 : c.skipped.empty() ? end
                                                                     : end - 39u);
    // The dead letters' log was clean (new): nothing about it is reported.
    auto letters = open_queue(tmp.file("dead_letters"));
    ASSERT_TRUE(letters);
    EXPECT_FALSE(letters->last_repair().has_value());
    // A repaired log opens without a report.
    q.reset();
    auto again = open_queue(tmp.path());
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->last_repair().has_value());
  }

  // A torn tail that a later catch-up finds is reported by the object that cut it.
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  ASSERT_FALSE(q->last_repair().has_value());
  ASSERT_TRUE(q->put(std::vector<ByteSpan>{span_of(bytes_of("kept"))}, 0).ok());
  const uint64_t good = file_size(tmp.file("queue.log"));
  {
    std::ofstream out(tmp.file("queue.log"), std::ios::binary | std::ios::app);
    out.write("TWR", 3);
  }
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(must_stats(*q).total, 1u);
  (void)::testing::internal::GetCapturedStderr();
  const std::optional<RepairReport> repair = q->last_repair();
  ASSERT_TRUE(repair.has_value());
  EXPECT_EQ(repair->cut_tail, (DamagedRange{good, 3, "truncated record header"}));
  EXPECT_EQ(repair->records_kept, 0u) << "no frame followed the ones already applied";
  EXPECT_EQ(file_size(tmp.file("queue.log")), good);
}

}  // namespace
}  // namespace tarnwick::testing
