// QueueState: how each record kind changes the model, and the invariants
// that hold after any sequence of records.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "queue/queue_state.h"
#include "queue/record.h"
#include "test_util.h"

namespace tarnwick::testing {
namespace {

// The heap's entries in pop order; also checks that they come out ordered.
std::vector<LeaseEntry> heap_entries(const QueueState& s) {
  LeaseHeap copy = s.lease_heap;
  std::vector<LeaseEntry> out;
  while (!copy.empty()) {
    out.push_back(copy.top());
    copy.pop();
  }
  EXPECT_TRUE(std::is_sorted(out.begin(), out.end())) << "heap pops out of order";
  return out;
}

::testing::AssertionResult invariants_hold(const QueueState& s) {
  uint64_t live = 0;
  const std::vector<LeaseEntry> heap = heap_entries(s);
  const std::set<std::pair<uint64_t, uint64_t>> since = s.ready_since_entries();
  for (const auto& [seq, entry] : s.messages) {
    const bool ready = s.ready.contains(seq);
    auto leased = s.in_flight.find(seq);
    if (ready == (leased != s.in_flight.end())) {
      return ::testing::AssertionFailure()
             << "seq " << seq << (ready ? " ready and in flight" : " neither ready nor in flight");
    }
    if (leased != s.in_flight.end() &&
        std::find(heap.begin(), heap.end(), LeaseEntry{leased->second, seq}) == heap.end()) {
      return ::testing::AssertionFailure() << "in-flight seq " << seq << " has no heap entry";
    }
    if (seq >= s.next_seq) return ::testing::AssertionFailure() << "next_seq not above " << seq;
    if ((leased == s.in_flight.end()) != since.contains({entry.ready_since_ms, seq})) {
      return ::testing::AssertionFailure() << "seq " << seq << " out of step in ready_since";
    }
    live += uint64_t{entry.body_len} + 33;
  }
  if (since.size() != s.ready_count()) {
    return ::testing::AssertionFailure() << "ready_since holds seqs that are not ready";
  }
  const std::optional<uint64_t> oldest = s.oldest_ready_ms();
  if (since.empty() ? oldest.has_value() : oldest != since.begin()->first) {
    return ::testing::AssertionFailure() << "the oldest ready time is not the least entry's";
  }
  if (s.ready.size() + s.in_flight.size() != s.messages.size()) {
    return ::testing::AssertionFailure() << "ready or in_flight hold seqs that are not live";
  }
  if (live != s.live_bytes) {
    return ::testing::AssertionFailure()
           << "live_bytes " << s.live_bytes << ", messages hold " << live;
  }
  return ::testing::AssertionSuccess();
}

EnqueueRecord enq(uint64_t seq, size_t body_len, uint64_t ts = 1000) {
  return EnqueueRecord{seq, ts, Bytes(body_len, uint8_t('a' + seq % 26))};
}

TEST(QueueState, NewStateIsEmpty) {
  QueueState s;
  EXPECT_TRUE(s.messages.empty() && s.ready.empty() && s.in_flight.empty() && s.lease_heap.empty());
  EXPECT_EQ(s.next_seq, 0u);
  EXPECT_EQ(s.live_bytes, 0u);
  EXPECT_EQ(s.enqueued_total + s.acked_total + s.dead_total + s.requeued_total, 0u);
}

TEST(QueueState, EnqueueMakesAReadyEntryWithItsBodyPosition) {
  QueueState s;
  s.apply(enq(0, 10, 1700000000000), /*frame_offset=*/100, /*keep_body=*/false);
  EXPECT_EQ(s.next_seq, 1u);
  EXPECT_EQ(s.live_bytes, 43u);
  EXPECT_EQ(s.ready, (std::set<uint64_t>{0}));
  EXPECT_EQ(s.enqueued_total, 1u);
  ASSERT_EQ(s.messages.count(0), 1u);
  const MessageEntry& e = s.messages.at(0);
  EXPECT_EQ(e.body_offset, 133u);
  EXPECT_EQ(e.body_len, 10u);
  EXPECT_EQ(e.deliveries, 0u);
  EXPECT_EQ(e.enqueued_ts_ms, 1700000000000u);
  EXPECT_EQ(e.body, nullptr) << "a replayed body stays in the log";
}

TEST(QueueState, KeepBodyHoldsTheBytes) {
  QueueState s;
  s.apply(EnqueueRecord{4, 1, bytes_of("payload")}, 0, /*keep_body=*/true);
  s.apply(EnqueueRecord{5, 1, {}}, 0, /*keep_body=*/true);
  const MessageEntry& e = s.messages.at(4);
  ASSERT_NE(e.body, nullptr);
  EXPECT_EQ(std::string(e.body.get(), e.body.get() + e.body_len), "payload");
  EXPECT_EQ(s.messages.at(5).body_len, 0u);
  EXPECT_EQ(s.live_bytes, 7u + 33 + 33);
}

TEST(QueueState, NextSeqFollowsTheLargestEnqueuedSeq) {
  QueueState s;
  s.apply(enq(7, 1), 16, false);
  EXPECT_EQ(s.next_seq, 8u);
  s.apply(enq(3, 1), 50, false);
  EXPECT_EQ(s.next_seq, 8u);
  EXPECT_EQ(s.ready, (std::set<uint64_t>{3, 7}));
}

TEST(QueueState, AckOfALeasedMessageLeavesOnlyAStaleHeapEntry) {
  QueueState s;
  s.apply(enq(0, 10), 16, false);
  s.apply(LeaseRecord{0, 5000, 1}, 0, false);
  EXPECT_EQ(s.in_flight.at(0), 5000u);
  EXPECT_TRUE(s.ready.empty());
  s.apply(AckRecord{0}, 0, false);
  EXPECT_TRUE(s.messages.empty() && s.ready.empty() && s.in_flight.empty());
  EXPECT_EQ(s.live_bytes, 0u);
  EXPECT_EQ(s.acked_total, 1u);
  EXPECT_EQ(heap_entries(s), (std::vector<LeaseEntry>{{5000, 0}}));
}

TEST(QueueState, DeadRemovesReadyAndLeasedMessages) {
  QueueState s;
  s.apply(enq(0, 1), 16, false);
  s.apply(enq(1, 2), 50, false);
  s.apply(LeaseRecord{1, 9, 1}, 0, false);
  s.apply(DeadRecord{0}, 0, false);
  s.apply(DeadRecord{1}, 0, false);
  EXPECT_TRUE(s.messages.empty() && s.ready.empty() && s.in_flight.empty());
  EXPECT_EQ(s.dead_total, 2u);
  EXPECT_EQ(s.acked_total, 0u);
  EXPECT_EQ(s.live_bytes, 0u);
}

TEST(QueueState, RecordsForUnknownSeqsChangeNothing) {
  QueueState s;
  s.apply(enq(0, 4), 16, false);
  s.apply(LeaseRecord{0, 77, 1}, 0, false);
  s.apply(AckRecord{0}, 0, false);  // seq 0 is now gone as well
  s.apply(enq(1, 4), 60, false);
  const uint64_t live = s.live_bytes;
  for (uint64_t seq : {0ull, 2ull, 999ull}) {
    s.apply(AckRecord{seq}, 0, false);
    s.apply(DeadRecord{seq}, 0, false);
    s.apply(LeaseRecord{seq, 1, 3}, 0, false);
    s.apply(RequeueRecord{seq, 3}, 0, false);
  }
  EXPECT_EQ(s.acked_total, 1u);
  EXPECT_EQ(s.dead_total + s.requeued_total, 0u);
  EXPECT_EQ(s.live_bytes, live);
  EXPECT_EQ(s.ready, (std::set<uint64_t>{1}));
  EXPECT_TRUE(s.in_flight.empty());
  EXPECT_EQ(s.messages.size(), 1u);
  EXPECT_EQ(s.messages.at(1).deliveries, 0u);
  EXPECT_EQ(heap_entries(s).size(), 1u);
}

TEST(QueueState, RequeueOfAReadyMessageKeepsItReadyOnce) {
  QueueState s;
  s.apply(enq(3, 1), 16, false);
  s.apply(RequeueRecord{3, 4}, 0, false);
  EXPECT_EQ(s.ready, (std::set<uint64_t>{3}));
  EXPECT_TRUE(s.in_flight.empty());
  EXPECT_EQ(s.messages.at(3).deliveries, 4u);
  EXPECT_EQ(s.requeued_total, 1u);
}

TEST(QueueState, RenewedLeaseKeepsTheLatestDeadlineAndBothHeapEntries) {
  QueueState s;
  s.apply(enq(0, 1), 16, false);
  s.apply(LeaseRecord{0, 500, 1}, 0, false);
  s.apply(LeaseRecord{0, 200, 2}, 0, false);  // renewals may also shorten
  EXPECT_EQ(s.in_flight.at(0), 200u);
  EXPECT_EQ(s.messages.at(0).deliveries, 2u);
  EXPECT_EQ(heap_entries(s), (std::vector<LeaseEntry>{{200, 0}, {500, 0}}));
  EXPECT_TRUE(s.ready.empty());
}

TEST(QueueState, ReplayRestoresDeliveryCounts) {
  QueueState s;
  s.apply(enq(0, 1), 16, false);
  s.apply(LeaseRecord{0, 100, 1}, 0, false);
  s.apply(RequeueRecord{0, 1}, 0, false);
  EXPECT_EQ(s.ready, (std::set<uint64_t>{0}));
  s.apply(LeaseRecord{0, 300, 2}, 0, false);
  EXPECT_EQ(s.in_flight.at(0), 300u);
  EXPECT_EQ(s.messages.at(0).deliveries, 2u);
  EXPECT_TRUE(s.ready.empty());
  EXPECT_EQ(s.requeued_total, 1u);
}

TEST(QueueState, ReadyIsOrderedBySeqAndRequeuedMessagesReturnToTheirPlace) {
  QueueState s;
  for (uint64_t seq : {5, 2, 9}) s.apply(enq(seq, 1), 16, false);
  s.apply(LeaseRecord{2, 10, 1}, 0, false);
  s.apply(enq(10, 1), 16, false);
  s.apply(RequeueRecord{2, 1}, 0, false);
  EXPECT_EQ(std::vector<uint64_t>(s.ready.begin(), s.ready.end()),
            (std::vector<uint64_t>{2, 5, 9, 10}));
}

TEST(QueueState, LiveBytesNeverGoesBelowZero) {
  QueueState s;
  s.apply(enq(0, 100), 16, false);
  s.live_bytes = 50;  // less than the entry accounts for
  s.apply(AckRecord{0}, 0, false);
  EXPECT_EQ(s.live_bytes, 0u);
  s.apply(enq(1, 0), 16, false);
  s.live_bytes = 0;
  s.apply(DeadRecord{1}, 0, false);
  EXPECT_EQ(s.live_bytes, 0u);
}

TEST(QueueState, EnqueueOfALiveSeqReplacesTheEntryAndCountsAgain) {
  QueueState s;
  s.apply(EnqueueRecord{0, 10, bytes_of("first")}, 16, true);
  s.apply(LeaseRecord{0, 99, 3}, 0, false);
  s.apply(EnqueueRecord{0, 20, bytes_of("xy")}, 200, true);
  const MessageEntry& e = s.messages.at(0);
  EXPECT_EQ(std::string(e.body.get(), e.body.get() + e.body_len), "xy");
  EXPECT_EQ(e.enqueued_ts_ms, 20u);
  EXPECT_EQ(e.body_offset, 233u);
  EXPECT_EQ(e.deliveries, 0u);
  EXPECT_TRUE(s.ready.contains(0));
  EXPECT_EQ(s.enqueued_total, 2u);
  EXPECT_EQ(s.live_bytes, 2u + 33) << "the replaced bytes are no longer live";
  EXPECT_TRUE(invariants_hold(s));
}

// --- random record sequences against a small reference model ---

struct ModelMsg {
  uint32_t body_len;
  uint64_t ts;
  uint64_t body_offset;
  uint32_t deliveries = 0;
  std::optional<uint64_t> deadline;  // set while leased
};

struct Model {
  std::map<uint64_t, ModelMsg> msgs;
  std::multiset<LeaseEntry> heap;
  uint64_t next_seq = 0, enqueued = 0, acked = 0, dead = 0, requeued = 0;

  void apply(const Record& r, uint64_t offset) {
    if (auto* e = std::get_if<EnqueueRecord>(&r)) {
      next_seq = std::max(next_seq, e->seq + 1);
      msgs[e->seq] = {static_cast<uint32_t>(e->body.size()), e->enqueued_ts_ms, offset + 33, 0,
                      std::nullopt};
      ++enqueued;
      return;
    }
    const uint64_t seq = std::visit([](const auto& x) { return x.seq; }, r);
    auto it = msgs.find(seq);
    if (it == msgs.end()) return;
    if (std::holds_alternative<AckRecord>(r) || std::holds_alternative<DeadRecord>(r)) {
      msgs.erase(it);
      ++(std::holds_alternative<AckRecord>(r) ? acked : dead);
    } else if (auto* l = std::get_if<LeaseRecord>(&r)) {
      it->second.deliveries = l->deliveries;
      it->second.deadline = l->deadline_ms;
      heap.insert({l->deadline_ms, seq});
    } else {
      it->second.deliveries = std::get<RequeueRecord>(r).deliveries;
      it->second.deadline.reset();
      ++requeued;
    }
  }
};

::testing::AssertionResult matches(const QueueState& s, const Model& m) {
  if (s.messages.size() != m.msgs.size()) {
    return ::testing::AssertionFailure()
           << s.messages.size() << " messages, model " << m.msgs.size();
  }
  for (const auto& [seq, want] : m.msgs) {
    auto it = s.messages.find(seq);
    if (it == s.messages.end()) return ::testing::AssertionFailure() << "seq " << seq << " missing";
    const MessageEntry& e = it->second;
    auto leased = s.in_flight.find(seq);
    const std::optional<uint64_t> deadline =
        leased == s.in_flight.end() ? std::nullopt : std::optional<uint64_t>(leased->second);
    if (e.body_len != want.body_len || e.enqueued_ts_ms != want.ts ||
        e.body_offset != want.body_offset || e.deliveries != want.deliveries ||
        deadline != want.deadline) {
      return ::testing::AssertionFailure() << "entry of seq " << seq << " differs from the model";
    }
  }
  const std::vector<LeaseEntry> heap = heap_entries(s);
  if (heap != std::vector<LeaseEntry>(m.heap.begin(), m.heap.end())) {
    return ::testing::AssertionFailure() << "heap holds " << heap.size() << " entries, model "
                                         << m.heap.size();
  }
  if (s.next_seq != m.next_seq || s.enqueued_total != m.enqueued || s.acked_total != m.acked ||
      s.dead_total != m.dead || s.requeued_total != m.requeued) {
    return ::testing::AssertionFailure() << "counters differ from the model";
  }
  return ::testing::AssertionSuccess();
}

class QueueStateRandom : public ::testing::TestWithParam<uint32_t> {};

TEST_P(QueueStateRandom, InvariantsHoldAndBothApplyPathsAgree) {
  std::mt19937_64 rng(GetParam());
  QueueState direct;    // Record path, sometimes keeping bodies
  QueueState replayed;  // decoded-view path, as recovery applies frames
  Model model;
  std::set<uint64_t> never_enqueued;
  for (uint64_t s = 0; s < 200; ++s) never_enqueued.insert(s);
  uint64_t offset = 16;
  auto pick = [&](uint64_t n) { return rng() % n; };

  for (int step = 0; step < 3000; ++step) {
    Record r = AckRecord{0};
    const uint64_t kind = pick(10);
    uint64_t seq = pick(210);  // sometimes unknown, sometimes gone
    if (pick(5) != 0 && !model.msgs.empty()) {
      seq = std::next(model.msgs.begin(), static_cast<long>(pick(model.msgs.size())))->first;
    }
    if (kind == 0 && pick(4) == 0 && !model.msgs.empty()) {
      // Usually replaces a live message; logs of this system never hold such a record.
      r = EnqueueRecord{seq, rng(), Bytes(pick(40), uint8_t(step))};
      never_enqueued.erase(seq);
    } else if (kind < 3 && !never_enqueued.empty()) {
      auto it = std::next(never_enqueued.begin(), static_cast<long>(pick(never_enqueued.size())));
      r = EnqueueRecord{*it, rng(), Bytes(pick(40), uint8_t(step))};
      never_enqueued.erase(it);
    } else if (kind < 6) {
      r = LeaseRecord{seq, pick(30), static_cast<uint32_t>(pick(5))};  // ties in deadline
    } else if (kind < 8) {
      r = RequeueRecord{seq, static_cast<uint32_t>(pick(5))};
    } else if (kind < 9) {
      r = AckRecord{seq};
    } else {
      r = DeadRecord{seq};
    }

    const Bytes payload = encode(r);
    auto view = decode_view(payload);
    ASSERT_TRUE(std::holds_alternative<RecordView>(view));
    replayed.apply(std::get<RecordView>(view), offset);
    direct.apply(r, offset, /*keep_body=*/step % 2 == 0);
    model.apply(r, offset);
    offset += payload.size() + 12;

    ASSERT_TRUE(invariants_hold(direct)) << "step " << step;
    ASSERT_TRUE(matches(direct, model)) << "step " << step;
    ASSERT_TRUE(matches(replayed, model)) << "step " << step;
    ASSERT_EQ(direct.ready, replayed.ready) << "step " << step;
    ASSERT_EQ(direct.ready_since_entries(), replayed.ready_since_entries()) << "step " << step;
    ASSERT_EQ(direct.expired_total, replayed.expired_total) << "step " << step;
  }
  EXPECT_GT(model.acked + model.dead, 0u);
  EXPECT_GT(model.requeued, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, QueueStateRandom, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace tarnwick::testing
