// Outcomes (format 3): the OUTCOME and HISTORY records' codec, the settles
// that write them, their replay at open and in another process's catch-up,
// compaction keeping them while their time runs and dropping them after,
// purge keeping them, ids of kept outcomes never handed out again, and the
// plain records still written where no outcome is kept (TarnwickCore).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine_helpers.h"
#include "log_io/frame.h"
#include "queue/job_queue.h"
#include "queue/outcome_record.h"
#include "queue/queue_impl.h"

namespace tarnwick::testing {
namespace {

const Bytes kFormat2 = {'T', 'W', 'F', '2', 2, 0, 0, 0};
const Bytes kFormat3 = {'T', 'W', 'F', '3', 3, 0, 0, 0};

Bytes header_of(const std::string& dir) {
  Bytes log = read_file(dir + "/queue.log");
  log.resize(8);
  return log;
}

Settings keeping(uint64_t acked_ms = kHourMs, uint64_t dead_ms = kHourMs,
                 uint64_t cancelled_ms = kHourMs) {
  Settings s = make_settings();
  s.keep_acked_ms = acked_ms;
  s.keep_dead_ms = dead_ms;
  s.keep_cancelled_ms = cancelled_ms;
  return s;
}

uint64_t put_one(JobQueue& q, std::string_view body, uint64_t delay_ms = 0) {
  const Bytes b = bytes_of(body);
  const ByteSpan one = span_of(b);
  return ok_value(q.put(std::span(&one, 1), delay_ms, SyncRule::kInterval));
}

std::vector<LeaseToken> take(JobQueue& q, uint64_t max, std::string_view consumer = "host:1",
                             uint32_t max_deliveries = 0) {
  class Sink final : public DeliverySink {
   public:
    bool deliver(const Delivery& d) override {
      out.push_back({d.seq, d.enqueued_ts_ms, d.deliveries, d.deadline_ms});
      return true;
    }
    std::vector<LeaseToken> out;
  } sink;
  TakeRequest request{max, kHourMs, max_deliveries, SyncRule::kForce, consumer};
  EXPECT_TRUE(q.take(request, sink).ok());
  return sink.out;
}

OutcomeStatus status_of(JobQueue& q, uint64_t seq) {
  auto found = ok_value(q.status(seq));
  EXPECT_TRUE(found.has_value()) << seq;
  return found.value_or(OutcomeStatus{});
}

std::vector<std::string> strs(std::initializer_list<const char*> items) {
  return {items.begin(), items.end()};
}

TEST(OutcomeCodec, RoundTripsAndRefusesEveryCut) {
  const Bytes result = bytes_of("the result");
  const Bytes headers = bytes_of("{\"a\":\"b\"}");
  OutcomeFields f;
  f.seq = 7;
  f.state = OutcomeState::kDead;
  f.finished_ms = 1000;
  f.keep_until_ms = 2000;
  f.enqueued_ms = 10;
  f.started_ms = 900;
  f.deliveries = 3;
  f.priority = -5;
  f.dead_letter_id = 4;
  f.key = "k";
  f.group = "g";
  f.headers = headers;
  f.result = std::span<const uint8_t>(result);
  f.lists.errors = {"e1", "e2"};
  f.lists.consumers = {"c1", "c2", "c3"};
  Bytes payload;
  encode_outcome(f, payload);
  auto back = decode_outcome(payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->seq, 7u);
  EXPECT_EQ(back->state, OutcomeState::kDead);
  EXPECT_EQ(back->keep_until_ms, 2000u);
  EXPECT_EQ(back->started_ms, 900u);
  EXPECT_EQ(back->dead_letter_id, 4u);
  EXPECT_EQ(back->key, "k");
  EXPECT_EQ(back->group, "g");
  EXPECT_EQ(Bytes(back->result->begin(), back->result->end()), result);
  EXPECT_EQ(back->lists.errors.size(), 2u);
  EXPECT_EQ(back->lists.consumers.back(), "c3");
  for (size_t cut = 0; cut < payload.size(); ++cut) {
    EXPECT_FALSE(decode_outcome(std::span(payload).first(cut))) << cut;
  }
  // Through the frame codec: a view that applies as the settle's own.
  Bytes frame;
  append_frame_to(frame, RecordView::encoded(OUTCOME, 7, payload));
  auto decoded = decode_view(std::span(frame).subspan(FRAME_HEADER_LEN));
  ASSERT_TRUE(std::holds_alternative<RecordView>(decoded));
  const RecordView& view = std::get<RecordView>(decoded);
  EXPECT_EQ(view.tag, OUTCOME);
  EXPECT_EQ(view.seq, 7u);
  EXPECT_EQ(view.time_ms, 1000u);
  EXPECT_EQ(view.keep_until_ms, 2000u);
  EXPECT_EQ(view.outcome_state, 2);
  EXPECT_EQ(frame_length(view), frame.size());
}

TEST(OutcomeCodec, KeepsTheNewestTenAndCutsLongErrors) {
  HistoryFields h;
  h.seq = 1;
  std::vector<std::string> errors;
  for (int i = 0; i < 12; ++i) errors.push_back("error " + std::to_string(i));
  errors.push_back(std::string(MAX_ERROR_LEN + 5, 'x'));
  for (const std::string& e : errors) h.lists.errors.emplace_back(e);
  Bytes payload;
  encode_history(h, payload);
  auto back = decode_history(payload);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->lists.errors.size(), MAX_HISTORY);
  EXPECT_EQ(back->lists.errors.front(), "error 3");
  EXPECT_EQ(back->lists.errors.back().size(), MAX_ERROR_LEN);
}

TEST(Outcomes, EachSettleKeepsItsOutcomeAcrossReopen) {
  TempDir dir;
  uint64_t acked = 0, nacked = 0, buried = 0, cancelled = 0, live = 0;
  {
    auto q = open_jobs(dir.path(), keeping());
    acked = put_one(*q, "a");
    nacked = put_one(*q, "b");
    buried = put_one(*q, "c");
    cancelled = put_one(*q, "d", kHourMs);
    live = put_one(*q, "e", kHourMs);
    auto leases = take(*q, 3, "first:1");
    ASSERT_EQ(leases.size(), 3u);
    const Bytes result = bytes_of("42");
    EXPECT_TRUE(ok_value(q->ack(leases[0], std::optional<ByteSpan>(span_of(result)))));
    EXPECT_TRUE(ok_value(q->nack(leases[1], 0, std::optional<std::string_view>("boom"))));
    EXPECT_TRUE(ok_value(q->bury(leases[2], "given up")));
    EXPECT_TRUE(ok_value(q->cancel(cancelled)));
    // The nacked one again, by another consumer, then acked.
    auto again = take(*q, 1, "second:2");
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].seq, nacked);
    const OutcomeStatus leased = status_of(*q, nacked);
    EXPECT_STREQ(leased.state, "leased");
    EXPECT_EQ(leased.errors, strs({"boom"}));
    EXPECT_EQ(leased.consumers, strs({"first:1", "second:2"}));
    EXPECT_TRUE(ok_value(q->ack(again[0])));
  }
  EXPECT_EQ(header_of(dir.path()), kFormat3);
  auto q = open_jobs(dir.path(), keeping());
  const OutcomeStatus a = status_of(*q, acked);
  EXPECT_STREQ(a.state, "acked");
  ASSERT_TRUE(a.result);
  EXPECT_EQ(*a.result, bytes_of("42"));
  EXPECT_EQ(a.deliveries, 1u);
  EXPECT_TRUE(a.started_ms && a.finished_ms && *a.started_ms <= *a.finished_ms);
  EXPECT_EQ(a.consumers, strs({"first:1"}));
  const OutcomeStatus n = status_of(*q, nacked);
  EXPECT_STREQ(n.state, "acked");
  EXPECT_FALSE(n.result);
  EXPECT_EQ(n.deliveries, 2u);
  EXPECT_EQ(n.errors, strs({"boom"}));
  EXPECT_EQ(n.consumers, strs({"first:1", "second:2"}));
  const OutcomeStatus b = status_of(*q, buried);
  EXPECT_STREQ(b.state, "dead");
  EXPECT_EQ(b.errors, strs({"given up"}));
  ASSERT_TRUE(b.dead_letter_id);
  auto letters = ok_value(q->dead_letters(10));
  ASSERT_EQ(letters.size(), 1u);
  EXPECT_EQ(letters[0].id, *b.dead_letter_id);
  EXPECT_STREQ(status_of(*q, cancelled).state, "cancelled");
  EXPECT_STREQ(status_of(*q, live).state, "scheduled");
  EXPECT_FALSE(ok_value(q->status(live + 100)));
  // Newest finished first, by state.
  auto all = ok_value(q->outcomes(std::nullopt, 10, std::nullopt));
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].seq, nacked);
  auto dead = ok_value(q->outcomes(OutcomeState::kDead, 10, std::nullopt));
  ASSERT_EQ(dead.size(), 1u);
  EXPECT_EQ(dead[0].seq, buried);
  EXPECT_EQ(ok_value(q->outcomes(std::nullopt, 2, std::nullopt)).size(), 2u);
  EXPECT_TRUE(ok_value(q->outcomes(std::nullopt, 10, *all[0].finished_ms + 1)).empty());
}

TEST(Outcomes, AnotherHandleSeesThemByCatchUp) {
  TempDir dir;
  auto writer = open_jobs(dir.path(), keeping());
  auto reader = open_jobs(dir.path(), make_settings());
  const uint64_t seq = put_one(*writer, "x");
  EXPECT_STREQ(status_of(*reader, seq).state, "ready");
  auto leases = take(*writer, 1);
  EXPECT_TRUE(ok_value(writer->ack(leases[0])));
  EXPECT_STREQ(status_of(*reader, seq).state, "acked");
}

TEST(Outcomes, TheDeliveryLimitKeepsADeadOutcome) {
  TempDir dir;
  auto q = open_jobs(dir.path(), keeping());
  const uint64_t seq = put_one(*q, "x");
  auto leases = take(*q, 1, "c:1", 1);
  ASSERT_EQ(leases.size(), 1u);
  EXPECT_TRUE(ok_value(q->nack(leases[0], 0, std::optional<std::string_view>("first"))));
  EXPECT_TRUE(take(*q, 1, "c:1", 1).empty());
  const OutcomeStatus s = status_of(*q, seq);
  EXPECT_STREQ(s.state, "dead");
  EXPECT_EQ(s.errors, strs({"first", kMaxDeliveriesReason}));
  EXPECT_TRUE(s.dead_letter_id);
}

TEST(Outcomes, NoRetentionWritesThePlainRecords) {
  TempDir dir;
  {
    auto q = open_jobs(dir.path(), make_settings());
    put_one(*q, "x");
    auto leases = take(*q, 1);
    EXPECT_TRUE(ok_value(q->ack(leases[0])));
    EXPECT_FALSE(ok_value(q->status(leases[0].seq)));
  }
  const Bytes log = read_file(dir.path() + "/queue.log");
  EXPECT_EQ(Bytes(log.begin(), log.begin() + 4), bytes_of("TWFL"));
}

TEST(Outcomes, CompactionKeepsThoseWhoseTimeRunsAndDropsTheRest) {
  TempDir dir;
  auto q = open_jobs(dir.path(), keeping(kHourMs, 1));
  const uint64_t kept = put_one(*q, "kept");
  const uint64_t expiring = put_one(*q, "expiring");
  const uint64_t live = put_one(*q, "live");
  auto leases = take(*q, 3);
  EXPECT_TRUE(ok_value(q->ack(leases[0])));
  EXPECT_TRUE(ok_value(q->bury(leases[1], "why")));
  EXPECT_TRUE(ok_value(q->nack(leases[2], 0, std::optional<std::string_view>("err"))));
  // The dead outcome is kept for a millisecond: let it run out on purpose.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(ok_value(q->status(expiring)));
  ASSERT_TRUE(q->compact().ok());
  EXPECT_STREQ(status_of(*q, kept).state, "acked");
  EXPECT_EQ(q->impl().state().outcomes.size(), 1u);
  EXPECT_EQ(status_of(*q, live).errors, strs({"err"}));
  q.reset();
  auto reopened = open_jobs(dir.path(), keeping());
  EXPECT_STREQ(status_of(*reopened, kept).state, "acked");
  EXPECT_FALSE(ok_value(reopened->status(expiring)));
  const OutcomeStatus l = status_of(*reopened, live);
  EXPECT_STREQ(l.state, "ready");
  EXPECT_EQ(l.errors, strs({"err"}));
  EXPECT_EQ(l.consumers, strs({"host:1"}));
  // The next id is past every kept outcome's.
  EXPECT_GT(put_one(*reopened, "next"), live);
}

TEST(Outcomes, AutomaticCompactionLetsExpiredOutcomesGo) {
  TempDir dir;
  Settings s = keeping(1);  // acked outcomes kept for a millisecond
  s.auto_compact_bytes = 16384;
  auto q = open_jobs(dir.path(), s);
  std::vector<uint64_t> acked;
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 20; ++i) put_one(*q, std::string(100, 'x'));
    for (const LeaseToken& lease : take(*q, 20)) EXPECT_TRUE(ok_value(q->ack(lease)));
    // Their time runs out on purpose before the next round's acks.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const JobStats stats = ok_value(q->stats());
  EXPECT_GT(stats.core.generation, 1u);
  EXPECT_LT(stats.core.log_bytes, 3 * s.auto_compact_bytes);
  EXPECT_LT(q->impl().state().outcomes.size(), 400u);
}

TEST(Outcomes, PurgeKeepsThemAndTheirIdsStayTaken) {
  TempDir dir;
  uint64_t last = 0;
  {
    auto q = open_jobs(dir.path(), keeping());
    put_one(*q, "a");
    last = put_one(*q, "b");
    auto leases = take(*q, 2);
    EXPECT_TRUE(ok_value(q->ack(leases[1])));
    ASSERT_TRUE(q->purge().ok());
    EXPECT_STREQ(status_of(*q, last).state, "acked");
    EXPECT_FALSE(ok_value(q->status(leases[0].seq)));
    EXPECT_GT(put_one(*q, "after"), last);
  }
  auto q = open_jobs(dir.path(), keeping());
  EXPECT_STREQ(status_of(*q, last).state, "acked");
  EXPECT_GT(put_one(*q, "after reopen"), last + 1);
}

TEST(Outcomes, TarnwickCoresQueueNeverReusesTheirIds) {
  TempDir dir;
  uint64_t last = 0;
  {
    auto q = open_jobs(dir.path(), keeping());
    last = put_one(*q, "a");
    auto leases = take(*q, 1);
    EXPECT_TRUE(ok_value(q->ack(leases[0])));
  }
  auto core = open_queue(dir.path());
  ASSERT_TRUE(core);
  ASSERT_TRUE(core->compact().ok());
  const Bytes b = bytes_of("core");
  EXPECT_GT(ok_value(core->enqueue(span_of(b))), last);
  core.reset();
  auto q = open_jobs(dir.path(), keeping());
  EXPECT_STREQ(status_of(*q, last).state, "acked");
}

TEST(Outcomes, AnUpgradedFormatTwoLogKeepsItsMessages) {
  TempDir dir;
  PutOptions o;
  o.priority = 5;
  o.key = "key";
  uint64_t seq = 0;
  {
    auto q = open_jobs(dir.path(), make_settings());
    const Bytes b = bytes_of("with options");
    const ByteSpan one = span_of(b);
    seq = ok_value(q->put(std::span(&one, 1), 0, SyncRule::kInterval, o));
    put_one(*q, "plain");
  }
  EXPECT_EQ(header_of(dir.path()), kFormat2);
  {
    auto q = open_jobs(dir.path(), keeping());
    auto leases = take(*q, 1);
    ASSERT_EQ(leases.size(), 1u);
    EXPECT_EQ(leases[0].seq, seq);
    EXPECT_TRUE(ok_value(q->ack(leases[0])));
  }
  EXPECT_EQ(header_of(dir.path()), kFormat3);
  auto q = open_jobs(dir.path(), keeping());
  const OutcomeStatus s = status_of(*q, seq);
  EXPECT_EQ(s.priority, 5);
  EXPECT_EQ(s.key, "key");
  EXPECT_EQ(ok_value(q->stats()).core.total, 1u);
}

TEST(Outcomes, AQueueInMemoryKeepsThemToo) {
  auto q = open_jobs(":memory:", keeping());
  const uint64_t seq = put_one(*q, "x");
  auto leases = take(*q, 1);
  const Bytes result = bytes_of("r");
  EXPECT_TRUE(ok_value(q->ack(leases[0], std::optional<ByteSpan>(span_of(result)))));
  const OutcomeStatus s = status_of(*q, seq);
  EXPECT_STREQ(s.state, "acked");
  EXPECT_EQ(*s.result, result);
}

TEST(Outcomes, EveryCutOfTheLogTailKeepsAnAckWithItsOutcomeOrNeither) {
  // An ack's OUTCOME is the record that removes the message: a log cut at
  // any byte holds both or neither.
  TempDir dir;
  uint64_t seq = 0;
  uint64_t before = 0;
  {
    auto q = open_jobs(dir.path(), keeping());
    seq = put_one(*q, "x");
    auto leases = take(*q, 1);
    ASSERT_TRUE(q->flush().ok());
    before = read_file(dir.path() + "/queue.log").size();
    const Bytes result = bytes_of("result");
    EXPECT_TRUE(ok_value(q->ack(leases[0], std::optional<ByteSpan>(span_of(result)))));
  }
  const Bytes whole = read_file(dir.path() + "/queue.log");
  ASSERT_GT(whole.size(), before);
  for (size_t cut = before; cut <= whole.size(); ++cut) {
    TempDir copy;
    write_file(copy.path() + "/queue.log", Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    auto q = open_jobs(copy.path(), keeping());
    ASSERT_TRUE(q);
    const OutcomeStatus s = status_of(*q, seq);
    if (cut == whole.size()) {
      EXPECT_STREQ(s.state, "acked") << cut;
      EXPECT_EQ(*s.result, bytes_of("result"));
    } else {
      EXPECT_STRNE(s.state, "acked") << cut;
      EXPECT_EQ(ok_value(q->stats()).core.total, 1u) << cut;
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing
