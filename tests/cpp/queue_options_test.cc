// Format 2 and what it holds: the new record kinds' codec, their replay at
// open and in catch-up, compaction and purge keeping them, the upgrade of a
// format-1 log, and the semantics they carry (priorities, groups under a
// limit, pause, cancel, keys and their unique_for window, delays as
// scheduled), through JobQueue and through TarnwickCore's Queue.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "engine_helpers.h"
#include "log_io/clock.h"
#include "log_io/endian.h"
#include "log_io/frame.h"
#include "queue/job_queue.h"
#include "queue/queue_impl.h"

namespace tarnwick::testing {
namespace {

constexpr uint64_t kLongLease = kHourMs;

Bytes header_of(const std::string& dir) {
  Bytes log = read_file(dir + "/queue.log");
  log.resize(8);
  return log;
}
const Bytes kFormat1 = {'T', 'W', 'F', 'L', 1, 0, 0, 0};
const Bytes kFormat2 = {'T', 'W', 'F', '2', 2, 0, 0, 0};

uint64_t put(JobQueue& q, std::string_view body, const PutOptions& options,
             uint64_t delay_ms = 0) {
  const Bytes b = bytes_of(body);
  const ByteSpan one = span_of(b);
  return ok_value(q.put(std::span(&one, 1), delay_ms, SyncRule::kInterval, options));
}

PutOptions with_priority(int8_t priority) {
  PutOptions o;
  o.priority = priority;
  return o;
}

PutOptions in_group(std::string_view group) {
  PutOptions o;
  o.group = group;
  return o;
}

PutOptions with_key(std::string_view key, uint64_t unique_for_ms = 0) {
  PutOptions o;
  o.key = key;
  o.unique_for_ms = unique_for_ms;
  return o;
}

// A take's deliveries with what they were put with.
struct Took {
  LeaseToken lease;
  std::string body;
  int priority;
  std::string key;
  std::string group;
  std::string headers;
};

std::vector<Took> take(JobQueue& q, uint64_t max, bool by_priority = true) {
  class Sink final : public DeliverySink {
   public:
    bool deliver(const Delivery& d) override {
      out.push_back({{d.seq, d.enqueued_ts_ms, d.deliveries, d.deadline_ms},
                     std::string(d.body.begin(), d.body.end()), d.priority, std::string(d.key),
                     std::string(d.group), std::string(d.headers.begin(), d.headers.end())});
      return true;
    }
    std::vector<Took> out;
  } sink;
  TakeRequest request{max, kLongLease, 0, SyncRule::kForce};
  request.by_priority = by_priority;
  EXPECT_TRUE(q.take(request, sink).ok());
  return sink.out;
}

std::vector<uint64_t> seqs_of(const std::vector<Took>& took) {
  std::vector<uint64_t> out;
  for (const Took& t : took) out.push_back(t.lease.seq);
  return out;
}

// --- the codec ---

TEST(FormatTwoCodec, EveryNewKindRoundTrips) {
  const Bytes body = bytes_of("body");
  const Bytes headers = bytes_of("{\"a\":\"b\"}");
  const std::vector<RecordView> views = {
      RecordView::enqueue_with_options(7, 1700, body, -100, "key", 5000, "group", headers),
      RecordView::enqueue_with_options(8, 1701, {}, 100, "", 0, "", {}),
      RecordView::cancel(9),
      RecordView::settings(true, 3),
      RecordView::kept_key(10, 99, "k"),
      RecordView::schedule(11, 123, 4),
  };
  for (const RecordView& view : views) {
    Bytes frame;
    append_frame_to(frame, view);
    ASSERT_EQ(frame.size(), frame_length(view)) << int{view.tag};
    auto decoded = decode_view(std::span(frame).subspan(FRAME_HEADER_LEN));
    ASSERT_TRUE(std::holds_alternative<RecordView>(decoded)) << std::get<std::string>(decoded);
    const RecordView& back = std::get<RecordView>(decoded);
    EXPECT_EQ(back.tag, view.tag);
    EXPECT_EQ(back.seq, view.seq);
    EXPECT_EQ(back.time_ms, view.time_ms);
    EXPECT_EQ(back.deliveries, view.deliveries);
    EXPECT_EQ(back.scheduled, view.scheduled);
    EXPECT_EQ(back.priority, view.priority);
    EXPECT_EQ(back.unique_for_ms, view.unique_for_ms);
    EXPECT_EQ(back.key, view.key);
    EXPECT_EQ(back.group, view.group);
    EXPECT_EQ(Bytes(back.headers.begin(), back.headers.end()),
              Bytes(view.headers.begin(), view.headers.end()));
    EXPECT_EQ(Bytes(back.body.begin(), back.body.end()), Bytes(view.body.begin(), view.body.end()));
    EXPECT_EQ(back.paused, view.paused);
    EXPECT_EQ(back.group_limit, view.group_limit);
    // The body sits where body_at() says, for the state's offsets.
    if (view.tag == ENQUEUE_WITH_OPTIONS && !body.empty() && view.body.size() == body.size()) {
      EXPECT_EQ(Bytes(frame.begin() + static_cast<long>(view.body_at()), frame.end()), body);
    }
  }
}

TEST(FormatTwoCodec, ShortAndOutOfRangeRecordsDoNotDecode) {
  Bytes frame;
  append_frame_to(frame, RecordView::enqueue_with_options(1, 2, bytes_of("xyz"), 5, "k", 0, "g",
                                                          bytes_of("h")));
  const Bytes payload(frame.begin() + FRAME_HEADER_LEN, frame.end());
  for (size_t cut = 1; cut < payload.size(); ++cut) {
    auto decoded = decode_view(std::span(payload).first(cut));
    EXPECT_TRUE(std::holds_alternative<std::string>(decoded)) << cut;
  }
  Bytes bad_priority = payload;
  bad_priority[17] = static_cast<uint8_t>(101);
  EXPECT_EQ(std::get<std::string>(decode_view(bad_priority)), "priority out of range");
  EXPECT_EQ(std::get<std::string>(decode_view(Bytes{SETTINGS, 1, 0, 0, 0, 0})),
            "settings: group limit 0");
  EXPECT_EQ(std::get<std::string>(decode_view(Bytes{SETTINGS, 2, 1, 0, 0, 0})),
            "settings: paused is neither 0 nor 1");
  // A scheduled flag other than 1 is a plain lease (the extra byte ignored).
  Bytes lease;
  append_frame_to(lease, RecordView::schedule(1, 2, 3));
  lease.back() = 0;
  EXPECT_FALSE(std::get<RecordView>(decode_view(std::span(lease).subspan(12))).scheduled);
}

// --- formats and the upgrade ---

TEST(FormatTwo, APlainQueueStaysFormatOne) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, "plain", {});
  auto took = take(*q, 1);
  ASSERT_EQ(took.size(), 1u);
  ASSERT_TRUE(ok_value(q->nack(took[0].lease, kLongLease)));
  ASSERT_TRUE(q->compact().ok());
  EXPECT_EQ(header_of(tmp.path()), kFormat1);
  // The delayed nack shows as scheduled, not leased.
  const auto peeked = ok_value(q->peek(10, false));
  ASSERT_EQ(peeked.size(), 1u);
  EXPECT_EQ(peeked[0].state, MessageState::kScheduled);
  const JobStats stats = ok_value(q->stats());
  EXPECT_EQ(stats.scheduled, 1u);
  EXPECT_EQ(stats.core.in_flight, 1u);  // the engine's count; the package shows leases only
}

TEST(FormatTwo, TheFirstWriteThatNeedsItUpgradesTheLogByANewGeneration) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t a = put(*q, "a", {});
  auto other = open_jobs(tmp.path());  // another process's view, read before the upgrade
  EXPECT_EQ(ok_value(other->available()), 1u);
  EXPECT_EQ(header_of(tmp.path()), kFormat1);
  const uint64_t generation = q->impl().generation();
  const uint64_t b = put(*q, "b", with_priority(5));
  EXPECT_EQ(header_of(tmp.path()), kFormat2);
  EXPECT_EQ(q->impl().generation(), generation + 1);
  // The other object re-reads the new generation and sees both, b first.
  auto took = take(*other, 2);
  EXPECT_EQ(seqs_of(took), (std::vector<uint64_t>{b, a}));
  // Compaction keeps format 2.
  ASSERT_TRUE(q->compact().ok());
  EXPECT_EQ(header_of(tmp.path()), kFormat2);
}

TEST(FormatTwo, PauseCancelAndTheGroupLimitEachUpgrade) {
  for (int which = 0; which < 3; ++which) {
    TempDir tmp;
    auto q = open_jobs(tmp.path());
    const uint64_t seq = put(*q, "x", {});
    ASSERT_TRUE(q->set_group_limit(1).ok());  // unchanged: nothing written
    ASSERT_TRUE(q->set_paused(false).ok());
    EXPECT_EQ(header_of(tmp.path()), kFormat1);
    const bool done = which == 0   ? q->set_paused(true).ok()
                      : which == 1 ? ok_value(q->cancel(seq))
                                   : q->set_group_limit(4).ok();
    ASSERT_TRUE(done) << which;
    EXPECT_EQ(header_of(tmp.path()), kFormat2) << which;
  }
}

// --- priorities ---

TEST(Priorities, HigherFirstThenSmallestIdAndTarnwickCoreKeepsIdOrder) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t low = put(*q, "low", with_priority(-5));
  const uint64_t plain = put(*q, "plain", {});
  const uint64_t high = put(*q, "high", with_priority(50));
  const uint64_t high2 = put(*q, "high2", with_priority(50));
  const uint64_t mid = put(*q, "mid", with_priority(1));
  auto took = take(*q, 5);
  EXPECT_EQ(seqs_of(took), (std::vector<uint64_t>{high, high2, mid, plain, low}));
  EXPECT_EQ(took[0].priority, 50);
  for (const Took& t : took) ASSERT_TRUE(ok_value(q->nack(t.lease, 0)));
  // Smallest id first, whatever the priority.
  EXPECT_EQ(seqs_of(take(*q, 5, false)), (std::vector<uint64_t>{low, plain, high, high2, mid}));
}

// --- groups ---

TEST(Groups, LimitOneLeasesInIdOrderOneAtATimeAndOthersPass) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t a1 = put(*q, "a1", in_group("a"));
  const uint64_t a2 = put(*q, "a2", in_group("a"));
  const uint64_t b1 = put(*q, "b1", in_group("b"));
  const uint64_t plain = put(*q, "plain", {});
  auto first = take(*q, 10);
  EXPECT_EQ(seqs_of(first), (std::vector<uint64_t>{a1, b1, plain}));
  EXPECT_EQ(first[0].group, "a");
  EXPECT_TRUE(take(*q, 10).empty());
  // Acking the head frees the slot for the next of the group.
  ASSERT_TRUE(ok_value(q->ack(first[0].lease)));
  auto second = take(*q, 10);
  EXPECT_EQ(seqs_of(second), (std::vector<uint64_t>{a2}));
  // A nack with a delay frees the slot too: the message is scheduled.
  ASSERT_TRUE(ok_value(q->nack(second[0].lease, kLongLease)));
  const uint64_t a3 = put(*q, "a3", in_group("a"));
  EXPECT_EQ(seqs_of(take(*q, 10)), (std::vector<uint64_t>{a3}));
}

TEST(Groups, LimitThreeAndAnExpiredLeaseFreesItsSlot) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  ASSERT_TRUE(q->set_group_limit(3).ok());
  std::vector<uint64_t> seqs;
  for (int i = 0; i < 5; ++i) seqs.push_back(put(*q, numbered("g", i), in_group("g")));
  EXPECT_EQ(seqs_of(take(*q, 2)), (std::vector<uint64_t>{seqs[0], seqs[1]}));
  // The third slot goes to a lease that runs out (1 ms, waited out).
  class Sink final : public DeliverySink {
   public:
    bool deliver(const Delivery&) override { return true; }
  } ignore;
  ASSERT_EQ(ok_value(q->take({1, 1, 0, SyncRule::kForce}, ignore)).count, 1u);
  const uint64_t until = now_ms() + 5;
  while (now_ms() <= until) std::this_thread::yield();
  // Its message comes back, first of the group again, and fills the slot.
  auto took = take(*q, 10);
  ASSERT_EQ(seqs_of(took), (std::vector<uint64_t>{seqs[2]}));
  EXPECT_EQ(took[0].lease.deliveries, 2u);
  EXPECT_TRUE(take(*q, 10).empty());
  // Lowering the limit below the leased count holds the group back.
  ASSERT_TRUE(q->set_group_limit(1).ok());
  ASSERT_TRUE(ok_value(q->ack(took[0].lease)));
  EXPECT_TRUE(take(*q, 10, false).empty());
  ASSERT_TRUE(q->set_group_limit(5).ok());
  EXPECT_EQ(seqs_of(take(*q, 10)), (std::vector<uint64_t>{seqs[3], seqs[4]}));
}

TEST(Groups, TheLimitHoldsForTarnwickCoreToo) {
  TempDir tmp;
  {
    auto q = open_jobs(tmp.path());
    put(*q, "a1", in_group("a"));
    put(*q, "a2", in_group("a"));
  }
  auto core = open_queue(tmp.path());
  ASSERT_TRUE(must_dequeue(*core, kLongLease).has_value());
  EXPECT_FALSE(must_dequeue(*core, kLongLease).has_value());
}

// --- pause ---

TEST(Pause, APausedQueueLeasesNothingForAnyObjectAndAfterReopening) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  put(*q, "x", {});
  ASSERT_TRUE(q->set_paused(true).ok());
  auto other = open_jobs(tmp.path());
  EXPECT_TRUE(take(*other, 1).empty());
  EXPECT_TRUE(ok_value(other->paused()));
  auto core = open_queue(tmp.path());
  EXPECT_FALSE(must_dequeue(*core).has_value());
  q.reset();
  other.reset();
  auto reopened = open_jobs(tmp.path());
  EXPECT_TRUE(take(*reopened, 1).empty());
  ASSERT_TRUE(reopened->set_paused(false).ok());
  EXPECT_EQ(take(*reopened, 1).size(), 1u);
}

// --- cancel ---

TEST(Cancel, ReadyAndScheduledOnlyAndNothingWrittenOtherwise) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t ready = put(*q, "ready", {});
  const uint64_t delayed = put(*q, "delayed", {}, kLongLease);
  const uint64_t leased = put(*q, "leased", {});
  ASSERT_TRUE(ok_value(q->cancel(ready)));
  auto took = take(*q, 1);
  ASSERT_EQ(seqs_of(took), (std::vector<uint64_t>{leased}));
  const Bytes before = read_file(tmp.path() + "/queue.log");
  EXPECT_FALSE(ok_value(q->cancel(leased)));
  EXPECT_FALSE(ok_value(q->cancel(ready)));
  EXPECT_FALSE(ok_value(q->cancel(12345)));
  EXPECT_EQ(read_file(tmp.path() + "/queue.log"), before);
  ASSERT_TRUE(ok_value(q->cancel(delayed)));
  EXPECT_EQ(ok_value(q->stats()).core.total, 1u);
}

// --- keys ---

TEST(Keys, ALiveKeyReturnsItsMessageAndWritesNothing) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t first = put(*q, "one", with_key("k"));
  const Bytes before = read_file(tmp.path() + "/queue.log");
  auto other = open_jobs(tmp.path());
  EXPECT_EQ(put(*other, "two", with_key("k")), first);
  EXPECT_EQ(read_file(tmp.path() + "/queue.log"), before);
  auto took = take(*q, 1);
  ASSERT_EQ(took.size(), 1u);
  EXPECT_EQ(took[0].key, "k");
  EXPECT_EQ(put(*other, "three", with_key("k")), first);  // leased is live
  ASSERT_TRUE(ok_value(q->ack(took[0].lease)));
  // No window: the key is free once its message left.
  EXPECT_NE(put(*other, "four", with_key("k")), first);
}

TEST(Keys, TheUniqueForWindowOutlivesTheMessageCompactionAndReopeningThenEnds) {
  TempDir tmp;
  uint64_t first = 0;
  {
    auto q = open_jobs(tmp.path());
    first = put(*q, "one", with_key("k", kLongLease));
    put(*q, "short", with_key("s", 1));
    auto took = take(*q, 2);
    ASSERT_EQ(took.size(), 2u);
    ASSERT_TRUE(ok_value(q->ack(took[0].lease)));
    ASSERT_TRUE(ok_value(q->ack(took[1].lease)));
    EXPECT_EQ(put(*q, "again", with_key("k")), first);
    const uint64_t until = now_ms() + 5;  // the 1 ms window runs out on purpose
    while (now_ms() <= until) std::this_thread::yield();
    ASSERT_TRUE(q->compact().ok());
  }
  auto q = open_jobs(tmp.path());
  EXPECT_EQ(put(*q, "after reopening", with_key("k")), first);
  EXPECT_EQ(q->impl().state().kept_keys.count("k"), 1u);
  // The 1 ms window is over: compaction wrote no KEPT_KEY for it.
  EXPECT_EQ(q->impl().state().kept_keys.count("s"), 0u);
  // A new message: the id of "k"'s message (0) stays taken by its kept key,
  // the next one is free again (nothing answers with it any more).
  EXPECT_EQ(put(*q, "s again", with_key("s")), 1u);
}

TEST(Keys, TwoProcessesPuttingOneKeyAtOnceMakeOneMessage) {
  TempDir tmp;
  open_jobs(tmp.path());  // the directory and its log exist before the race
  int go[2];
  int ids[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(ids), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      auto q = JobQueue::open(tmp.path(), make_settings());
      char start = 0;
      if (!q.ok() || ::read(go[0], &start, 1) != 1) ::_exit(2);
      const Bytes body = bytes_of("racer");
      const ByteSpan one = span_of(body);
      auto put = q.value()->put(std::span(&one, 1), 0, SyncRule::kInterval, with_key("race"));
      if (!put.ok()) ::_exit(3);
      const uint64_t id = *put;
      ::_exit(::write(ids[1], &id, sizeof id) == sizeof id ? 0 : 4);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(ids[1]);
  ASSERT_EQ(::write(go[1], "gg", 2), 2);  // both start at once
  ::close(go[1]);
  uint64_t got[2] = {};
  for (uint64_t& id : got) ASSERT_EQ(::read(ids[0], &id, sizeof id), static_cast<ssize_t>(sizeof id));
  ::close(ids[0]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(got[0], got[1]);
  auto q = open_jobs(tmp.path());
  EXPECT_EQ(ok_value(q->stats()).core.total, 1u);
}

TEST(Keys, CancelAndDeadKeepTheKeyForTheWindow) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t cancelled = put(*q, "c", with_key("c", kLongLease));
  ASSERT_TRUE(ok_value(q->cancel(cancelled)));
  EXPECT_EQ(put(*q, "c2", with_key("c")), cancelled);
  const uint64_t buried = put(*q, "d", with_key("d", kLongLease));
  auto took = take(*q, 1);
  ASSERT_EQ(seqs_of(took), (std::vector<uint64_t>{buried}));
  ASSERT_TRUE(ok_value(q->bury(took[0].lease, "no")));
  EXPECT_EQ(put(*q, "d2", with_key("d")), buried);
}

// --- recovery, catch-up, compaction ---

TEST(FormatTwoLog, AnotherObjectCatchesUpWithEveryNewKind) {
  TempDir tmp;
  auto writer = open_jobs(tmp.path());
  auto reader = open_jobs(tmp.path());
  put(*writer, "v2", with_priority(1));  // upgrade first, so what follows is appended
  ASSERT_EQ(ok_value(reader->available()), 1u);
  const uint64_t gen = reader->impl().generation();
  PutOptions all = with_key("key", kLongLease);
  all.priority = 9;
  all.group = "grp";
  const Bytes headers = bytes_of("{\"h\":\"v\"}");
  all.headers = span_of(headers);
  const uint64_t full = put(*writer, "full", all);
  const uint64_t gone = put(*writer, "gone", with_key("gone", kLongLease));
  ASSERT_TRUE(ok_value(writer->cancel(gone)));
  ASSERT_TRUE(writer->set_group_limit(2).ok());
  ASSERT_TRUE(writer->set_paused(true).ok());
  EXPECT_TRUE(take(*reader, 1).empty());
  EXPECT_EQ(reader->impl().generation(), gen);  // appended, not replaced
  const QueueState& s = reader->impl().state();
  EXPECT_TRUE(s.paused);
  EXPECT_EQ(s.group_limit, 2u);
  EXPECT_EQ(s.kept_keys.at("gone").seq, gone);
  EXPECT_EQ(s.live_keys.at("key"), full);
  ASSERT_TRUE(reader->set_paused(false).ok());
  auto took = take(*reader, 1);
  ASSERT_EQ(took.size(), 1u);
  EXPECT_EQ(took[0].lease.seq, full);
  EXPECT_EQ(took[0].headers, "{\"h\":\"v\"}");
  EXPECT_EQ(took[0].group, "grp");
}

TEST(FormatTwoLog, CompactionAndReopeningKeepOptionsSettingsKeysAndDelays) {
  TempDir tmp;
  PutOptions all = with_key("key", kLongLease);
  all.priority = -3;
  all.group = "g";
  const Bytes headers = bytes_of("{\"x\":\"y\"}");
  all.headers = span_of(headers);
  {
    auto q = open_jobs(tmp.path());
    put(*q, "plain", {});
    put(*q, "full", all);
    put(*q, "later", in_group("g"), kLongLease);
    const uint64_t kept = put(*q, "kept", with_key("kept", kLongLease));
    ASSERT_TRUE(ok_value(q->cancel(kept)));
    ASSERT_TRUE(q->set_group_limit(7).ok());
    ASSERT_TRUE(q->compact().ok());
    const Bytes compacted = read_file(tmp.path() + "/queue.log");
    auto summaries = ok_value(q->peek(10, true));
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[1].key, "key");
    EXPECT_EQ(summaries[1].priority, -3);
    EXPECT_EQ(summaries[1].group, "g");
    EXPECT_EQ(summaries[1].headers, headers);
    EXPECT_EQ(to_string(summaries[1].body), "full");  // offsets moved with the new log
    EXPECT_EQ(summaries[2].state, MessageState::kScheduled);
    ASSERT_TRUE(q->compact().ok());  // compacting a compacted log changes no byte but the header
    Bytes again = read_file(tmp.path() + "/queue.log");
    EXPECT_EQ(Bytes(again.begin() + 16, again.end()), Bytes(compacted.begin() + 16, compacted.end()));
  }
  const IntegrityReport verified = ok_value(verify_queue_directory(tmp.path()));
  EXPECT_TRUE(verified.ok) << verified.message;
  auto q = open_jobs(tmp.path());
  const QueueState& s = q->impl().state();
  EXPECT_EQ(s.group_limit, 7u);
  EXPECT_EQ(s.kept_keys.count("kept"), 1u);
  EXPECT_EQ(s.live_keys.count("key"), 1u);
  auto took = take(*q, 10);
  ASSERT_EQ(took.size(), 2u);
  EXPECT_EQ(took[0].body, "plain");
  EXPECT_EQ(took[1].body, "full");
  EXPECT_EQ(took[1].headers, "{\"x\":\"y\"}");
}

TEST(FormatTwoLog, ATornNewRecordIsCutAndTheRestKept) {
  TempDir tmp;
  {
    auto q = open_jobs(tmp.path());
    put(*q, "whole", with_priority(3));
  }
  const std::string log_path = tmp.path() + "/queue.log";
  const uint64_t good = file_size(log_path);
  Bytes torn;
  const Bytes body = bytes_of("torn body");
  append_frame_to(torn, RecordView::enqueue_with_options(1, 2, body, 1, "k", 0, "g", {}));
  torn.resize(torn.size() - 3);
  Bytes log = read_file(log_path);
  log.insert(log.end(), torn.begin(), torn.end());
  write_file(log_path, log);
  ::testing::internal::CaptureStderr();
  auto q = open_jobs(tmp.path());
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("truncating corrupt log tail at byte " + std::to_string(good)),
            std::string::npos)
      << err;
  EXPECT_EQ(file_size(log_path), good);
  EXPECT_EQ(ok_value(q->available()), 1u);
}

TEST(FormatTwoLog, DamageBeforeNewRecordsIsSkippedAndTheyAreKept) {
  TempDir tmp;
  {
    auto q = open_jobs(tmp.path());
    put(*q, "first", with_priority(3));
    put(*q, "second", with_key("k"));
    ASSERT_TRUE(q->set_paused(true).ok());
  }
  const std::string log_path = tmp.path() + "/queue.log";
  Bytes log = read_file(log_path);
  // A bit flipped in the last body byte of the first frame (the first message).
  const uint64_t first_len = load_le32(log.data() + 16 + 4);
  log[16 + 12 + first_len - 1] ^= 0x40;
  write_file(log_path, log);
  ::testing::internal::CaptureStderr();
  auto q = open_jobs(tmp.path());
  (void)::testing::internal::GetCapturedStderr();
  const QueueState& s = q->impl().state();
  EXPECT_EQ(s.messages.size(), 1u);
  EXPECT_TRUE(s.paused);
  EXPECT_EQ(s.live_keys.count("k"), 1u);
  EXPECT_EQ(header_of(tmp.path()), kFormat2);  // the repair keeps the format
}

TEST(FormatTwoLog, PurgeKeepsTheSettingsAndForgetsKeys) {
  TempDir tmp;
  auto q = open_jobs(tmp.path());
  const uint64_t kept = put(*q, "k", with_key("k", kLongLease));
  ASSERT_TRUE(ok_value(q->cancel(kept)));
  ASSERT_TRUE(q->set_group_limit(5).ok());
  ASSERT_TRUE(q->purge().ok());
  auto reopened = open_jobs(tmp.path());
  EXPECT_EQ(ok_value(reopened->group_limit()), 5u);
  EXPECT_TRUE(reopened->impl().state().kept_keys.empty());
}

TEST(FormatTwoLog, AMemoryQueueHasEveryFeature) {
  auto q = open_jobs(":memory:");
  PutOptions all = with_key("m", kLongLease);
  all.group = "g";
  const Bytes headers = bytes_of("{}");
  all.headers = span_of(headers);
  const uint64_t seq = put(*q, "body", all);
  EXPECT_EQ(put(*q, "dup", with_key("m")), seq);
  auto took = take(*q, 5);
  ASSERT_EQ(took.size(), 1u);
  EXPECT_EQ(took[0].headers, "{}");
  EXPECT_EQ(took[0].body, "body");
}

}  // namespace
}  // namespace tarnwick::testing
