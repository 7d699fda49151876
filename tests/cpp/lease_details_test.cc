// LEASE's optional trailing fields: their encoding, logs without them, and
// a leased message's delivery start, extensions and consumer kept across
// renewals, compaction and a reopen.
#include <gtest/gtest.h>

#include "engine_helpers.h"
#include "queue/job_queue.h"
#include "queue/queue_impl.h"
#include "queue/record.h"

namespace tarnwick::testing {
namespace {

LeaseRecord detailed(std::string consumer) {
  return LeaseRecord{7, 1700000030000, 2, LeaseDetails{1700000000000, 3, std::move(consumer)}};
}

TEST(LeaseDetails, RoundTripAndOlderSizes) {
  const LeaseRecord lease = detailed("host-a:4242");
  const std::vector<uint8_t> payload = encode(lease);
  ASSERT_EQ(payload.size(), 34u + 11);
  EXPECT_EQ(payload[33], 11);
  EXPECT_EQ(std::get<LeaseRecord>(std::get<Record>(decode(payload))), lease);
  // The first 21 bytes are the record every older release writes and reads.
  const std::vector<uint8_t> fixed(payload.begin(), payload.begin() + 21);
  const LeaseRecord old = std::get<LeaseRecord>(std::get<Record>(decode(fixed)));
  EXPECT_EQ(old, (LeaseRecord{7, 1700000030000, 2}));
  EXPECT_EQ(encode(old), fixed);
  // Trailing bytes that are not whole trailing fields are ignored.
  for (size_t cut : {size_t{22}, size_t{33}, size_t{34}, payload.size() - 1}) {
    const std::vector<uint8_t> part(payload.begin(), payload.begin() + cut);
    EXPECT_FALSE(std::get<LeaseRecord>(std::get<Record>(decode(part))).details) << cut;
  }
  // An empty consumer is unknown; a long one is cut to the limit.
  EXPECT_EQ(encode(detailed("")).size(), 34u);
  const std::string long_name(100, 'c');
  const auto cut = std::get<LeaseRecord>(std::get<Record>(decode(encode(detailed(long_name)))));
  EXPECT_EQ(cut.details->consumer, long_name.substr(0, MAX_CONSUMER_LEN));
  // The view's frame is the record's frame.
  std::vector<uint8_t> a, b;
  append_frame_to(a, lease);
  append_frame_to(b, std::get<RecordView>(decode_view(payload)));
  EXPECT_EQ(a, b);
  EXPECT_EQ(frame_length(std::get<RecordView>(decode_view(payload))), a.size());
}

TEST(LeaseDetails, ConsumerNamesAreCountedOnce) {
  ConsumerNames names;
  const uint32_t a = names.add("a");
  EXPECT_EQ(names.add("a"), a);
  const uint32_t b = names.add("b");
  EXPECT_NE(a, b);
  EXPECT_EQ(names.add(""), 0u);
  names.drop(a);
  EXPECT_EQ(names.name(a), "a");
  names.drop(a);
  EXPECT_EQ(names.size(), 1u);
  EXPECT_EQ(names.add("c"), a) << "a freed id is used again";
  EXPECT_EQ(names.name(b), "b");
}

struct Tokens final : DeliverySink {
  bool deliver(const Delivery& d) override {
    tokens.push_back({d.seq, d.enqueued_ts_ms, d.deliveries, d.deadline_ms});
    return true;
  }
  std::vector<LeaseToken> tokens;
};

MessageSummary first_leased(JobQueue& q) {
  for (MessageSummary& m : ok_value(q.peek(100, false))) {
    if (m.state == MessageState::kLeased) return m;
  }
  ADD_FAILURE() << "nothing leased";
  return {};
}

TEST(LeaseDetails, KeptByRenewalsCompactionAndReopen) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const Bytes body = bytes_of("job");
  const ByteSpan one = span_of(body);
  ok_value(q->put(std::span(&one, 1), 0));
  ok_value(q->put(std::span(&one, 1), 0));
  Tokens sink;
  TakeRequest request{1, std::nullopt, 0, SyncRule::kInterval, std::string_view("w1:1")};
  ASSERT_EQ(ok_value(q->take(request, sink)).count, 1u);
  const LeaseToken token = sink.tokens.at(0);
  MessageSummary m = first_leased(*q);
  ASSERT_TRUE(m.started_ms.has_value());
  const uint64_t started = *m.started_ms;
  EXPECT_EQ(m.consumer, "w1:1");
  EXPECT_EQ(m.extensions, 0u);
  auto renewed = ok_value(q->extend(token, kHourMs, std::string_view("other")));
  ASSERT_TRUE(renewed.has_value());
  LeaseToken again = token;
  again.deadline_ms = *renewed;
  renewed = ok_value(q->extend(again, kHourMs));
  ASSERT_TRUE(renewed.has_value());
  again.deadline_ms = *renewed;
  m = first_leased(*q);
  EXPECT_EQ(m.started_ms, started) << "an extend keeps the start";
  EXPECT_EQ(m.extensions, 2u);
  EXPECT_EQ(m.consumer, "w1:1") << "and the holder";
  EXPECT_EQ(ok_value(q->stats()).oldest_started_ms, started);
  EXPECT_EQ(ok_value(q->stats()).oldest_started_seq, token.seq);

  // A take without a consumer (TarnwickCore's) writes the fixed record only.
  const uint64_t before = file_size(tmp.file("queue.log"));
  Tokens plain;
  ASSERT_EQ(ok_value(q->take({1, kHourMs, 0, SyncRule::kInterval}, plain)).count, 1u);
  EXPECT_EQ(file_size(tmp.file("queue.log")), before + LEASE_FRAME_LEN);

  ASSERT_TRUE(q->compact().ok());
  q.reset();
  q = open_jobs(tmp.path());
  m = first_leased(*q);
  EXPECT_EQ(m.started_ms, started);
  EXPECT_EQ(m.extensions, 2u);
  EXPECT_EQ(m.consumer, "w1:1");
  auto all = ok_value(q->peek(10, false));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_FALSE(all[1].started_ms.has_value()) << "the lease that told nothing";
  EXPECT_TRUE(all[1].consumer.empty());
  EXPECT_EQ(q->impl().inner.state.consumers.size(), 1u);

  // A settle forgets the lease's facts and their name.
  ASSERT_TRUE(ok_value(q->ack(again)));
  EXPECT_EQ(q->impl().inner.state.consumers.size(), 0u);
  EXPECT_TRUE(q->impl().inner.state.lease_facts.empty());
}

}  // namespace
}  // namespace tarnwick::testing
