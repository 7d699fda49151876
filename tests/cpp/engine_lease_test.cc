// Leases: expiry, the order of reclamation, stale heap entries, saturating
// deadlines and delivery counts, and a reclamation whose append failed.
#include <gtest/gtest.h>

#include <cerrno>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

Status reclaim_at(Queue& q, uint64_t now) {
  QueueImpl& impl = q.impl();
  return impl.locked(QueueImpl::Prep::kCatchUp, [&] { return impl.reclaim_expired(now); });
}

std::vector<ParsedFrame> frames_after(const std::string& path, uint64_t offset) {
  std::vector<ParsedFrame> out;
  for (const auto& fr : parse_log(read_file(path)).frames) {
    if (fr.offset >= offset) out.push_back(fr);
  }
  return out;
}

TEST(EngineLease, ReclaimsByDeadlineThenSeq) {
  TempDir tmp;
  LogBuilder log;
  log.enqueue(4, 1, "four").enqueue(7, 1, "seven").enqueue(9, 1, "nine");
  log.lease(9, 100, 1).lease(4, 100, 1).lease(7, 50, 3);
  write_file(tmp.file("queue.log"), log.bytes());
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  EXPECT_EQ(ok_value(q->in_flight()), 3u) << "in_flight must not reclaim";
  EXPECT_EQ(ok_value(q->available()), 3u);
  const auto added = frames_after(tmp.file("queue.log"), log.size());
  ASSERT_EQ(added.size(), 3u);
  const uint64_t expected_seq[] = {7, 4, 9};
  const uint32_t expected_deliveries[] = {3, 1, 1};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(added[i].tag, 4);
    EXPECT_EQ(added[i].seq, expected_seq[i]);
    EXPECT_EQ(added[i].deliveries, expected_deliveries[i]) << "reclamation raised the count";
  }
  QueueStats s = must_stats(*q);
  EXPECT_EQ(s.requeued_total, 3u);
  EXPECT_EQ(s.in_flight, 0u);
  auto d = must_dequeue(*q);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seq, 4u);
  EXPECT_EQ(d->deliveries, 2u);
}

TEST(EngineLease, DeadlineEqualToNowHasExpired) {
  TempDir tmp;
  LogBuilder log;
  log.enqueue(0, 1, "a").lease(0, 1000, 1);
  write_file(tmp.file("queue.log"), log.bytes());
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  ASSERT_TRUE(reclaim_at(*q, 999).ok());
  EXPECT_EQ(q->impl().inner.state.in_flight.size(), 1u);
  EXPECT_EQ(file_size(tmp.file("queue.log")), log.size());
  ASSERT_TRUE(reclaim_at(*q, 1000).ok());
  EXPECT_EQ(q->impl().inner.state.ready.size(), 1u);
  EXPECT_EQ(file_size(tmp.file("queue.log")), log.size() + 25);
}

TEST(EngineLease, StaleHeapEntriesWriteNothing) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "acked");
  must_enqueue(*q, "renewed");
  must_enqueue(*q, "dead");
  must_enqueue(*q, "nacked");
  CollectingSink sink;
  ASSERT_TRUE(q->dequeue_batch(4, 0, sink).ok());  // all four expired at once
  ASSERT_EQ(sink.items.size(), 4u);
  EXPECT_TRUE(ok_value(q->ack(0)));
  EXPECT_TRUE(ok_value(q->extend_lease(1, kHourMs)));
  EXPECT_TRUE(ok_value(q->nack(2, false)));
  EXPECT_TRUE(ok_value(q->nack(3, true)));
  const uint64_t size = file_size(tmp.file("queue.log"));
  EXPECT_EQ(ok_value(q->available()), 1u);
  EXPECT_EQ(file_size(tmp.file("queue.log")), size) << "a stale entry was requeued";
  EXPECT_EQ(ok_value(q->in_flight()), 1u);
  EXPECT_TRUE(q->impl().inner.state.lease_heap.size() == 1u) << "stale entries stay on the heap";
}

TEST(EngineLease, ZeroLeaseIsReclaimedByTheNextDequeue) {
  for (const char* path : {":memory:", ""}) {
    TempDir tmp;
    auto q = open_queue(*path ? std::string(path) : tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "again");
    must_enqueue(*q, "later");
    auto first = must_dequeue(*q, 0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->deliveries, 1u);
    auto second = must_dequeue(*q);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->seq, first->seq);
    EXPECT_EQ(second->deliveries, 2u);
    EXPECT_EQ(second->enqueued_ts_ms, first->enqueued_ts_ms);
    EXPECT_EQ(to_string(second->body), "again");
  }
}

TEST(EngineLease, LeasesSurviveReopen) {
  TempDir tmp;
  uint64_t deadline = 0;
  {
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "held");
    must_enqueue(*q, "expired");
    must_dequeue(*q, kHourMs);
    must_dequeue(*q, 0);
    deadline = q->impl().inner.state.in_flight.at(0);
  }
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  EXPECT_EQ(ok_value(q->in_flight()), 2u);
  EXPECT_EQ(q->impl().inner.state.in_flight.at(0), deadline);
  EXPECT_EQ(ok_value(q->available()), 1u);
  auto d = must_dequeue(*q);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seq, 1u);
  EXPECT_EQ(d->deliveries, 2u);
}

TEST(EngineLease, DeadlineSaturatesAtMaximum) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "forever");
  must_enqueue(*q, "batch");
  const uint64_t before = file_size(tmp.file("queue.log"));
  auto d = must_dequeue(*q, UINT64_MAX);
  ASSERT_TRUE(d);
  CollectingSink sink;
  ASSERT_TRUE(q->dequeue_batch(5, UINT64_MAX - 1, sink).ok());
  ASSERT_EQ(sink.items.size(), 1u);
  auto added = frames_after(tmp.file("queue.log"), before);
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(added[0].time, UINT64_MAX);
  EXPECT_EQ(added[1].time, UINT64_MAX);
  EXPECT_EQ(ok_value(q->available()), 0u) << "a wrapped deadline expired at once";
  EXPECT_EQ(ok_value(q->in_flight()), 2u);
  EXPECT_TRUE(ok_value(q->extend_lease(0, UINT64_MAX)));
  EXPECT_EQ(q->impl().inner.state.in_flight.at(0), UINT64_MAX);
  EXPECT_EQ(ok_value(q->available()), 0u);
}

TEST(EngineLease, DeliveryCountSaturates) {
  TempDir tmp;
  LogBuilder log;
  log.enqueue(0, 1, "worn").lease(0, 1, UINT32_MAX);
  write_file(tmp.file("queue.log"), log.bytes());
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  for (int round = 0; round < 2; ++round) {
    auto d = must_dequeue(*q, 0);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->deliveries, UINT32_MAX);
  }
  for (const auto& fr : frames_after(tmp.file("queue.log"), log.size())) {
    EXPECT_EQ(fr.deliveries, UINT32_MAX) << "tag " << int(fr.tag);
  }
  auto memory = open_queue(":memory:");
  ASSERT_TRUE(memory);
  must_enqueue(*memory, "worn");
  memory->impl().inner.state.messages.at(0).deliveries = UINT32_MAX - 1;
  EXPECT_EQ(must_dequeue(*memory, 0)->deliveries, UINT32_MAX);
  EXPECT_EQ(must_dequeue(*memory, 0)->deliveries, UINT32_MAX);
}

// A REQUEUE that could not be appended is tried again by a later call.
TEST(EngineLease, FailedRequeueIsRetriedLater) {
  for (uint64_t skip : {0, 1}) {
    SCOPED_TRACE(skip);
    TempDir tmp;
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "a");
    must_enqueue(*q, "b");
    CollectingSink sink;
    ASSERT_TRUE(q->dequeue_batch(2, 0, sink).ok());
    {
      FaultScope faults;
      faults.fail(Call::kWrite, EIO, skip);
      EXPECT_FALSE(q->available().ok());
    }
    EXPECT_EQ(ok_value(q->in_flight()), 2 - skip) << "requeues before the failure stay";
    EXPECT_EQ(ok_value(q->available()), 2u) << "the failed requeue was forgotten";
    const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
    EXPECT_TRUE(log.clean);
    EXPECT_EQ(tags_of(log), (std::vector<uint8_t>{1, 1, 3, 3, 4, 4}));
    expect_fresh_open_agrees(tmp.path(), *q);
  }
}

// A requeue whose write succeeded but whose sync failed is applied (the log
// holds it): the error is reported once and the message is not requeued twice.
TEST(EngineLease, RequeueWhoseSyncFailedStaysApplied) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "a");
  must_enqueue(*q, "b");
  CollectingSink sink;
  ASSERT_TRUE(q->dequeue_batch(2, 0, sink).ok());
  {
    FaultScope faults;
    faults.fail(Call::kFullSync, EIO);
    EXPECT_FALSE(q->available().ok());
  }
  // Both requeues were written and applied before their one sync failed.
  EXPECT_EQ(ok_value(q->in_flight()), 0u) << "a written requeue was not applied";
  EXPECT_EQ(ok_value(q->available()), 2u);
  EXPECT_EQ(ok_value(q->available()), 2u);
  const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
  EXPECT_TRUE(log.clean);
  EXPECT_EQ(tags_of(log), (std::vector<uint8_t>{1, 1, 3, 3, 4, 4}));
  expect_fresh_open_agrees(tmp.path(), *q);
}

TEST(EngineLease, ReclamationRunsOnlyInTheFourCountingCalls) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "m");
  must_enqueue(*q, "other");
  must_dequeue(*q, 0);
  const uint64_t size = file_size(tmp.file("queue.log"));
  must_enqueue(*q, "x");
  EXPECT_FALSE(ok_value(q->ack(99)));
  EXPECT_FALSE(ok_value(q->nack(99, true)));
  EXPECT_EQ(ok_value(q->in_flight()), 1u);
  EXPECT_EQ(file_size(tmp.file("queue.log")), size + 34) << "only the enqueue was written";
  EXPECT_EQ(must_stats(*q).in_flight, 0u);
}

}  // namespace
}  // namespace tarnwick::testing
