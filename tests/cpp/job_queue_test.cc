// The job queue: fencing, delays as seen by a plain queue, dead-letter moves
// cut by a failed write, and a peek that writes nothing.
#include "queue/job_queue.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "engine_helpers.h"
#include "queue/dead_letter_entry.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

std::vector<uint64_t> put(JobQueue& q, std::vector<std::string> bodies, uint64_t delay_ms = 0) {
  std::vector<Bytes> owned;
  std::vector<ByteSpan> spans;
  for (const auto& b : bodies) owned.push_back(bytes_of(b));
  for (const auto& b : owned) spans.push_back(span_of(b));
  return ok_value(q.put(spans, delay_ms));
}

LeaseToken take_one(JobQueue& q, uint32_t max_deliveries = 0) {
  auto taken = ok_value(take_copies(q, 1, std::nullopt, max_deliveries));
  EXPECT_EQ(taken.size(), 1u);
  return taken.empty() ? LeaseToken{} : taken[0].lease;
}

TEST(JobQueue, SettlingNeedsTheCurrentLease) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"job"});
  const LeaseToken lease = take_one(*q);
  const uint64_t size = file_size(tmp.file("queue.log"));
  LeaseToken other_time = lease, other_count = lease, other_deadline = lease;
  other_time.enqueued_ts_ms += 1;
  other_count.deliveries += 1;
  other_deadline.deadline_ms += 1;
  for (const LeaseToken& wrong : {other_time, other_count, other_deadline}) {
    EXPECT_FALSE(ok_value(q->ack(wrong)));
    EXPECT_FALSE(ok_value(q->nack(wrong, 0)));
    EXPECT_FALSE(ok_value(q->bury(wrong, "no")));
    EXPECT_FALSE(ok_value(q->extend(wrong, 1000)).has_value());
  }
  EXPECT_EQ(file_size(tmp.file("queue.log")), size) << "a refused settle wrote something";
  auto renewed = ok_value(q->extend(lease, kHourMs));
  ASSERT_TRUE(renewed.has_value());
  EXPECT_FALSE(ok_value(q->ack(lease))) << "the lease before the extension is not current";
  LeaseToken current = lease;
  current.deadline_ms = *renewed;
  EXPECT_TRUE(ok_value(q->ack(current)));
  EXPECT_FALSE(ok_value(q->ack(current)));
}

// Frames written past `from` bytes of the log, as (tag, seq).
std::vector<std::pair<uint8_t, uint64_t>> frames_after(const std::string& log, uint64_t from) {
  std::vector<std::pair<uint8_t, uint64_t>> out;
  for (const ParsedFrame& f : parse_log(read_file(log)).frames) {
    if (f.offset >= from) out.emplace_back(f.tag, f.seq);
  }
  return out;
}

// A batch with a current lease named twice, an expired one, a settled one
// and a wrong one: only the current leases are acked, each once, in one
// write and one sync; the others write nothing and stay as they were.
TEST(JobQueue, AckManyActsOnTheCurrentLeasesOnly) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"current", "twice", "settled", "wrong", "expires"});
  const LeaseToken current = take_one(*q), twice = take_one(*q);
  const LeaseToken settled = take_one(*q), held = take_one(*q);
  // Taken last, so that its lease running out cannot hand it to another take here.
  auto short_lease = ok_value(take_copies(*q, 1, 1, 0));
  ASSERT_EQ(short_lease.size(), 1u);
  const LeaseToken expired = short_lease[0].lease;
  ASSERT_TRUE(ok_value(q->ack(settled)));
  LeaseToken wrong = held;
  wrong.deadline_ms += 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(10));

  // Returning the expired message to the queue is written first, on its own.
  EXPECT_EQ(ok_value(q->ack_many(std::vector<LeaseToken>{expired})), std::vector<size_t>{0});
  const uint64_t before = file_size(tmp.file("queue.log"));
  EXPECT_EQ(ok_value(q->ack_many(std::vector<LeaseToken>{expired, settled, wrong})),
            (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(file_size(tmp.file("queue.log")), before) << "a refused batch wrote something";

  const std::vector<LeaseToken> batch{current, expired, twice, settled, twice, wrong};
  std::vector<size_t> refused;
  {
    CallCounter writes(Call::kWrite), syncs(Call::kFullSync);
    refused = ok_value(q->ack_many(batch));
    EXPECT_EQ(writes.count(), 1u);
    EXPECT_EQ(syncs.count(), 1u);
  }
  EXPECT_EQ(refused, (std::vector<size_t>{1, 3, 5}));
  const std::vector<std::pair<uint8_t, uint64_t>> acks{{ACK, current.seq}, {ACK, twice.seq}};
  EXPECT_EQ(frames_after(tmp.file("queue.log"), before), acks);

  // The refused messages are untouched: the holders of their current leases settle them.
  EXPECT_TRUE(ok_value(q->ack(held)));
  const LeaseToken again = take_one(*q);
  EXPECT_EQ(again.seq, expired.seq);
  EXPECT_TRUE(ok_value(q->ack_many(std::vector<LeaseToken>{again})).empty());
  EXPECT_EQ(must_stats(*q).total, 0u);
  expect_fresh_open_agrees(tmp.path(), *q);
}

// A failed write of the batch leaves every message leased under the same
// lease: none is acked, in this object or in one opened afresh.
TEST(JobQueue, AckManyFailedWriteAcksNone) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"a", "b", "c"});
  const std::vector<LeaseToken> leases = {take_one(*q), take_one(*q), take_one(*q)};
  const Bytes before = read_file(tmp.file("queue.log"));
  {
    FaultScope faults;  // the disk stays full, reserve or not
    faults.fail(Call::kWrite, ENOSPC, 0, UINT64_MAX);
    EXPECT_FALSE(q->ack_many(leases).ok());
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")), before);
  EXPECT_EQ(must_stats(*q).in_flight, 3u);
  auto other = open_jobs(tmp.path());
  EXPECT_EQ(must_stats(*other).in_flight, 3u);
  EXPECT_TRUE(ok_value(q->ack_many(leases)).empty()) << "every lease stayed current";
  EXPECT_EQ(must_stats(*other).total, 0u);
}

TEST(JobQueue, DelayedPutIsALeaseUntilDueForPlainQueues) {
  TempDir tmp;
  auto jobs = open_jobs(tmp.path());
  auto plain = open_queue(tmp.path());
  put(*jobs, {"later"}, 150);
  EXPECT_FALSE(must_dequeue(*plain).has_value());
  EXPECT_EQ(must_stats(*plain).in_flight, 1u);
  auto summary = ok_value(jobs->peek(10, false));
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0].state, MessageState::kScheduled);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto delivered = must_dequeue(*plain);
  ASSERT_TRUE(delivered.has_value());
  EXPECT_EQ(delivered->deliveries, 1u);
  expect_fresh_open_agrees(tmp.path(), *plain);
}

// A delayed put's large bodies go out from the caller's memory beside their
// frame heads; a write that fails part-way leaves none of the put behind.
TEST(JobQueue, DelayedPutOfLargeBodiesIsWholeOrNothing) {
  const std::string big(64 << 10, 'b');
  for (bool disk : {true, false}) {
    SCOPED_TRACE(disk ? "disk" : "memory");
    TempDir tmp;
    auto jobs = open_jobs(disk ? tmp.path() : ":memory:");
    ASSERT_TRUE(jobs);
    const Bytes before = disk ? read_file(tmp.file("queue.log")) : Bytes{};
    if (disk) {
      const Bytes body = bytes_of(big);
      const std::vector<ByteSpan> spans(2, span_of(body));
      FaultScope faults;
      faults.fail(Call::kWritev, ENOSPC, 0, 1, 33 + 1000);
      EXPECT_FALSE(jobs->put(spans, kHourMs).ok());
      EXPECT_EQ(read_file(tmp.file("queue.log")), before) << "a failed put left bytes";
      EXPECT_EQ(ok_value(jobs->stats()).core.total, 0u);
    }
    EXPECT_EQ(put(*jobs, {big, "small", big}, kHourMs), (std::vector<uint64_t>{0, 1, 2}));
    auto seen = ok_value(jobs->peek(10, true));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(to_string(seen[0].body), big);
    EXPECT_EQ(to_string(seen[1].body), "small");
    EXPECT_EQ(to_string(seen[2].body), big);
    for (const MessageSummary& m : seen) EXPECT_EQ(m.state, MessageState::kScheduled);
    if (disk) {
      const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
      EXPECT_TRUE(log.clean);
      EXPECT_EQ(tags_of(log), (std::vector<uint8_t>{1, 3, 1, 3, 1, 3}));
      expect_fresh_open_agrees(tmp.path(), *jobs);
    }
  }
}

TEST(JobQueue, PeekWritesNothingEvenPastAnExpiredLease) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"a", "b"});
  ASSERT_EQ(ok_value(take_copies(*q, 1, 1, 0)).size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const Bytes before = read_file(tmp.file("queue.log"));
  auto seen = ok_value(q->peek(10, true));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].state, MessageState::kReady) << "an expired lease shows as ready";
  EXPECT_EQ(to_string(Bytes(seen[1].body)), "b");
  EXPECT_EQ(read_file(tmp.file("queue.log")), before);
}

TEST(JobQueue, FailedDeadLetterWriteKeepsTheMessage) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"poison"});
  const LeaseToken lease = take_one(*q);
  {
    FaultScope faults;  // the disk stays full, reserve or not
    faults.fail(Call::kWrite, ENOSPC, 0, UINT64_MAX);
    EXPECT_FALSE(q->bury(lease, "bad").ok());
  }
  EXPECT_EQ(ok_value(q->dead_letter_count()), 0u);
  EXPECT_TRUE(ok_value(q->ack(lease))) << "the message stayed, with its lease";
}

// A crash between the two writes of a move leaves the message in both
// queues; the next look at the dead letters finishes the move.
TEST(JobQueue, MoveCutAfterTheDeadLetterIsFinishedOnce) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"poison", "fine"});
  const LeaseToken lease = take_one(*q);
  {
    FaultScope faults;
    faults.fail(Call::kWrite, EIO, /*skip=*/1);  // the letter is written, the DEAD record not
    EXPECT_FALSE(q->bury(lease, "bad").ok());
  }
  auto other = open_jobs(tmp.path());
  // A plain queue's look finishes no move (a job queue's stats would).
  EXPECT_EQ(must_stats(*open_queue(tmp.path())).total, 2u);
  auto letters = ok_value(other->dead_letters(10));
  ASSERT_EQ(letters.size(), 1u);
  EXPECT_EQ(letters[0].original_seq, lease.seq);
  EXPECT_EQ(letters[0].reason, "bad");
  EXPECT_EQ(must_stats(*q).total, 1u) << "the original was removed";
  EXPECT_EQ(ok_value(q->dead_letter_count()), 1u);
  EXPECT_EQ(ok_value(q->requeue_dead(std::nullopt)), 1u);
  EXPECT_EQ(must_stats(*q).total, 2u);
  EXPECT_EQ(ok_value(other->dead_letter_count()), 0u);
}

// A message whose move was cut after its letter is never delivered or buried
// again: once its lease runs out, a take finishes the move instead, in this
// object and in one that opened the queue before the letter was written.
TEST(JobQueue, TakeFinishesACutMoveInsteadOfDelivering) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  auto other = open_jobs(tmp.path());
  EXPECT_EQ(ok_value(other->dead_letter_count()), 0u);  // looked before the letter
  put(*q, {"poison", "fine"});
  const LeaseToken lease = take_one(*q);
  {
    FaultScope faults;
    faults.fail(Call::kWrite, EIO, /*skip=*/1);  // the letter is written, the DEAD record not
    EXPECT_FALSE(q->bury(lease, "bad").ok());
  }
  // The consumer dies; its lease runs out.
  EXPECT_TRUE(ok_value(q->extend(lease, /*lease_ms=*/1)).has_value());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto next = ok_value(take_copies(*other, 10, std::nullopt, 0));
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(to_string(next[0].body), "fine");
  EXPECT_EQ(must_stats(*q).total, 1u);
  EXPECT_EQ(ok_value(q->dead_letter_count()), 1u);
}

// The same for a move that a take started at max deliveries.
TEST(JobQueue, MaxDeliveriesMoveCutIsNotRepeated) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"flaky"});
  EXPECT_TRUE(ok_value(q->nack(take_one(*q, 1), 0)));
  {
    FaultScope faults;
    faults.fail(Call::kWrite, EIO, /*skip=*/1);
    EXPECT_FALSE(take_copies(*q, 1, std::nullopt, 1).ok());
  }
  auto fresh = open_jobs(tmp.path());
  EXPECT_TRUE(ok_value(take_copies(*fresh, 1, std::nullopt, 1)).empty());
  EXPECT_TRUE(ok_value(take_copies(*q, 1, std::nullopt, 1)).empty());
  auto letters = ok_value(q->dead_letters(10));
  ASSERT_EQ(letters.size(), 1u);
  EXPECT_EQ(letters[0].reason, kMaxDeliveriesReason);
  EXPECT_EQ(must_stats(*fresh).total, 0u);
}

TEST(JobQueue, MaxDeliveriesParksTheMessage) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, {"flaky", "next"});
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(ok_value(q->nack(take_one(*q, 2), 0)));
  auto taken = ok_value(take_copies(*q, 1, std::nullopt, 2));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(to_string(taken[0].body), "next");
  auto letters = ok_value(q->dead_letters(10));
  ASSERT_EQ(letters.size(), 1u);
  EXPECT_EQ(letters[0].deliveries, 2u);
  EXPECT_EQ(letters[0].reason, kMaxDeliveriesReason);
  EXPECT_EQ(to_string(letters[0].body), "flaky");
}

TEST(JobQueue, DeadLetterEntryRejectsForeignBytes) {
  Bytes entry;
  const Bytes reason = bytes_of("why"), body = bytes_of("body");
  encode_dead_letter({7, 3, 100, 200, span_of(reason), span_of(body)}, entry);
  auto fields = decode_dead_letter(span_of(entry));
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->original_seq, 7u);
  EXPECT_EQ(to_string(Bytes(fields->body.begin(), fields->body.end())), "body");
  Bytes cut(entry.begin(), entry.begin() + kDeadLetterHeaderLen + 1);
  cut[33] = 200;  // a reason longer than what follows
  EXPECT_FALSE(decode_dead_letter(span_of(cut)).has_value());
  EXPECT_FALSE(decode_dead_letter(span_of(bytes_of("plain message"))).has_value());
}

}  // namespace
}  // namespace tarnwick::testing
