// Replacing the log: compaction (on request and by the automatic rule) and
// purge, including failures on either side of the rename.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>

#include "engine_helpers.h"

namespace tarnwick::testing {
namespace {

using sys::Call;
namespace fs = std::filesystem;

uint64_t file_generation(const std::string& log_path) {
  return parse_log(read_file(log_path)).generation;
}

// Message 0 "ccc" leased with deliveries 2, 1 "bbbbbb" requeued once, 2 "a"
// never leased, 3 acknowledged.
std::unique_ptr<Queue> mixed_queue(const std::string& dir) {
  auto q = open_queue(dir);
  if (!q) return q;
  for (const char* body : {"ccc", "bbbbbb", "a", "dead"}) must_enqueue(*q, body);
  must_dequeue(*q);
  EXPECT_TRUE(ok_value(q->nack(0, true)));
  EXPECT_EQ(must_dequeue(*q, kHourMs)->deliveries, 2u);
  EXPECT_EQ(must_dequeue(*q)->seq, 1u);
  EXPECT_TRUE(ok_value(q->nack(1, true)));
  EXPECT_TRUE(ok_value(q->ack(3)));
  return q;
}

TEST(EngineCompaction, NewLogHoldsExactlyTheLiveMessages) {
  TempDir tmp;
  const std::string log_path = tmp.file("queue.log");
  auto a = mixed_queue(tmp.path());
  ASSERT_TRUE(a);
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(b);
  ASSERT_TRUE(b->available().ok());
  const Snapshot before = snapshot(*a);
  const QueueStats stats_before = must_stats(*a);

  ASSERT_TRUE(a->compact().ok());
  const uint64_t expected = 16 + (33 + 3 + 25 + 33) + (33 + 6 + 25) + (33 + 1);
  EXPECT_EQ(file_size(log_path), expected);
  EXPECT_FALSE(fs::exists(tmp.file("queue.compact.tmp")));
  QueueStats s = must_stats(*a);
  EXPECT_EQ(s.generation, 1u);
  EXPECT_EQ(s.log_bytes, expected);
  EXPECT_EQ(s.live_bytes, stats_before.live_bytes);
  EXPECT_EQ(s.acked_total, stats_before.acked_total) << "counters are kept";
  EXPECT_EQ(s.next_seq, 4u);
  EXPECT_EQ(snapshot(*a), before);

  const ParsedLog log = parse_log(read_file(log_path));
  ASSERT_TRUE(log.clean);
  EXPECT_EQ(log.generation, 1u);
  EXPECT_EQ(tags_of(log), (std::vector<uint8_t>{1, 4, 3, 1, 4, 1}));
  const uint64_t seqs[] = {0, 0, 0, 1, 1, 2};
  for (size_t i = 0; i < log.frames.size(); ++i) EXPECT_EQ(log.frames[i].seq, seqs[i]) << i;
  EXPECT_EQ(log.frames[1].deliveries, 2u);
  EXPECT_EQ(log.frames[2].deliveries, 2u);
  EXPECT_EQ(log.frames[2].time, *before.at(0).deadline);
  EXPECT_EQ(log.frames[4].deliveries, 1u);
  EXPECT_EQ(replay(log).messages, before);

  // Bodies now come from their new places.
  EXPECT_EQ(a->impl().inner.state.messages.at(2).body_offset, log.frames[5].offset + 33);
  auto d = must_dequeue(*a);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->seq, 1u);
  EXPECT_EQ(to_string(d->body), "bbbbbb");
  EXPECT_EQ(d->deliveries, 2u);

  // The other object reloads at its next call.
  QueueStats sb = must_stats(*b);
  EXPECT_EQ(sb.generation, 1u);
  EXPECT_EQ(sb.log_bytes, must_stats(*a).log_bytes);
  EXPECT_EQ(snapshot(*b), snapshot(*a));
  auto d2 = must_dequeue(*b);
  ASSERT_TRUE(d2);
  EXPECT_EQ(to_string(d2->body), "a");
}

TEST(EngineCompaction, WritesMessagesInSeqOrder) {
  TempDir tmp;
  LogBuilder log;
  log.enqueue(5, 50, "five")
      .enqueue(3, 30, "three")
      .enqueue(9, 90, "nine")
      .ack(9)
      .enqueue(8, 80, "8");
  write_file(tmp.file("queue.log"), log.bytes());
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  ASSERT_TRUE(q->compact().ok());
  const ParsedLog out = parse_log(read_file(tmp.file("queue.log")));
  ASSERT_EQ(out.frames.size(), 3u);
  EXPECT_EQ(out.frames[0].seq, 3u);
  EXPECT_EQ(out.frames[1].seq, 5u);
  EXPECT_EQ(out.frames[2].seq, 8u);
  EXPECT_EQ(out.frames[1].time, 50u) << "timestamps are kept";
  EXPECT_EQ(to_string(out.frames[2].body), "8");
  // A fresh object continues after the highest seq the log still holds.
  auto fresh = open_queue(tmp.path());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(must_stats(*fresh).next_seq, 9u);
  EXPECT_EQ(must_stats(*q).next_seq, 10u);
}

TEST(EngineCompaction, EmptyQueueCompactsToAHeader) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "gone");
  EXPECT_TRUE(ok_value(q->ack(0)));
  ASSERT_TRUE(q->compact().ok());
  EXPECT_EQ(read_file(tmp.file("queue.log")), LogBuilder(1).bytes());
  EXPECT_EQ(must_stats(*q).log_bytes, 16u);
  auto memory = open_queue(":memory:");
  ASSERT_TRUE(memory);
  must_enqueue(*memory, "m");
  ASSERT_TRUE(memory->compact().ok());
  EXPECT_EQ(must_stats(*memory).generation, 0u);
  EXPECT_EQ(must_stats(*memory).total, 1u);
}

TEST(EngineCompaction, LargeBodiesSurvive) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  Bytes big(100000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  ASSERT_TRUE(q->enqueue(span_of(big)).ok());
  must_enqueue(*q, "small");
  ASSERT_TRUE(q->enqueue(span_of(big)).ok());
  EXPECT_TRUE(ok_value(q->ack(1)));
  ASSERT_TRUE(q->compact().ok());
  EXPECT_EQ(file_size(tmp.file("queue.log")), 16 + 2 * (33 + big.size()));
  EXPECT_EQ(must_dequeue(*q)->body, big);
  EXPECT_EQ(must_dequeue(*q)->body, big);
}

// The automatic rule, tested on exact counter values.
TEST(EngineCompaction, AutomaticRuleBoundaries) {
  struct Case {
    uint64_t threshold, log_bytes, live_bytes;
    bool compacts;
  };
  const Case cases[] = {
      {1000, 1200, 500, true},
      {1000, 1200, 600, false},
      {1000, 1200, 599, true},
      {1000, 999, 0, false},
      {1000, 1000, 499, true},
      {1000, 1000, 500, false},
      {0, 1u << 30, 0, false},
      {1, UINT64_MAX, uint64_t{1} << 63, false},
      {1, UINT64_MAX, (uint64_t{1} << 63) - 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.threshold << " " << c.log_bytes << " " << c.live_bytes);
    for (bool on_disk : {true, false}) {
      TempDir tmp;
      auto q = open_queue(on_disk ? tmp.path() : ":memory:", make_settings(0, 30000, c.threshold));
      ASSERT_TRUE(q);
      must_enqueue(*q, "live");
      QueueImpl& impl = q->impl();
      const uint64_t real_live = impl.inner.state.live_bytes;
      impl.inner.log_bytes = c.log_bytes;
      impl.inner.state.live_bytes = c.live_bytes;
      ASSERT_TRUE(impl.locked(QueueImpl::Prep::kNone, [&] { return impl.maybe_compact(); }).ok());
      impl.inner.state.live_bytes = real_live;
      const bool compacted = impl.inner.generation == 1;
      EXPECT_EQ(compacted, c.compacts && on_disk) << (on_disk ? "disk" : "memory");
      if (compacted) {
        EXPECT_EQ(impl.inner.log_bytes, file_size(tmp.file("queue.log")));
      }
    }
  }
}

// The rule through real operations: bodies of 100 bytes, threshold 1000.
// Ten messages make 1346 bytes; each ACK adds 21 and removes 133 live bytes,
// so the fifth ACK is the first after which less than half is live.
TEST(EngineCompaction, AckCompactsOnceMostOfTheLogIsDead) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(0, 30000, 1000));
  ASSERT_TRUE(q);
  const Bytes body(100, 'b');
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(q->enqueue(span_of(body)).ok());
  EXPECT_EQ(must_stats(*q).log_bytes, 1346u);
  for (uint64_t seq = 0; seq < 5; ++seq) {
    EXPECT_EQ(must_stats(*q).generation, 0u) << "compacted before ack " << seq;
    EXPECT_TRUE(ok_value(q->ack(seq)));
  }
  QueueStats s = must_stats(*q);
  EXPECT_EQ(s.generation, 1u);
  EXPECT_EQ(s.log_bytes, 16u + 5 * 133);
  EXPECT_EQ(file_size(tmp.file("queue.log")), s.log_bytes);
  EXPECT_TRUE(ok_value(q->ack(5)));
  EXPECT_EQ(must_stats(*q).generation, 1u) << "below the threshold";
}

TEST(EngineCompaction, OnlyRemovingOperationsCompactAutomatically) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(0, 30000, 1000));
  ASSERT_TRUE(q);
  for (int i = 0; i < 6; ++i) must_enqueue(*q, "m");
  QueueImpl& impl = q->impl();
  auto generation = [&] { return must_stats(*q).generation; };
  impl.inner.log_bytes = 100000;  // the rule holds from here on
  must_enqueue(*q, "m");
  must_dequeue(*q);
  EXPECT_TRUE(ok_value(q->extend_lease(0, kHourMs)));
  EXPECT_TRUE(ok_value(q->nack(0, true)));
  EXPECT_FALSE(ok_value(q->ack(99))) << "nothing removed, nothing written";
  EXPECT_EQ(generation(), 0u) << "a non-removing operation compacted";
  EXPECT_TRUE(ok_value(q->nack(0, false)));
  EXPECT_EQ(generation(), 1u);
  impl.inner.log_bytes = 100000;
  EXPECT_TRUE(ok_value(q->ack(1)));
  EXPECT_EQ(generation(), 2u);
  impl.inner.log_bytes = 100000;
  EXPECT_EQ(ok_value(q->ack_batch({2, 3, 4})), 3u);
  EXPECT_EQ(generation(), 3u);
  expect_fresh_open_agrees(tmp.path(), *q);
}

// A failed automatic compaction does not turn the removal that asked for it
// into an error: the call reports the removal, one warning line says what
// failed, and no stray file is left.
TEST(EngineCompaction, FailedAutomaticCompactionKeepsTheRemovalsResult) {
  struct Removal {
    const char* name;
    std::function<uint64_t(Queue&)> run;  // how many messages it removed
  };
  const Removal removals[] = {
      {"ack", [](Queue& q) { return uint64_t{ok_value(q.ack(0))}; }},
      {"ack_batch", [](Queue& q) { return ok_value(q.ack_batch({0, 7})); }},
      {"nack_dead", [](Queue& q) { return uint64_t{ok_value(q.nack(0, false))}; }},
  };
  for (const Removal& removal : removals) {
    SCOPED_TRACE(removal.name);
    TempDir tmp;
    auto q = open_queue(tmp.path(), make_settings(0, 30000, 100));
    ASSERT_TRUE(q);
    must_enqueue(*q, std::string(100, 'm'));
    must_enqueue(*q, "s");  // 34 of 204 bytes live after the removal
    ::testing::internal::CaptureStderr();
    {
      // The removal's own sync passes, the new log's fails (also once the
      // space reserve was freed for it).
      FaultScope faults;
      faults.fail(Call::kFullSync, ENOSPC, 1, UINT64_MAX);
      EXPECT_EQ(removal.run(*q), 1u);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Tarnwick: automatic compaction failed: " + Error::os(ENOSPC).text() + "\n");
    EXPECT_FALSE(fs::exists(tmp.file("queue.compact.tmp")));
    EXPECT_EQ(must_stats(*q).generation, 0u);
    EXPECT_EQ(removal.run(*q), 0u) << "the first call's removal did not take effect";
    expect_fresh_open_agrees(tmp.path(), *q);
    EXPECT_EQ(must_stats(*q).total, 1u);
  }
}

TEST(EngineCompaction, ThresholdZeroNeverCompacts) {
  TempDir tmp;
  auto q = open_queue(tmp.path(), make_settings(0, 30000, 0));
  ASSERT_TRUE(q);
  for (int i = 0; i < 20; ++i) must_enqueue(*q, "m");
  q->impl().inner.log_bytes = UINT64_MAX / 2;
  for (uint64_t i = 0; i < 20; ++i) EXPECT_TRUE(ok_value(q->ack(i)));
  EXPECT_EQ(must_stats(*q).generation, 0u);
}

TEST(EngineCompaction, DirectoryInTheWayFailsAndKeepsTheLog) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "m0");
  must_enqueue(*q, "m1");
  fs::create_directory(tmp.file("queue.compact.tmp"));
  const Bytes before = read_file(tmp.file("queue.log"));
  auto r = q->compact();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::kOs);
  EXPECT_EQ(read_file(tmp.file("queue.log")), before);
  EXPECT_TRUE(lock_is_free(tmp.path()));
  EXPECT_EQ(must_stats(*q).generation, 0u);
  EXPECT_EQ(to_string(must_dequeue(*q)->body), "m0");
}

struct ReplaceOp {
  const char* name;
  Status (Queue::*run)();
  uint64_t messages_after;  // in the new log
};

// Every injected failure inside compact() or purge(): before the rename the
// old log and the object stay as they were; after it the new log is complete
// and the next call of any object works on it.
TEST(EngineCompaction, FailuresOnEitherSideOfTheRename) {
  StampsDistrusted distrusted;  // so that the calls come in the same order every time
  const ReplaceOp ops[] = {{"compact", &Queue::compact, 3}, {"purge", &Queue::purge, 0}};
  int before_rename = 0, after_rename = 0;
  std::map<std::string, std::set<std::pair<int, uint64_t>>> renamed, kept;
  for (const ReplaceOp& op : ops) {
    for (int k = 0; k < static_cast<int>(Call::kCount); ++k) {
      const auto call = static_cast<Call>(k);
      for (uint64_t skip = 0; skip < 32; ++skip) {
        SCOPED_TRACE(::testing::Message() << op.name << " call " << k << " skip " << skip);
        TempDir tmp;
        const std::string log_path = tmp.file("queue.log");
        auto a = mixed_queue(tmp.path());
        auto b = open_queue(tmp.path());
        ASSERT_TRUE(a && b);
        ASSERT_TRUE(b->in_flight().ok());
        ASSERT_TRUE(a->in_flight().ok());
        const Snapshot held = snapshot(*a);
        const Bytes old_log = read_file(log_path);
        CallCounter calls(call);
        Status result;
        {
          FaultScope faults;
          faults.fail(call, EIO, skip);
          result = ((*a).*op.run)();
        }
        if (calls.count() <= skip) {
          EXPECT_TRUE(result.ok()) << result.error().text();
          break;
        }
        if (result.ok()) continue;  // a failure the call may absorb
        EXPECT_TRUE(lock_is_free(tmp.path()));
        const bool moved = file_generation(log_path) == 1;
        if (!moved) {
          ++before_rename;
          kept[op.name].insert({k, skip});
          EXPECT_EQ(read_file(log_path), old_log);
          EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.file(std::string("queue.") + op.name + ".tmp"))))
              << "the failed replacement left its file";
          EXPECT_EQ(a->impl().inner.generation, 0u);
          EXPECT_EQ(snapshot(*a), held) << "the object lost messages the log still holds";
        } else {
          ++after_rename;
          renamed[op.name].insert({k, skip});
          const ParsedLog log = parse_log(read_file(log_path));
          EXPECT_TRUE(log.clean);
          EXPECT_EQ(log.frames.size() > 0, op.messages_after > 0);
          EXPECT_EQ(replay(log).messages.size(), op.messages_after);
        }
        // Next call of either object: both work on what the file holds.
        ASSERT_TRUE(a->in_flight().ok());
        ASSERT_TRUE(b->in_flight().ok());
        auto fresh = open_queue(tmp.path());
        ASSERT_TRUE(fresh);
        const Snapshot truth = snapshot(*fresh);
        EXPECT_EQ(snapshot(*a), truth) << describe(snapshot(*a)) << " vs " << describe(truth);
        EXPECT_EQ(snapshot(*b), truth);
        EXPECT_EQ(truth.size(), moved ? op.messages_after : held.size());
        EXPECT_EQ(must_stats(*a).generation, moved ? 1u : 0u);
        const uint64_t seq = must_enqueue(*a, "follow-up");
        EXPECT_TRUE(b->in_flight().ok());
        const Snapshot seen = snapshot(*b);
        ASSERT_TRUE(seen.contains(seq));
        EXPECT_EQ(seen.at(seq).body, bytes_of("follow-up"));
        EXPECT_TRUE(parse_log(read_file(log_path)).clean);
      }
    }
  }
  EXPECT_GT(before_rename, 0);
  EXPECT_GT(after_rename, 0);
  // The directory sync and the reopening come after the rename.
  for (const char* name : {"compact", "purge"}) {
    EXPECT_TRUE(renamed[name].contains({static_cast<int>(Call::kFullSync), 1})) << name;
    // kFstat: three before the rename, then the reopening's
    EXPECT_TRUE(renamed[name].contains({static_cast<int>(Call::kFstat), 3})) << name;
    for (Call before : {Call::kOpen, Call::kWrite, Call::kFullSync, Call::kRename}) {
      EXPECT_TRUE(kept[name].contains({static_cast<int>(before), 0}))
          << name << " call " << static_cast<int>(before);
    }
  }
  std::cout << "[ replace sweep ] " << before_rename << " failures before the rename, "
            << after_rename << " after\n";
}

// A link planted at a temporary name is removed, not followed: the file it
// points to outside the directory stays as it was, and the new log is a
// regular file.
TEST(EngineCompaction, LinkAtATemporaryNameIsReplacedNotFollowed) {
  const ReplaceOp ops[] = {{"compact", &Queue::compact, 1}, {"purge", &Queue::purge, 0}};
  for (const ReplaceOp& op : ops) {
    SCOPED_TRACE(op.name);
    TempDir tmp, outside;
    const std::string victim = outside.file("victim");
    const Bytes precious = bytes_of("precious, and no log");
    write_file(victim, precious);
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "m");
    const std::string temp = tmp.file(std::string("queue.") + op.name + ".tmp");
    ASSERT_EQ(::symlink(victim.c_str(), temp.c_str()), 0);
    ASSERT_TRUE(((*q).*op.run)().ok());
    EXPECT_EQ(read_file(victim), precious);
    EXPECT_FALSE(fs::is_symlink(tmp.file("queue.log")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp)));
    const ParsedLog log = parse_log(read_file(tmp.file("queue.log")));
    EXPECT_TRUE(log.clean);
    EXPECT_EQ(replay(log).messages.size(), op.messages_after);
    expect_fresh_open_agrees(tmp.path(), *q);
  }
}

TEST(EnginePurge, StartsAFreshGeneration) {
  TempDir tmp;
  auto a = open_queue(tmp.path());
  auto b = open_queue(tmp.path());
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 5; ++i) must_enqueue(*a, numbered("m", i));
  must_dequeue(*a);
  EXPECT_EQ(ok_value(b->available()), 4u);
  ASSERT_TRUE(a->purge().ok());
  QueueStats s = must_stats(*a);
  EXPECT_EQ(s.generation, 1u);
  EXPECT_EQ(s.log_bytes, 16u);
  EXPECT_EQ(s.total, 0u);
  EXPECT_EQ(s.next_seq, 0u);
  EXPECT_EQ(read_file(tmp.file("queue.log")), LogBuilder(1).bytes());
  EXPECT_FALSE(fs::exists(tmp.file("queue.purge.tmp")));
  EXPECT_EQ(ok_value(b->available()), 0u);
  EXPECT_FALSE(must_dequeue(*b));
  EXPECT_FALSE(ok_value(b->ack(0)));
  EXPECT_EQ(must_enqueue(*a, "new"), 0u);
  EXPECT_EQ(to_string(must_dequeue(*b)->body), "new");
}

TEST(EnginePurge, EmptyQueueStillMovesOn) {
  TempDir tmp;
  auto q = open_queue(tmp.path());
  ASSERT_TRUE(q);
  ASSERT_TRUE(q->purge().ok());
  ASSERT_TRUE(q->purge().ok());
  EXPECT_EQ(must_stats(*q).generation, 2u);
  EXPECT_EQ(read_file(tmp.file("queue.log")), LogBuilder(2).bytes());
}

// A purge that fails before the rename keeps every message, in the object as
// in the log, and its generation.
TEST(EnginePurge, FailureBeforeTheRenameKeepsTheMessages) {
  for (Call call : {Call::kOpen, Call::kWrite, Call::kFullSync, Call::kRename}) {
    SCOPED_TRACE(static_cast<int>(call));
    TempDir tmp;
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "m0");
    must_enqueue(*q, "m1");
    const Bytes before = read_file(tmp.file("queue.log"));
    {
      FaultScope faults;
      faults.fail(call, EIO);
      ASSERT_FALSE(q->purge().ok());
    }
    EXPECT_EQ(read_file(tmp.file("queue.log")), before);
    QueueStats s = must_stats(*q);
    EXPECT_EQ(s.generation, 0u);
    EXPECT_EQ(s.total, 2u);
    EXPECT_EQ(s.next_seq, 2u);
    EXPECT_EQ(must_enqueue(*q, "m2"), 2u) << "a seq the log holds was handed out again";
    EXPECT_EQ(to_string(must_dequeue(*q)->body), "m0");
    expect_fresh_open_agrees(tmp.path(), *q);
  }
}

TEST(EnginePurge, FailureAfterTheRenameReloadsAtTheNextCall) {
  // kFstat 3 is the reopening's
  for (auto [call, skip] : {std::pair{Call::kFullSync, 1}, std::pair{Call::kFstat, 3}}) {
    SCOPED_TRACE(static_cast<int>(call));
    TempDir tmp;
    auto q = open_queue(tmp.path());
    ASSERT_TRUE(q);
    must_enqueue(*q, "m0");
    ASSERT_TRUE(q->in_flight().ok());
    {
      FaultScope faults;
      faults.fail(call, EIO, static_cast<uint64_t>(skip));
      ASSERT_FALSE(q->purge().ok());
    }
    EXPECT_EQ(read_file(tmp.file("queue.log")), LogBuilder(1).bytes());
    QueueStats s = must_stats(*q);
    EXPECT_EQ(s.generation, 1u);
    EXPECT_EQ(s.total, 0u);
    EXPECT_EQ(must_enqueue(*q, "new"), 0u);
    expect_fresh_open_agrees(tmp.path(), *q);
  }
}

}  // namespace
}  // namespace tarnwick::testing
