// The space reserve beside the log: its size, settling and moving to the dead
// letters on a full disk (an injected ENOSPC), puts refused meanwhile, and a
// compaction that spends the rest and brings the reserve back.
#include "queue/space_reserve.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "engine_helpers.h"
#include "log_io/sys.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

namespace fs = std::filesystem;
using sys::Call;

constexpr uint64_t kLeast = 64 << 10;

uint64_t reserve_size(const TempDir& tmp) {
  const std::string path = tmp.file(kReserveName);
  return fs::exists(path) ? fs::file_size(path) : 0;
}

// A queue with `count` messages leased under a long lease.
std::unique_ptr<Queue> leased_queue(const TempDir& tmp, int count) {
  auto q = open_queue(tmp.path());
  if (!q) return nullptr;
  for (int i = 0; i < count; ++i) must_enqueue(*q, numbered("m", static_cast<uint64_t>(i)));
  for (int i = 0; i < count; ++i) EXPECT_TRUE(must_dequeue(*q, kHourMs).has_value());
  return q;
}

TEST(SpaceReserve, AnEighthOfTheLogWithinItsBounds) {
  const SpaceReserve reserve("unused", uint64_t{1} << 20);
  EXPECT_EQ(reserve.size_for(0), kLeast);
  EXPECT_EQ(reserve.size_for(4 << 20), uint64_t{512} << 10);
  EXPECT_EQ(reserve.size_for((4 << 20) + 100), uint64_t{512} << 10) << "whole pages";
  EXPECT_EQ(reserve.size_for(uint64_t{1} << 40), uint64_t{1} << 20) << "the cap";
  EXPECT_EQ(reserve.compaction_share(4 << 20), uint64_t{64} << 10);
  EXPECT_EQ(reserve.compaction_share(0), uint64_t{8} << 10);
  EXPECT_EQ(SpaceReserve("unused", 0).size_for(4 << 20), 0u);

  TempDir tmp;
  {
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    EXPECT_EQ(reserve_size(tmp), kLeast);
    const std::string body(64 << 10, 'b');
    for (int i = 0; i < 32; ++i) must_enqueue(*q, body);  // a log of 2 MiB
    const uint64_t grown = reserve_size(tmp);
    EXPECT_GT(grown, kLeast) << "the reserve grows with the log";
    EXPECT_LE(grown, must_stats(*q).log_bytes / 8);
    EXPECT_GE(grown + (32 << 10), must_stats(*q).log_bytes / 8) << "at most a step behind";
    ASSERT_TRUE(q->purge().ok());
    EXPECT_EQ(reserve_size(tmp), kLeast) << "sized anew for the empty log";
  }
  Settings none = make_settings();
  none.reserve_bytes = 0;
  TempDir bare;
  ASSERT_TRUE(open_queue(bare.path(), none));
  EXPECT_FALSE(fs::exists(bare.file(kReserveName)));

  TempDir jobs;
  ASSERT_TRUE(JobQueue::open(jobs.path(), make_settings()).ok());
  EXPECT_EQ(reserve_size(jobs), kLeast);
  EXPECT_FALSE(fs::exists(jobs.file(std::string(kDeadLetterDir) + "/" + kReserveName)))
      << "the dead letters spend the main queue's reserve";
}

TEST(SpaceReserve, SettlingGoesThroughAFullDiskAndPutsWait) {
  TempDir tmp;
  auto q = leased_queue(tmp, 4);
  ASSERT_TRUE(q);
  {
    FaultScope faults;  // the first write finds the disk full, part-way
    faults.fail(Call::kWrite, ENOSPC, 0, 1, 5);
    EXPECT_TRUE(ok_value(q->ack(0)));
  }
  EXPECT_EQ(reserve_size(tmp), uint64_t{8} << 10) << "the settling share was freed";
  EXPECT_TRUE(parse_log(read_file(tmp.file("queue.log"))).clean);

  // A put may not take the freed room: it writes nothing while the reserve
  // cannot be made whole.
  const Bytes log = read_file(tmp.file("queue.log"));
  {
    FaultScope faults;
    faults.fail(Call::kPreallocate, ENOSPC, 0, UINT64_MAX);
    CallCounter writes(Call::kWrite);
    auto put = q->enqueue(span_of(bytes_of("late")));
    ASSERT_FALSE(put.ok());
    EXPECT_EQ(put.error().os_code(), ENOSPC);
    EXPECT_EQ(writes.count(), 0u);
    // The other settles go on while the disk has room for them.
    EXPECT_TRUE(ok_value(q->nack(1, true)));
    EXPECT_TRUE(ok_value(q->extend_lease(2, kHourMs)));
    EXPECT_TRUE(ok_value(q->nack(3, false)));
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")).size(), log.size() + 25 + 33 + 21);

  // With the settling share spent, a full disk fails a settle cleanly.
  const Snapshot before = snapshot(*q);
  const uint64_t log_bytes = q->impl().inner.log_bytes;
  {
    FaultScope faults;
    faults.fail(Call::kWrite, ENOSPC, 0, 1, 5);
    auto ack = q->ack(2);
    ASSERT_FALSE(ack.ok());
    EXPECT_EQ(ack.error().os_code(), ENOSPC);
  }
  EXPECT_EQ(snapshot(*q), before);
  EXPECT_EQ(q->impl().inner.log_bytes, log_bytes);
  EXPECT_EQ(reserve_size(tmp), uint64_t{8} << 10);

  // Once the disk has room, the next put fills the reserve up again first.
  EXPECT_EQ(must_enqueue(*q, "room again"), 4u);
  EXPECT_EQ(reserve_size(tmp), kLeast);
  expect_fresh_open_agrees(tmp.path(), *q);
}

TEST(SpaceReserve, CompactionSpendsTheRestAndBringsItBack) {
  TempDir tmp;
  auto q = leased_queue(tmp, 3);
  ASSERT_TRUE(q);
  {
    FaultScope faults;
    faults.fail(Call::kWrite, ENOSPC);
    ASSERT_TRUE(ok_value(q->ack(0)));
  }
  ASSERT_EQ(reserve_size(tmp), uint64_t{8} << 10);
  {
    FaultScope faults;  // the new log's first write finds the disk full,
    faults.fail(Call::kWrite, ENOSPC);
    faults.fail(Call::kPreallocate, ENOSPC);  // and there is no room to refill
    ASSERT_TRUE(q->compact().ok()) << "the compaction spends the rest of the reserve";
  }
  EXPECT_EQ(must_stats(*q).generation, 1u);
  EXPECT_FALSE(fs::exists(tmp.file(kReserveName))) << "spent, and not refilled";
  EXPECT_EQ(must_enqueue(*q, "room again"), 3u) << "a put refills the reserve first";
  EXPECT_EQ(reserve_size(tmp), kLeast);

  // A compaction that finds no room even then fails cleanly.
  {
    FaultScope faults;
    faults.fail(Call::kWrite, ENOSPC, 0, UINT64_MAX);
    auto compacted = q->compact();
    ASSERT_FALSE(compacted.ok());
    EXPECT_EQ(compacted.error().os_code(), ENOSPC);
  }
  EXPECT_FALSE(fs::exists(tmp.file("queue.compact.tmp")));
  EXPECT_FALSE(fs::exists(tmp.file(kReserveName)));
  EXPECT_EQ(must_stats(*q).generation, 1u);
  ASSERT_TRUE(q->compact().ok());
  EXPECT_EQ(must_stats(*q).generation, 2u);
  EXPECT_EQ(reserve_size(tmp), kLeast) << "the reserve came back";
  EXPECT_EQ(must_stats(*q).total, 3u);
  expect_fresh_open_agrees(tmp.path(), *q);
}

TEST(SpaceReserve, DeadLetterSpendsTheMainQueuesReserve) {
  TempDir tmp;
  auto jobs = JobQueue::open(tmp.path(), make_settings());
  ASSERT_TRUE(jobs.ok());
  JobQueue& q = **jobs;
  const Bytes body = bytes_of("poison");
  const ByteSpan one = span_of(body);
  ASSERT_TRUE(q.put(std::span(&one, 1), 0).ok());
  auto taken = ok_value(take_copies(q, 1, kHourMs, 0));
  ASSERT_EQ(taken.size(), 1u);
  {
    FaultScope faults;  // the letter's write finds the disk full
    faults.fail(Call::kWrite, ENOSPC, 0, 1, 3);
    EXPECT_TRUE(ok_value(q.bury(taken[0].lease, "bad")));
  }
  EXPECT_EQ(reserve_size(tmp), uint64_t{8} << 10);
  auto letters = ok_value(q.dead_letters(10));
  ASSERT_EQ(letters.size(), 1u);
  EXPECT_EQ(to_string(Bytes(letters[0].body)), "poison");
  EXPECT_EQ(must_stats(q).total, 0u);
}

// Two objects on one directory: the one that comes second finds the
// settling share already spent and fails cleanly.
TEST(SpaceReserve, FreedOnceAcrossObjects) {
  TempDir tmp;
  auto a = leased_queue(tmp, 2);
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  {
    FaultScope faults;
    faults.fail(Call::kWrite, ENOSPC);
    EXPECT_TRUE(ok_value(a->ack(0)));
  }
  const Bytes log = read_file(tmp.file("queue.log"));
  {
    FaultScope faults;
    faults.fail(Call::kWrite, ENOSPC);
    EXPECT_FALSE(b->ack(1).ok());
  }
  EXPECT_EQ(read_file(tmp.file("queue.log")), log);
  EXPECT_TRUE(ok_value(b->ack(1)));
  ASSERT_TRUE(a->in_flight().ok());  // catches up
  expect_fresh_open_agrees(tmp.path(), *a);
}

TEST(SpaceReserve, AReserveWithoutRoomIsGoneWithout) {
  TempDir tmp;
  {
    FaultScope faults;
    faults.fail(Call::kPreallocate, ENOSPC);
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    EXPECT_FALSE(fs::exists(tmp.file(kReserveName)));
    EXPECT_EQ(must_enqueue(*q, "fine"), 0u) << "a put refills the reserve first";
  }
  EXPECT_EQ(reserve_size(tmp), kLeast);
}

}  // namespace
}  // namespace tarnwick::testing
