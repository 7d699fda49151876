// Appending and durability: who syncs when, and what a failed write or sync
// leaves in the object and in the log.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <numeric>

#include "engine_helpers.h"
#include "log_io/clock.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

// The object's state is exactly the replay of the file, and its offsets are
// the file's length.
void expect_state_is_log(Queue& q, const std::string& log_path) {
  const Bytes file = read_file(log_path);
  const ParsedLog log = parse_log(file);
  EXPECT_TRUE(log.clean) << "log damaged at " << log.end << " of " << file.size();
  const Replayed replayed = replay(log);
  EXPECT_FALSE(replayed.duplicate) << "a live seq was enqueued twice";
  const Snapshot state = snapshot(q);
  EXPECT_EQ(state, replayed.messages)
      << "object " << describe(state) << "\nlog    " << describe(replayed.messages);
  EXPECT_EQ(q.impl().inner.applied_offset, file.size());
  EXPECT_EQ(q.impl().inner.log_bytes, file.size());
}

struct Op {
  const char* name;
  std::function<bool(Queue&)> run;  // true when the call succeeded
};

std::vector<Op> operations() {
  static const Bytes fresh = bytes_of("fresh"), b1 = bytes_of("b1"), b2 = bytes_of("b2");
  return {
      {"enqueue", [](Queue& q) { return q.enqueue(span_of(fresh)).ok(); }},
      {"dequeue",
       [](Queue& q) {
         CollectingSink sink;
         return q.dequeue(std::nullopt, sink).ok();
       }},
      {"extend_lease", [](Queue& q) { return q.extend_lease(1, kHourMs).ok(); }},
      {"ack", [](Queue& q) { return q.ack(1).ok(); }},
      {"nack", [](Queue& q) { return q.nack(1, true).ok(); }},
      {"nack_dead", [](Queue& q) { return q.nack(1, false).ok(); }},
      {"enqueue_batch", [](Queue& q) { return q.enqueue_batch({span_of(b1), span_of(b2)}).ok(); }},
      {"ack_batch", [](Queue& q) { return q.ack_batch({1, 2}).ok(); }},
      {"dequeue_batch",
       [](Queue& q) {
         CollectingSink sink;
         return q.dequeue_batch(2, std::nullopt, sink).ok();
       }},
  };
}

// Four messages 0..3; seq 1 is leased for an hour.
std::unique_ptr<Queue> populated(const TempDir& tmp, const Settings& settings = make_settings()) {
  auto q = open_queue(tmp.path(), settings);
  if (!q) return q;
  for (const char* body : {"m0", "m1", "m2", "m3"}) must_enqueue(*q, body);
  EXPECT_EQ(q->nack(0, true).ok(), true);  // deliveries stay 0; message 0 stays ready
  CollectingSink sink;
  EXPECT_TRUE(q->dequeue(kHourMs, sink).ok());  // leases 0
  EXPECT_TRUE(q->nack(0, true).ok());
  EXPECT_TRUE(q->ack(0).ok());
  CollectingSink sink2;
  EXPECT_TRUE(q->dequeue(kHourMs, sink2).ok());  // leases 1
  EXPECT_EQ(sink2.items.at(0).seq, 1u);
  return q;
}

TEST(EngineSync, IntervalZeroSyncsEverySingleRecordOperation) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  auto syncs_of = [&](const std::function<void()>& op) {
    CallCounter syncs(Call::kFullSync);
    op();
    return syncs.count();
  };
  EXPECT_EQ(syncs_of([&] { must_enqueue(*q, "a"); }), 1u);
  EXPECT_EQ(syncs_of([&] { must_enqueue(*q, "b"); }), 1u);
  EXPECT_EQ(syncs_of([&] { must_dequeue(*q); }), 1u);
  EXPECT_EQ(syncs_of([&] { EXPECT_TRUE(ok_value(q->extend_lease(0, kHourMs))); }), 1u);
  EXPECT_EQ(syncs_of([&] { EXPECT_TRUE(ok_value(q->nack(0, true))); }), 1u);
  EXPECT_EQ(syncs_of([&] { EXPECT_TRUE(ok_value(q->ack(0))); }), 1u);
  EXPECT_EQ(syncs_of([&] { EXPECT_TRUE(ok_value(q->nack(1, false))); }), 1u);
  // Nothing written, nothing synced.
  EXPECT_EQ(syncs_of([&] { EXPECT_FALSE(ok_value(q->ack(0))); }), 0u);
  EXPECT_EQ(syncs_of([&] { EXPECT_FALSE(must_dequeue(*q)); }), 0u);
  EXPECT_EQ(syncs_of([&] { EXPECT_EQ(ok_value(q->available()), 0u); }), 0u);
  // A reclaimed lease is its own single-record append; one sync covers it
  // and the new lease.
  must_enqueue(*q, "c");
  must_dequeue(*q, 0);
  EXPECT_EQ(syncs_of([&] { must_dequeue(*q); }), 1u);
}

TEST(EngineSync, LongIntervalSyncsOnlyBatchesAndFlush) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(kHourMs));
  ASSERT_TRUE(q);
  auto count = [&](const std::function<void()>& op) {
    CallCounter syncs(Call::kFullSync);
    CallCounter writes(Call::kWrite);
    op();
    return std::make_pair(syncs.count(), writes.count());
  };
  using P = std::pair<uint64_t, uint64_t>;
  EXPECT_EQ(count([&] { must_enqueue(*q, "a"); }), P(0, 1));
  EXPECT_EQ(count([&] { must_dequeue(*q); }), P(0, 1));
  EXPECT_EQ(count([&] { EXPECT_TRUE(ok_value(q->extend_lease(0, kHourMs))); }), P(0, 1));
  EXPECT_EQ(count([&] { EXPECT_TRUE(ok_value(q->nack(0, true))); }), P(0, 1));
  EXPECT_EQ(count([&] { EXPECT_TRUE(ok_value(q->ack(0))); }), P(0, 1));

  // A batch's ENQUEUE frames leave in writes of up to 256 KiB: 100 small
  // ones in one, 3000 of 100 bytes (399 KB) in two.
  const Bytes x = bytes_of("x");
  std::vector<ByteSpan> many(100, span_of(x));
  EXPECT_EQ(count([&] { EXPECT_EQ(q->enqueue_batch(many)->size(), 100u); }), P(1, 1));
  const Bytes hundred(100, 'y');
  std::vector<ByteSpan> more(3000, span_of(hundred));
  EXPECT_EQ(count([&] { EXPECT_EQ(q->enqueue_batch(more)->size(), 3000u); }), P(1, 2));
  EXPECT_EQ(count([&] {
              CollectingSink sink;
              ASSERT_TRUE(q->dequeue_batch(3, std::nullopt, sink).ok());
              EXPECT_EQ(sink.items.size(), 3u);
            }),
            P(1, 1));
  EXPECT_EQ(count([&] { EXPECT_EQ(ok_value(q->ack_batch({1, 2, 3})), 3u); }), P(1, 1));
  // A sync that writes nothing finds the log synced already: no new sync.
  EXPECT_EQ(count([&] { EXPECT_EQ(ok_value(q->ack_batch({1, 2, 3})), 0u); }), P(0, 0));
  EXPECT_EQ(count([&] {
              CollectingSink sink;
              ASSERT_TRUE(q->dequeue_batch(0, std::nullopt, sink).ok());
              EXPECT_TRUE(sink.items.empty());
            }),
            P(0, 0));
  EXPECT_EQ(count([&] { ASSERT_TRUE(q->flush().ok()); }), P(0, 0));
  EXPECT_EQ(count([&] { must_enqueue(*q, "unsynced"); }), P(0, 1));
  EXPECT_EQ(count([&] { ASSERT_TRUE(q->flush().ok()); }), P(1, 0));
  EXPECT_EQ(count([&] { ASSERT_TRUE(q->flush().ok()); }), P(0, 0));

  // Empty batches take no lock and touch nothing.
  CallCounter locks(Call::kFlock);
  EXPECT_EQ(count([&] { EXPECT_TRUE(q->enqueue_batch({})->empty()); }), P(0, 0));
  EXPECT_EQ(count([&] { EXPECT_EQ(ok_value(q->ack_batch({})), 0u); }), P(0, 0));
  EXPECT_EQ(locks.count(), 0u);

  // An empty queue's dequeue_batch still syncs once.
  auto empty = open_queue(tmp.path() + "/other", make_settings(kHourMs));
  ASSERT_TRUE(empty);
  EXPECT_EQ(count([&] {
              CollectingSink sink;
              ASSERT_TRUE(empty->dequeue_batch(5, std::nullopt, sink).ok());
            }),
            P(1, 0));
}

TEST(EngineSync, IntervalCountsFromTheLastSync) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(1000));
  ASSERT_TRUE(q);
  Inner& inner = q->impl().inner;
  {
    CallCounter syncs(Call::kFullSync);
    must_enqueue(*q, "soon after open");
    EXPECT_EQ(syncs.count(), 0u);
  }
  inner.last_sync_ms = now_ms() - 1500;
  {
    CallCounter syncs(Call::kFullSync);
    const uint64_t before = now_ms();
    must_enqueue(*q, "interval passed");
    const uint64_t after = now_ms();
    EXPECT_EQ(syncs.count(), 1u);
    EXPECT_GE(inner.last_sync_ms, before);
    EXPECT_LE(inner.last_sync_ms, after);
  }
  {
    CallCounter syncs(Call::kFullSync);
    must_enqueue(*q, "right after a sync");
    EXPECT_EQ(syncs.count(), 0u);
  }
  // A clock that went back stops interval syncs; forced ones go on.
  inner.last_sync_ms = now_ms() + 100000;
  {
    CallCounter syncs(Call::kFullSync);
    must_enqueue(*q, "clock went back");
    EXPECT_EQ(syncs.count(), 0u);
    ASSERT_TRUE(q->flush().ok());
    EXPECT_EQ(syncs.count(), 1u);
  }
  // A failed sync keeps the old time, so the next operation tries again.
  inner.last_sync_ms = now_ms() - 5000;
  const uint64_t stale = inner.last_sync_ms;
  {
    FaultScope faults;
    faults.fail(Call::kFullSync, EIO);
    EXPECT_FALSE(q->enqueue(span_of(bytes_of("sync fails"))).ok());
  }
  EXPECT_EQ(inner.last_sync_ms, stale);
  CallCounter syncs(Call::kFullSync);
  must_enqueue(*q, "retries");
  EXPECT_EQ(syncs.count(), 1u);
}

TEST(EngineSync, EnqueueGrowsLogByBodyPlus33) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  for (size_t n : {size_t{0}, size_t{1}, size_t{8192}, size_t{20000}}) {
    const uint64_t before = must_stats(*q).log_bytes;
    const Bytes body(n, 'z');
    ASSERT_TRUE(q->enqueue(span_of(body)).ok());
    EXPECT_EQ(must_stats(*q).log_bytes, before + n + 33) << n;
    EXPECT_EQ(file_size(tmp.file("queue.log")), before + n + 33) << n;
  }
}

// A failed write leaves the state and both offsets as they were, and the
// log as it was: whatever part of the run reached the file, a single record's
// as a batch's, is cut off before the call returns, so the next catch-up has
// nothing to cut.
TEST(EngineSync, WriteFailureLeavesStateAndOffsetsUnchanged) {
  for (size_t partial : {size_t{0}, size_t{7}}) {
    for (const Op& op : operations()) {
      SCOPED_TRACE(std::string(op.name) + (partial ? " partial" : ""));
      TempDir tmp;
      auto q = populated(tmp);
      ASSERT_TRUE(q);
      const Snapshot before = snapshot(*q);
      const uint64_t applied = q->impl().inner.applied_offset;
      const uint64_t log_bytes = q->impl().inner.log_bytes;
      const uint64_t next_seq = q->impl().inner.state.next_seq;
      const Bytes file = read_file(tmp.file("queue.log"));
      {
        FaultScope faults;  // the disk stays full, reserve or not
        faults.fail(Call::kWrite, ENOSPC, 0, UINT64_MAX, partial);
        EXPECT_FALSE(op.run(*q));
      }
      EXPECT_EQ(snapshot(*q), before);
      EXPECT_EQ(q->impl().inner.applied_offset, applied);
      EXPECT_EQ(q->impl().inner.log_bytes, log_bytes);
      EXPECT_EQ(q->impl().inner.state.next_seq, next_seq);
      EXPECT_EQ(read_file(tmp.file("queue.log")), file);

      ::testing::internal::CaptureStderr();
      EXPECT_TRUE(q->in_flight().ok());
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
      EXPECT_EQ(read_file(tmp.file("queue.log")), file);
      EXPECT_TRUE(op.run(*q)) << "the retried operation failed";
      expect_state_is_log(*q, tmp.file("queue.log"));
    }
  }
}

// The remains of a frame whose write failed never reach the file behind the
// next frame: the log holds the later frame alone.
TEST(EngineSync, FailedFrameIsDiscardedFromTheWriterBuffer) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  {
    FaultScope faults;
    faults.fail(Call::kWrite, EIO);
    EXPECT_FALSE(q->enqueue(span_of(bytes_of("lost"))).ok());
  }
  EXPECT_EQ(q->impl().inner.files->writer.buffered(), 0u);
  EXPECT_EQ(must_enqueue(*q, "kept"), 0u);
  EXPECT_EQ(must_enqueue(*q, "more"), 1u);
  const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
  ASSERT_TRUE(log.clean);
  ASSERT_EQ(log.frames.size(), 2u);
  EXPECT_EQ(to_string(log.frames[0].body), "kept");
  EXPECT_EQ(to_string(log.frames[1].body), "more");
  expect_fresh_open_agrees(tmp.path(), *q);
}

// A sync that fails after the frame reached the file reports the error with
// the record applied: the state never lacks a record the log holds.
TEST(EngineSync, SyncFailureKeepsTheRecordApplied) {
  for (const Op& op : operations()) {
    SCOPED_TRACE(op.name);
    TempDir tmp;
    auto q = populated(tmp);
    ASSERT_TRUE(q);
    const uint64_t size_before = file_size(tmp.file("queue.log"));
    {
      FaultScope faults;
      faults.fail(Call::kFullSync, EIO);
      EXPECT_FALSE(op.run(*q));
    }
    EXPECT_GT(file_size(tmp.file("queue.log")), size_before) << "nothing reached the file";
    expect_state_is_log(*q, tmp.file("queue.log"));
    expect_fresh_open_agrees(tmp.path(), *q);
    // The next operations hand out new seqs and new leases only.
    const uint64_t next = q->impl().inner.state.next_seq;
    EXPECT_EQ(must_enqueue(*q, "after"), next);
    while (must_dequeue(*q)) {
    }
    expect_state_is_log(*q, tmp.file("queue.log"));
  }
}

TEST(EngineSync, FailedSyncOfEnqueueStillCountsTheSeq) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  {
    FaultScope faults;
    faults.fail(Call::kFullSync, EIO);
    auto r = q->enqueue(span_of(bytes_of("first")));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code(), EIO);
  }
  QueueStats s = must_stats(*q);
  EXPECT_EQ(s.next_seq, 1u);
  EXPECT_EQ(s.ready, 1u);
  EXPECT_EQ(s.log_bytes, 16u + 33 + 5);
  EXPECT_EQ(must_enqueue(*q, "second"), 1u);
  auto d = must_dequeue(*q);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seq, 0u);
  EXPECT_EQ(to_string(d->body), "first");
}

TEST(EngineSync, FailedSyncOfReclaimKeepsTheRequeue) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "m");
  must_dequeue(*q, 0);
  {
    FaultScope faults;
    faults.fail(Call::kFullSync, EIO);
    EXPECT_FALSE(q->available().ok());
  }
  EXPECT_EQ(ok_value(q->available()), 1u);
  const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
  EXPECT_EQ(tags_of(log), (std::vector<uint8_t>{1, 3, 4})) << "one REQUEUE, not two";
}

TEST(EngineSync, DestructionFlushesAndSyncs) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(kHourMs));
  ASSERT_TRUE(q);
  must_enqueue(*q, "unsynced");
  const size_t fds = open_fd_count();
  {
    CallCounter syncs(Call::kFullSync);
    q.reset();
    EXPECT_EQ(syncs.count(), 1u);
  }
  EXPECT_EQ(open_fd_count(), fds - 5)
      << "lock file, directory, writer, reader and sync-state file stay open";
  // A failing sync at the end is ignored.
  auto again = open_queue(tmp.path());
  ASSERT_TRUE(again);
  {
    FaultScope faults;
    faults.fail(Call::kFullSync, EIO);
    again.reset();
  }
  auto memory = open_queue(":memory:");
  ASSERT_TRUE(memory);
  CallCounter syncs(Call::kFullSync);
  memory.reset();
  EXPECT_EQ(syncs.count(), 0u);
}

}  // namespace
// A batch goes out in several writes. One that fails, in its first write or
// a later one, after whole frames reached the file leaves no trace: the file
// is cut back to where the batch began, and neither this object, another one
// nor a fresh open ever sees a message of it.
TEST(EngineSync, FailedBatchLeavesNoPartOfItInTheLogOrAnyObject) {
  for (uint64_t failing_write : {0, 1}) {
    SCOPED_TRACE(numbered("failing write ", failing_write));
    TempDir tmp;
    auto q = open_queue(tmp.path(), make_settings(kHourMs));
    auto other = open_queue(tmp.path(), make_settings(kHourMs));
    ASSERT_TRUE(q && other);
    must_enqueue(*q, "before");
    ASSERT_TRUE(other->in_flight().ok());
    const Bytes file = read_file(tmp.file("queue.log"));
    const Snapshot before = snapshot(*q);
    const Bytes body(100, 'b');  // 133-byte frames
    const std::vector<ByteSpan> bodies(3000, span_of(body));
    const size_t torn_after = 10 * 133 + 50;  // ten whole frames, then part of one
    {
      FaultScope faults;
      faults.fail(Call::kWrite, ENOSPC, failing_write, 1, torn_after);
      auto r = q->enqueue_batch(bodies);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().os_code(), ENOSPC);
    }
    EXPECT_EQ(read_file(tmp.file("queue.log")), file);
    EXPECT_EQ(snapshot(*q), before);
    EXPECT_EQ(q->impl().inner.state.next_seq, 1u);
    EXPECT_EQ(q->impl().inner.applied_offset, file.size());

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(must_stats(*q).total, 1u);
    EXPECT_EQ(must_stats(*other).total, 1u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "nothing was left to repair";
    expect_fresh_open_agrees(tmp.path(), *q);
    EXPECT_EQ(snapshot(*other), before);

    // The retried batch takes the seqs the failed one would have had.
    auto retried = q->enqueue_batch(bodies);
    ASSERT_TRUE(retried.ok());
    EXPECT_EQ(retried->front(), 1u);
    EXPECT_EQ(retried->back(), 3000u);
    ASSERT_TRUE(other->in_flight().ok());
    EXPECT_EQ(snapshot(*other), snapshot(*q));
    EXPECT_FALSE(replay(parse_log(read_file(tmp.file("queue.log")))).duplicate);
  }
}

// dequeue_batch and ack_batch send their frames a write's worth at a time
// too (7944 LEASE frames of 33 bytes, 12484 ACK frames of 21). A failed write
// leaves the whole batch out, as for enqueue_batch.
TEST(EngineSync, LeaseAndAckBatchesLeaveInWritesOf256KiB) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(kHourMs));
  ASSERT_TRUE(q);
  constexpr uint64_t kMessages = 16000;
  ASSERT_TRUE(q->enqueue_batch(std::vector<ByteSpan>(kMessages)).ok());
  {
    FaultScope faults;  // the third write stops after ten frames and part of one
    faults.fail(Call::kWrite, EIO, 2, 1, 10 * LEASE_FRAME_LEN + 5);
    CollectingSink sink;
    EXPECT_FALSE(q->dequeue_batch(kMessages, kHourMs, sink).ok());
    EXPECT_TRUE(sink.items.empty());
  }
  EXPECT_EQ(q->impl().inner.state.in_flight.size(), 0u);
  {
    CallCounter writes(Call::kWrite);
    CollectingSink sink;
    ASSERT_TRUE(q->dequeue_batch(kMessages, kHourMs, sink).ok());
    EXPECT_EQ(writes.count(), 3u);
    ASSERT_EQ(sink.items.size(), kMessages);
    EXPECT_EQ(sink.items.front().seq, 0u);
    EXPECT_EQ(sink.items.back().seq, kMessages - 1);
    EXPECT_EQ(sink.items.back().deliveries, 1u);
  }
  std::vector<uint64_t> seqs(kMessages);
  std::iota(seqs.begin(), seqs.end(), 0);
  seqs.push_back(5);       // named twice
  seqs.push_back(99999);   // not in the queue
  const Bytes file = read_file(tmp.file("queue.log"));
  {
    FaultScope faults;  // the second write stops after ten frames and part of one
    faults.fail(Call::kWrite, EIO, 1, 1, 10 * ACK_FRAME_LEN + 5);
    EXPECT_FALSE(q->ack_batch(seqs).ok());
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")), file);
  EXPECT_EQ(q->impl().inner.state.messages.size(), kMessages);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(must_stats(*q).total, kMessages);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  CallCounter writes(Call::kWrite);
  EXPECT_EQ(ok_value(q->ack_batch(seqs)), kMessages);
  EXPECT_EQ(writes.count(), 2u);
  expect_fresh_open_agrees(tmp.path(), *q);
  EXPECT_EQ(must_stats(*q).total, 0u);
}

// A large body reaches the kernel from the caller's memory: one vectored write
// takes its frame's head and the body, and the frame buffer never grows to the
// body's size. Mixed batches keep order and framing; failures behave as for
// plain writes.
TEST(EngineSync, LargeBodiesGoOutInOneVectoredWrite) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(kHourMs));
  ASSERT_TRUE(q);
  Bytes big(64 << 10);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 131 + 7);
  const Bytes small = bytes_of("small");
  {
    CallCounter writes(Call::kWrite), writevs(Call::kWritev);
    ASSERT_TRUE(q->enqueue(span_of(big)).ok());
    ASSERT_TRUE(q->enqueue_batch({span_of(small), span_of(big), span_of(small), span_of(big)}).ok());
    EXPECT_EQ(writes.count(), 0u);
    EXPECT_EQ(writevs.count(), 2u);
  }
  EXPECT_LT(q->impl().inner.scratch.capacity(), big.size());
  expect_state_is_log(*q, tmp.file("queue.log"));
  std::vector<Bytes> bodies;
  for (const ParsedFrame& f : parse_log(read_file(tmp.file("queue.log"))).frames) {
    bodies.push_back(f.body);
  }
  EXPECT_EQ(bodies, (std::vector<Bytes>{big, small, big, small, big}));

  // A single record torn by a failed write is cut back at once, as a batch is.
  const Bytes file = read_file(tmp.file("queue.log"));
  {
    FaultScope faults;
    faults.fail(Call::kWritev, ENOSPC, 0, 1, 33 + 1000);
    EXPECT_FALSE(q->enqueue(span_of(big)).ok());
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")), file);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(must_stats(*q).total, 5u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  // A batch whose write fails after whole frames is cut back at once.
  {
    FaultScope faults;
    faults.fail(Call::kWritev, ENOSPC, 0, 1, 38 + 33 + big.size() + 7);
    EXPECT_FALSE(q->enqueue_batch({span_of(small), span_of(big), span_of(small)}).ok());
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")), file);
  expect_state_is_log(*q, tmp.file("queue.log"));
  expect_fresh_open_agrees(tmp.path(), *q);
}

}  // namespace tarnwick::testing
