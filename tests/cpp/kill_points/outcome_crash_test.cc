// A settle that keeps its outcome, killed (SIGKILL) at every point of its
// commit, of the upgrade of a format-2 log that its first OUTCOME makes,
// and of a move to the dead letters: afterwards the message is either
// still leased with no outcome, or gone with its outcome whole (the result,
// the dead letter). Never one without the other.
#include <cstdlib>
#include <memory>

#include "../engine_helpers.h"
#include "kill_in_child.h"
#include "log_io/kill_point.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

Settings keeping() {
  Settings s = make_settings();
  s.keep_acked_ms = s.keep_dead_ms = s.keep_cancelled_ms = kHourMs;
  return s;
}

enum class Settle { kAck, kBury };

// Takes the oldest message in a child, arms `point`, settles it; the
// parent SIGKILLs the child once it stands at the point.
void crash_settle_at(const std::string& dir, KillPoint point, Settle settle) {
  std::unique_ptr<JobQueue> q;
  LeaseToken lease{};
  const auto prepare = [&] {
    // An ack's own sync runs under the lock only where shared syncs are off.
    if (point == KillPoint::kCommitSyncedBeforeUnlock && settle == Settle::kAck) {
      ::setenv("TARNWICK_GROUP_COMMIT", "0", 1);
    }
    auto opened = JobQueue::open(dir, keeping());
    if (!opened.ok()) return false;
    q = std::move(opened.value());
    auto taken = take_copies(*q, 1, kHourMs, 0);
    if (!taken.ok() || taken->size() != 1) return false;
    lease = taken->front().lease;
    return true;
  };
  const auto step = [&] {
    const Bytes result = bytes_of("the result");
    if (settle == Settle::kAck) {
      (void)q->ack(lease, std::optional<ByteSpan>(span_of(result)));
    } else {
      (void)q->bury(lease, "the reason");
    }
  };
  kill_in_child_at(point, prepare, step);
}

void put_two(const std::string& dir, bool format_3) {
  auto q = open_jobs(dir, keeping());
  const Bytes a = bytes_of("a");
  const Bytes b = bytes_of("b");
  const ByteSpan two[] = {span_of(a), span_of(b)};
  ASSERT_TRUE(q->put(two, 0, SyncRule::kForce).ok());
  if (format_3) {
    // A cancel that keeps its outcome makes the log format 3 beforehand.
    const Bytes c = bytes_of("c");
    const ByteSpan one = span_of(c);
    auto seq = ok_value(q->put(std::span(&one, 1), kHourMs, SyncRule::kForce));
    ASSERT_TRUE(ok_value(q->cancel(seq)));
  } else {
    PutOptions o;
    o.priority = -1;  // format 2, and taken last
    const Bytes c = bytes_of("c");
    const ByteSpan one = span_of(c);
    ASSERT_TRUE(q->put(std::span(&one, 1), 0, SyncRule::kForce, o).ok());
  }
}

// What a fresh handle makes of message 0 after the crash.
void check_all_or_nothing(const std::string& dir, Settle settle, uint64_t live_before,
                          const char* where) {
  auto q = open_jobs(dir, keeping());
  ASSERT_TRUE(q) << where;
  auto found = ok_value(q->status(0));
  ASSERT_TRUE(found) << where;
  const JobStats stats = ok_value(q->stats());
  if (std::string(found->state) == "leased") {
    EXPECT_FALSE(found->finished_ms) << where;
    EXPECT_EQ(stats.core.total, live_before) << where;
    return;
  }
  EXPECT_EQ(stats.core.total, live_before - 1) << where;
  EXPECT_EQ(ok_value(q->outcomes(std::nullopt, 10, std::nullopt)).empty(), false) << where;
  if (settle == Settle::kAck) {
    EXPECT_STREQ(found->state, "acked") << where;
    ASSERT_TRUE(found->result) << where;
    EXPECT_EQ(*found->result, bytes_of("the result")) << where;
  } else {
    EXPECT_STREQ(found->state, "dead") << where;
    EXPECT_EQ(found->errors, std::vector<std::string>{"the reason"}) << where;
    ASSERT_TRUE(found->dead_letter_id) << where;
    auto letters = ok_value(q->dead_letters(10));
    ASSERT_EQ(letters.size(), 1u) << where;
    EXPECT_EQ(letters[0].id, *found->dead_letter_id) << where;
    EXPECT_EQ(letters[0].original_seq, 0u) << where;
  }
}

TEST(OutcomeCrash, AnAckOrBuryKilledAnywhereKeepsItsOutcomeWithItOrNeither) {
  const KillPoint commit_points[] = {KillPoint::kCommitBeforeWrite,
                                     KillPoint::kCommitWrittenBeforeApply,
                                     KillPoint::kCommitAppliedBeforeSync,
                                     KillPoint::kCommitSyncedBeforeUnlock,
                                     KillPoint::kGroupCommitBeforeSync,
                                     KillPoint::kGroupCommitSyncedBeforePublish};
  const KillPoint upgrade_points[] = {KillPoint::kCompactTempWritten, KillPoint::kCompactTempSynced,
                                      KillPoint::kCompactRenamed, KillPoint::kCompactDirSynced};
  for (Settle settle : {Settle::kAck, Settle::kBury}) {
    for (bool format_3 : {true, false}) {
      std::vector<KillPoint> points(std::begin(commit_points), std::end(commit_points));
      if (!format_3) points.assign(std::begin(upgrade_points), std::end(upgrade_points));
      if (settle == Settle::kBury) points.push_back(KillPoint::kDeadLetterWrittenBeforeDead);
      for (KillPoint point : points) {
        TempDir dir;
        put_two(dir.path(), format_3);
        crash_settle_at(dir.path(), point, settle);
        const std::string where = std::string(kill_point_name(point)) +
                                  (settle == Settle::kAck ? " ack" : " bury") +
                                  (format_3 ? " format 3" : " upgrading");
        check_all_or_nothing(dir.path(), settle, format_3 ? 2 : 3, where.c_str());
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing
