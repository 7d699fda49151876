// A message's life, the same on ":memory:" and on disk: delivery order,
// redelivery, renewal, settling and the counters.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

class EngineLifecycle : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    q_ = open_queue(GetParam() ? tmp_.path() : ":memory:");
    ASSERT_TRUE(q_);
  }
  // On disk, a fresh object on the directory must agree with this one.
  void TearDown() override {
    if (!GetParam() || !q_) return;
    ASSERT_TRUE(q_->in_flight().ok());
    expect_fresh_open_agrees(tmp_.path(), *q_);
  }
  Queue& q() { return *q_; }

  TempDir tmp_;
  std::unique_ptr<Queue> q_;
};

TEST_P(EngineLifecycle, DeliversInSeqOrderAndRedeliversNackedFirst) {
  EXPECT_FALSE(must_dequeue(q())) << "an empty queue delivered";
  EXPECT_EQ(ok_value(q().in_flight()), 0u);
  EXPECT_EQ(must_enqueue(q(), "m0"), 0u);
  EXPECT_EQ(must_enqueue(q(), "m1"), 1u);
  EXPECT_EQ(must_enqueue(q(), "m2"), 2u);
  auto d0 = must_dequeue(q());
  ASSERT_TRUE(d0);
  EXPECT_EQ(d0->seq, 0u);
  EXPECT_EQ(d0->deliveries, 1u);
  EXPECT_EQ(to_string(d0->body), "m0");
  auto d1 = must_dequeue(q());
  ASSERT_TRUE(d1);
  EXPECT_EQ(d1->seq, 1u);
  EXPECT_TRUE(ok_value(q().nack(0, true)));
  auto again = must_dequeue(q());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->seq, 0u);
  EXPECT_EQ(again->deliveries, 2u);
  EXPECT_EQ(again->enqueued_ts_ms, d0->enqueued_ts_ms);
  auto d2 = must_dequeue(q());
  ASSERT_TRUE(d2);
  EXPECT_EQ(d2->seq, 2u);
  EXPECT_FALSE(must_dequeue(q()));
  EXPECT_EQ(ok_value(q().in_flight()), 3u);
}

TEST_P(EngineLifecycle, NackOfReadyMessageKeepsItsPlace) {
  must_enqueue(q(), "m0");
  must_enqueue(q(), "m1");
  EXPECT_TRUE(ok_value(q().nack(1, true)));
  QueueStats s = must_stats(q());
  EXPECT_EQ(s.requeued_total, 1u);
  EXPECT_EQ(s.ready, 2u);
  EXPECT_EQ(must_dequeue(q())->seq, 0u);
  auto d = must_dequeue(q());
  EXPECT_EQ(d->seq, 1u);
  EXPECT_EQ(d->deliveries, 1u) << "a requeue raised the count";
}

TEST_P(EngineLifecycle, ExtendLease) {
  must_enqueue(q(), "m0");
  must_enqueue(q(), "m1");
  EXPECT_FALSE(ok_value(q().extend_lease(0, 1000))) << "renewed a ready message";
  EXPECT_FALSE(ok_value(q().extend_lease(77, 1000))) << "renewed a seq never enqueued";
  auto d = must_dequeue(q(), 60000);
  ASSERT_TRUE(d);
  EXPECT_TRUE(ok_value(q().extend_lease(0, 120000)));
  EXPECT_EQ(q().impl().inner.state.messages.at(0).deliveries, 1u);
  // Shortening: reclaimed by the first reclaiming call a millisecond later.
  EXPECT_TRUE(ok_value(q().extend_lease(0, 1)));
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_EQ(ok_value(q().available()), 2u);
  // An expired lease that no reclaiming call took back is still renewable.
  auto d1 = must_dequeue(q(), 0);
  ASSERT_TRUE(d1);
  EXPECT_EQ(d1->seq, 0u);
  EXPECT_EQ(ok_value(q().in_flight()), 1u);
  EXPECT_TRUE(ok_value(q().extend_lease(0, kHourMs)));
  EXPECT_EQ(ok_value(q().available()), 1u) << "the renewed lease was reclaimed";
  auto d2 = must_dequeue(q());
  ASSERT_TRUE(d2);
  EXPECT_EQ(d2->seq, 1u);
  EXPECT_TRUE(ok_value(q().ack(0)));
  EXPECT_FALSE(ok_value(q().extend_lease(0, 1000))) << "renewed an acknowledged message";
  EXPECT_EQ(q().impl().lease_length(std::nullopt), 30000u);
}

TEST_P(EngineLifecycle, SettlingCountsAndRemoves) {
  for (int i = 0; i < 5; ++i) must_enqueue(q(), numbered("m", i));
  must_dequeue(q());
  EXPECT_TRUE(ok_value(q().ack(0))) << "ack of a leased message";
  EXPECT_FALSE(ok_value(q().ack(0))) << "second ack";
  EXPECT_TRUE(ok_value(q().ack(1))) << "ack of a message never dequeued";
  EXPECT_FALSE(ok_value(q().ack(12345)));
  EXPECT_EQ(ok_value(q().ack_batch({3, 3, 99})), 1u);
  EXPECT_TRUE(ok_value(q().nack(2, false)));
  EXPECT_FALSE(ok_value(q().nack(2, true)));
  QueueStats s = must_stats(q());
  EXPECT_EQ(s.acked_total, 3u);
  EXPECT_EQ(s.dead_total, 1u);
  EXPECT_EQ(s.total, 1u);
  EXPECT_EQ(s.live_bytes, 2u + 33);
  EXPECT_EQ(s.enqueued_total, 5u);
  EXPECT_EQ(must_dequeue(q())->seq, 4u);
  EXPECT_EQ(s.log_bytes == 16u, !GetParam());
}

TEST_P(EngineLifecycle, BatchesShareTimestampAndDeadline) {
  for (int i = 0; i < 5; ++i) must_enqueue(q(), "x");
  EXPECT_EQ(ok_value(q().ack_batch({0, 1, 2, 3, 4})), 5u);
  const uint64_t live = must_stats(q()).live_bytes;
  const Bytes a = bytes_of("a"), b = bytes_of("b"), c = bytes_of("c");
  auto seqs = q().enqueue_batch({span_of(a), span_of(b), span_of(c)});
  ASSERT_TRUE(seqs.ok());
  EXPECT_EQ(*seqs, (std::vector<uint64_t>{5, 6, 7}));
  EXPECT_EQ(must_stats(q()).live_bytes, live + 102);
  CollectingSink none;
  ASSERT_TRUE(q().dequeue_batch(0, std::nullopt, none).ok());
  EXPECT_TRUE(none.items.empty());
  EXPECT_EQ(ok_value(q().in_flight()), 0u);
  CollectingSink sink;
  ASSERT_TRUE(q().dequeue_batch(10, 5000, sink).ok());
  ASSERT_EQ(sink.items.size(), 3u);
  std::set<uint64_t> deadlines;
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sink.items[i].seq, 5 + i);
    EXPECT_EQ(sink.items[i].body, Bytes{uint8_t('a' + i)});
    EXPECT_EQ(sink.items[i].enqueued_ts_ms, sink.items[0].enqueued_ts_ms);
    deadlines.insert(q().impl().inner.state.in_flight.at(5 + i));
  }
  EXPECT_EQ(deadlines.size(), 1u);
}

TEST_P(EngineLifecycle, EmptyBodiesAreDelivered) {
  EXPECT_EQ(must_enqueue(q(), ""), 0u);
  const Bytes empty;
  EXPECT_EQ(ok_value(q().enqueue_batch({span_of(empty), span_of(empty)})),
            (std::vector<uint64_t>{1, 2}));
  for (uint64_t seq = 0; seq < 3; ++seq) {
    auto d = must_dequeue(q());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->seq, seq);
    EXPECT_TRUE(d->body.empty());
  }
  EXPECT_EQ(must_stats(q()).live_bytes, 3u * 33);
}

TEST_P(EngineLifecycle, ExpiredLeaseCountsAsInFlightUntilReclaimed) {
  must_enqueue(q(), "m");
  must_dequeue(q(), 0);
  EXPECT_EQ(ok_value(q().in_flight()), 1u);
  EXPECT_EQ(ok_value(q().in_flight()), 1u);
  EXPECT_EQ(must_stats(q()).in_flight, 0u);
  EXPECT_EQ(ok_value(q().in_flight()), 0u);
}

TEST_P(EngineLifecycle, SinkRefusalKeepsTheLease) {
  struct Refusing : DeliverySink {
    bool deliver(const Delivery&) override { return false; }
  } refusing;
  must_enqueue(q(), "m");
  auto r = q().dequeue(kHourMs, refusing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kCallback);
  EXPECT_EQ(ok_value(q().in_flight()), 1u);
  EXPECT_FALSE(must_dequeue(q()));
}

TEST_P(EngineLifecycle, PurgeEmptiesAndRestartsSeqs) {
  for (int i = 0; i < 3; ++i) must_enqueue(q(), "m");
  must_dequeue(q());
  const uint64_t generation = must_stats(q()).generation;
  ASSERT_TRUE(q().purge().ok());
  QueueStats s = must_stats(q());
  EXPECT_EQ(s.total, 0u);
  EXPECT_EQ(s.enqueued_total, 0u);
  EXPECT_EQ(s.log_bytes, 16u);
  EXPECT_EQ(s.generation, GetParam() ? generation + 1 : 0u);
  EXPECT_FALSE(ok_value(q().ack(0)));
  EXPECT_EQ(must_enqueue(q(), "again"), 0u);
}

TEST_P(EngineLifecycle, CompactKeepsEveryLiveMessage) {
  for (int i = 0; i < 4; ++i) must_enqueue(q(), numbered("m", i));
  must_dequeue(q(), kHourMs);
  EXPECT_TRUE(ok_value(q().ack(1)));
  const Snapshot before = snapshot(q());
  ASSERT_TRUE(q().compact().ok());
  EXPECT_EQ(snapshot(q()), before);
  EXPECT_EQ(must_stats(q()).generation, GetParam() ? 1u : 0u);
}

// On disk a body is read from a map of the log; a map that cannot be made
// fails the call and the lease comes back like any other.
TEST(EngineBodies, FailedMapIsReportedAndTheMessageComesBack) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "body");
  {
    FaultScope faults;
    faults.fail(sys::Call::kMmap, ENOMEM);
    CollectingSink sink;
    auto r = q->dequeue(/*lease_ms=*/0, sink);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().os_code(), ENOMEM);
    EXPECT_TRUE(sink.items.empty());
  }
  EXPECT_FALSE(q->impl().inner.map.mapped());
  auto again = must_dequeue(*q);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, bytes_of("body"));
  EXPECT_EQ(again->deliveries, 2u);
}

// The body map reaches past the log's end, so messages appended after it was
// made are read through it; one beyond that room gets a new map.
TEST(EngineBodies, TheMapServesLaterBodiesUntilItsRoomRunsOut) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  auto maps_for_next_dequeue = [&](const Bytes& want) {
    CallCounter maps(sys::Call::kMmap);
    auto got = must_dequeue(*q);
    EXPECT_TRUE(got && got->body == want);
    return maps.count();
  };
  const Bytes a = bytes_of("a"), b = bytes_of("b"), big(kMapRoomBytes + 1, 'z');
  must_enqueue(*q, "a");
  EXPECT_EQ(maps_for_next_dequeue(a), 1u);
  must_enqueue(*q, "b");
  EXPECT_EQ(maps_for_next_dequeue(b), 0u);
  ASSERT_TRUE(q->enqueue(span_of(big)).ok());
  EXPECT_EQ(maps_for_next_dequeue(big), 1u);
}

// A log holding the largest id leaves none to hand out: enqueue and
// enqueue_batch refuse, writing nothing, rather than wrap to 0 and replace the
// live message 0; so does an object that learns of the id by catching up.
TEST(EngineIds, NoIdIsAssignedPastTheLargest) {
  TempDir tmp;
  const std::string log_path = tmp.file("queue.log");
  write_file(log_path, LogBuilder().enqueue(0, 1, "zero").enqueue(UINT64_MAX - 2, 2, "near").bytes());
  auto q = open_queue(tmp.path());
  auto other = open_queue(tmp.path());
  ASSERT_TRUE(q && other);
  const Bytes body = bytes_of("new");
  auto refused = [&](Result<std::vector<uint64_t>> r) {
    return !r.ok() && r.error().kind() == ErrorKind::kIdsExhausted;
  };
  const Bytes before = read_file(log_path);
  EXPECT_TRUE(refused(q->enqueue_batch(std::vector<ByteSpan>(3, span_of(body)))));
  EXPECT_EQ(read_file(log_path), before);
  auto last_two = q->enqueue_batch(std::vector<ByteSpan>(2, span_of(body)));
  ASSERT_TRUE(last_two.ok());
  EXPECT_EQ(*last_two, (std::vector<uint64_t>{UINT64_MAX - 1, UINT64_MAX}));
  const Bytes full = read_file(log_path);
  for (Queue* object : {q.get(), other.get()}) {
    auto single = object->enqueue(span_of(body));
    ASSERT_FALSE(single.ok());
    EXPECT_EQ(single.error().kind(), ErrorKind::kIdsExhausted);
    EXPECT_EQ(single.error().text(),
              "Tarnwick: message ids are exhausted (the largest is 18446744073709551615)");
    EXPECT_TRUE(refused(object->enqueue_batch({span_of(body)})));
    EXPECT_EQ(must_stats(*object).next_seq, UINT64_MAX);
  }
  EXPECT_EQ(read_file(log_path), full);
  auto first = must_dequeue(*q);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->seq, 0u);
  EXPECT_EQ(to_string(first->body), "zero");
  expect_fresh_open_agrees(tmp.path(), *q);
  // Purge starts the ids again.
  ASSERT_TRUE(q->purge().ok());
  EXPECT_EQ(must_enqueue(*other, "again"), 0u);
}

INSTANTIATE_TEST_SUITE_P(EngineStorage, EngineLifecycle, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return param_info.param ? "disk" : "memory";
                         });

}  // namespace
}  // namespace tarnwick::testing
