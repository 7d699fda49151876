// When the longest-waiting ready message became ready, and the leases that
// ran out: kept in step by every record, by its writer, by a replay and
// through compaction.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine_helpers.h"
#include "log_io/clock.h"
#include "queue/job_queue.h"
#include "queue/outcome_record.h"
#include "queue/queue_state.h"

namespace tarnwick::testing {
namespace {

std::vector<uint64_t> put(JobQueue& q, std::vector<std::string> bodies, uint64_t delay_ms = 0) {
  std::vector<Bytes> owned;
  std::vector<ByteSpan> spans;
  for (const auto& b : bodies) owned.push_back(bytes_of(b));
  for (const auto& b : owned) spans.push_back(span_of(b));
  return ok_value(q.put(spans, delay_ms));
}

LeaseToken take_one(JobQueue& q, uint64_t lease_ms, uint32_t max_deliveries = 0) {
  auto taken = ok_value(take_copies(q, 1, lease_ms, max_deliveries));
  EXPECT_EQ(taken.size(), 1u);
  return taken.empty() ? LeaseToken{} : taken[0].lease;
}

JobStats stats_of(JobQueue& q) {
  auto r = q.stats();
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
  return r.ok() ? *r : JobStats{};
}

uint64_t put_time(JobQueue& q, uint64_t seq) {
  return q.impl().state().messages.at(seq).enqueued_ts_ms;
}

// Longer than any lease these tests mean to run out.
void outlive_short_leases() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

// Entries of messages that left, or that became ready again later, stay
// behind in the index until it is rebuilt: through many of both, the oldest
// is still right at every step and the index stays near the ready count.
TEST(ReadySince, StaleEntriesNeitherMisleadNorPileUp) {
  QueueState s;
  const Bytes body = bytes_of("b");
  uint64_t next = 0;
  uint64_t most_ready = 0;  // the index is rebuilt as messages become ready
  for (uint64_t round = 0; round < 40; ++round) {
    for (int i = 0; i < 200; ++i, ++next) s.apply(RecordView::enqueue(next, 1000 + next, body), 16);
    most_ready = std::max<uint64_t>(most_ready, s.ready_count());
    // Of the newest 200, lease and return some (ready again, later), ack most.
    for (uint64_t seq = next - 200; seq < next; ++seq) {
      if (seq % 7 == 0) {
        s.apply(RecordView::lease(seq, 900'000, 1, 5000 + seq, 0, "w"), 0);
        s.apply(RecordView::requeue(seq, 1, 6000 + seq), 0);
      } else if (seq % 5 != 0) {
        s.apply(RecordView::ack(seq), 0);
      }
      if (seq % 3 == 0 && s.messages.contains(seq)) {
        s.apply(RecordView::lease(seq, 900'000, 2, 7000 + seq, 0, "w"), 0);  // leased: not ready
      }
    }
    std::optional<uint64_t> want;
    for (const auto& [seq, entry] : s.messages) {
      if (s.in_flight.contains(seq)) continue;
      if (!want || entry.ready_since_ms < *want) want = entry.ready_since_ms;
    }
    ASSERT_EQ(s.oldest_ready_ms(), want) << "round " << round;
    ASSERT_LE(s.ready_since.size(), 2 * most_ready + 1025) << "round " << round;
  }
  EXPECT_GT(s.ready_count(), 1000u);
}

TEST(ReadySince, StateFollowsEveryWayInAndOut) {
  QueueState s;
  const Bytes body = bytes_of("b");
  EXPECT_FALSE(s.oldest_ready_ms());
  s.apply(RecordView::enqueue(0, 1000, body), 16);
  s.apply(RecordView::enqueue(1, 2000, body), 64);
  EXPECT_EQ(s.oldest_ready_ms(), 1000u);
  s.apply(RecordView::lease(0, 5000, 1, 1500, 0, "w"), 0);
  EXPECT_EQ(s.oldest_ready_ms(), 2000u);
  // Returned by its writer before the deadline: ready from then, no expiry.
  s.apply(RecordView::requeue(0, 1, 3000), 0);
  EXPECT_EQ(s.oldest_ready_ms(), 2000u);
  EXPECT_EQ(s.messages.at(0).ready_since_ms, 3000u);
  EXPECT_EQ(s.expired_total, 0u);
  // Returned past its deadline: the lease ran out at the deadline.
  s.apply(RecordView::lease(1, 4000, 1, 2500, 0, "w"), 0);
  s.apply(RecordView::requeue(1, 1, 9000), 0);
  EXPECT_EQ(s.messages.at(1).ready_since_ms, 4000u);
  EXPECT_EQ(s.expired_total, 1u);
  EXPECT_EQ(s.oldest_ready_ms(), 3000u);
  // A delay that ends is no lease running out.
  s.apply(RecordView::enqueue(2, 500, body), 96);
  s.apply(RecordView::schedule(2, 6000, 0), 0);
  EXPECT_EQ(s.oldest_ready_ms(), 3000u);
  s.apply(RecordView::requeue(2, 0, 7000), 0);
  EXPECT_EQ(s.messages.at(2).ready_since_ms, 6000u);
  EXPECT_EQ(s.expired_total, 1u);
  // A pause holds messages back without making them less ready.
  s.apply(RecordView::settings(true, 1), 0);
  EXPECT_EQ(s.oldest_ready_ms(), 3000u);
  s.apply(RecordView::cancel(0), 0);
  EXPECT_EQ(s.oldest_ready_ms(), 4000u);
  s.apply(RecordView::dead(1), 0);
  s.apply(RecordView::ack(2), 0);
  EXPECT_FALSE(s.oldest_ready_ms());
  EXPECT_TRUE(s.ready_since_entries().empty());
}

TEST(ReadySince, AReplayedReturnWithItsErrorIsNoExpiry) {
  // Read from the log a REQUEUE tells no time; its deadline has passed
  // here. The nack's HISTORY, written first, shows the delivery ended by hand.
  QueueState s;
  const Bytes body = bytes_of("b");
  s.apply(RecordView::enqueue(0, 1000, body), 16);
  s.apply(RecordView::enqueue(1, 1000, body), 64);
  s.apply(RecordView::lease(0, 5000, 1, 1500, 0, "w"), 0);
  s.apply(RecordView::lease(1, 5000, 1, 1500, 0, "w"), 0);
  HistoryFields h;
  h.seq = 0;
  h.recorded = 1;
  h.started_ms = 1500;
  h.lists.errors.emplace_back("boom");
  std::vector<uint8_t> payload;
  encode_history(h, payload);
  s.apply(RecordView::encoded(HISTORY, 0, payload), 0);
  s.apply(RecordView::requeue(0, 1), 0);
  EXPECT_EQ(s.expired_total, 0u);
  s.apply(RecordView::requeue(1, 1), 0);
  EXPECT_EQ(s.expired_total, 1u);
  EXPECT_EQ(s.messages.at(0).ready_since_ms, 5000u) << "no later than its deadline";
}

TEST(ReadySince, GroupHeldMessagesCountAsReady) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  const Bytes a = bytes_of("a"), b = bytes_of("b");
  const ByteSpan bodies[2] = {span_of(a), span_of(b)};
  PutOptions options;
  options.group = "g";
  ASSERT_TRUE(q->put(bodies, 0, SyncRule::kInterval, options).ok());
  take_one(*q, kHourMs);
  const JobStats s = stats_of(*q);
  EXPECT_EQ(s.core.ready, 1u);
  EXPECT_EQ(s.oldest_ready_ms, put_time(*q, 1)) << "held back by its group, still ready";
  ASSERT_TRUE(q->set_paused(true).ok());
  EXPECT_EQ(stats_of(*q).oldest_ready_ms, put_time(*q, 1));
}

TEST(ReadySince, ThroughTakesReturnsReplayAndCompaction) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  EXPECT_FALSE(stats_of(*q).oldest_ready_ms);
  put(*q, {"returned", "runs out"});
  const uint64_t put_ms = put_time(*q, 0);
  EXPECT_EQ(stats_of(*q).oldest_ready_ms, put_ms);

  // The lease that must hold is taken first, so the short one cannot run
  // out before it and hand its message to it.
  const LeaseToken returned = take_one(*q, kHourMs);
  EXPECT_EQ(stats_of(*q).oldest_ready_ms, put_ms) << "the other message";
  const LeaseToken runs_out = take_one(*q, 1);
  ASSERT_EQ(runs_out.seq, 1u);
  outlive_short_leases();
  JobStats s = stats_of(*q);  // reclaims the lease that ran out
  EXPECT_EQ(s.oldest_ready_ms, runs_out.deadline_ms);
  EXPECT_EQ(s.core.expired_total, 1u);

  const uint64_t before_nack = now_ms();
  ASSERT_TRUE(ok_value(q->nack(returned, 0)));
  const uint64_t after_nack = now_ms();
  const uint64_t nacked_at = q->impl().state().messages.at(0).ready_since_ms;
  EXPECT_GE(nacked_at, before_nack);
  EXPECT_LE(nacked_at, after_nack);
  s = stats_of(*q);
  EXPECT_EQ(s.oldest_ready_ms, runs_out.deadline_ms);
  EXPECT_EQ(s.core.expired_total, 1u) << "a nack before the deadline is no expiry";

  // Another handle reads it all from the log: the expiry, and the time
  // the lease ran out; a nack's time it cannot know, but it is no later
  // than when it read it.
  {
    auto other = open_jobs(tmp.path());
    ASSERT_TRUE(other);
    const JobStats replayed = stats_of(*other);
    EXPECT_EQ(replayed.core.expired_total, 1u);
    EXPECT_EQ(replayed.oldest_ready_ms, runs_out.deadline_ms);
    const uint64_t read_nack = other->impl().state().messages.at(0).ready_since_ms;
    EXPECT_GE(read_nack, nacked_at);
    EXPECT_LE(read_nack, now_ms());
  }

  // Taken again, and run out again: one more, counted once.
  const LeaseToken again = take_one(*q, 1);
  ASSERT_EQ(again.seq, 0u);
  EXPECT_EQ(stats_of(*q).oldest_ready_ms, runs_out.deadline_ms);
  outlive_short_leases();
  s = stats_of(*q);
  EXPECT_EQ(s.core.expired_total, 2u);
  EXPECT_EQ(stats_of(*q).core.expired_total, 2u) << "a second look counts nothing more";
  {
    auto other = open_jobs(tmp.path());
    ASSERT_TRUE(other);
    EXPECT_EQ(stats_of(*other).core.expired_total, 2u);
    EXPECT_EQ(other->impl().state().ready_since_entries(), q->impl().state().ready_since_entries());
  }

  // The compacting handle keeps what it knew; a log read in full after it
  // tells only the puts (and counts from there, as every total does).
  const JobStats kept = stats_of(*q);
  ASSERT_TRUE(q->compact().ok());
  const JobStats compacted = stats_of(*q);
  EXPECT_EQ(compacted.oldest_ready_ms, kept.oldest_ready_ms);
  EXPECT_EQ(compacted.core.expired_total, 2u);
  const std::set<std::pair<uint64_t, uint64_t>> known = {{again.deadline_ms, 0},
                                                         {runs_out.deadline_ms, 1}};
  EXPECT_EQ(q->impl().state().ready_since_entries(), known);
  EXPECT_EQ(compacted.core.ready, 2u);
  auto fresh = open_jobs(tmp.path());
  ASSERT_TRUE(fresh);
  const JobStats read = stats_of(*fresh);
  EXPECT_EQ(read.core.expired_total, 0u);
  EXPECT_EQ(read.oldest_ready_ms, put_ms);
  const std::set<std::pair<uint64_t, uint64_t>> puts = {{put_ms, 0}, {put_ms, 1}};
  EXPECT_EQ(fresh->impl().state().ready_since_entries(), puts);
}

TEST(ReadySince, ADelayEndsReadyAtItsDueTimeAndDeliveryLimitBuriesCountOnce) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q);
  put(*q, {"later"}, 1);
  const uint64_t due = q->impl().state().in_flight.at(0);
  outlive_short_leases();
  JobStats s = stats_of(*q);
  EXPECT_EQ(s.oldest_ready_ms, due);
  EXPECT_EQ(s.core.expired_total, 0u) << "a delay is no lease";

  take_one(*q, 1, 1);
  outlive_short_leases();
  // Taken again past the delivery limit, it goes to the dead letters.
  auto taken = ok_value(take_copies(*q, 1, kHourMs, 1));
  EXPECT_TRUE(taken.empty());
  s = stats_of(*q);
  EXPECT_EQ(s.dead_letters, 1u);
  EXPECT_EQ(s.core.expired_total, 1u);
  EXPECT_FALSE(s.oldest_ready_ms);
  ASSERT_TRUE(q->purge().ok());
  EXPECT_FALSE(stats_of(*q).oldest_ready_ms);
}

}  // namespace
}  // namespace tarnwick::testing
