// Schedules (format 4): the SCHEDULE record's codec, the compare-and-set
// that writes it with its messages, their replay at open and in another
// handle's catch-up, compaction and purge keeping the states, the upgrade of
// an older log at the first change, the refusal of a newer format, a log
// cut at any byte, and a failed write leaving nothing applied.
#include <gtest/gtest.h>

#include <cerrno>

#include "engine_helpers.h"
#include "log_io/frame.h"
#include "queue/job_queue.h"
#include "queue/schedule_record.h"

namespace tarnwick::testing {
namespace {

using Ids = std::optional<std::vector<uint64_t>>;

const Bytes kFormat1 = {'T', 'W', 'F', 'L', 1, 0, 0, 0};
const Bytes kFormat3 = {'T', 'W', 'F', '3', 3, 0, 0, 0};
const Bytes kFormat4 = {'T', 'W', 'F', '4', 4, 0, 0, 0};

Bytes header_of(const std::string& dir) {
  Bytes log = read_file(dir + "/queue.log");
  log.resize(8);
  return log;
}

// The bytes a change puts and compares, kept alive beside the spans.
struct Change {
  std::vector<Bytes> bodies;
  std::vector<SchedulePut> puts;
  void put(std::string_view body, std::string_view key = {}, int8_t priority = 0,
           uint64_t unique_for_ms = 0) {
    bodies.reserve(16);  // the spans below must not move
    bodies.push_back(bytes_of(body));
    SchedulePut p;
    p.body = span_of(bodies.back());
    p.options.key = key;
    p.options.priority = priority;
    p.options.unique_for_ms = unique_for_ms;
    puts.push_back(p);
  }
};

std::optional<ByteSpan> opt(const Bytes* b) {
  return b == nullptr ? std::nullopt : std::optional<ByteSpan>(span_of(*b));
}

Ids change(JobQueue& q, std::string_view name, const Bytes* expected, const Bytes* next,
           const Change& c = {}) {
  auto r = q.change_schedule(name, opt(expected), opt(next), c.puts);
  if (!r.ok()) {
    ADD_FAILURE() << "change_schedule failed: " << r.error().text();
    return std::nullopt;
  }
  return std::move(r).value();
}

std::map<std::string, Bytes> states(JobQueue& q) {
  std::map<std::string, Bytes> out;
  for (auto& [name, state] : ok_value(q.schedules())) out[name] = state;
  return out;
}

// (seq, body, key, priority) of every live message, smallest seq first.
std::vector<std::tuple<uint64_t, std::string, std::string, int>> messages(JobQueue& q) {
  std::vector<std::tuple<uint64_t, std::string, std::string, int>> out;
  for (const MessageSummary& m : ok_value(q.peek(100, true))) {
    out.emplace_back(m.seq, to_string(m.body), m.key, m.priority);
  }
  return out;
}

uint64_t put_one(JobQueue& q, std::string_view body, const PutOptions& o = {}) {
  const Bytes b = bytes_of(body);
  const ByteSpan one = span_of(b);
  return ok_value(q.put(std::span(&one, 1), 0, SyncRule::kInterval, o));
}

const Bytes kOne = bytes_of("state one");
const Bytes kTwo = bytes_of("state two");

TEST(ScheduleCodec, RoundTripsAndRefusesEveryCut) {
  const Bytes state = bytes_of("the state");
  const Bytes headers = bytes_of("{\"h\":\"v\"}");
  const Bytes a = bytes_of("body a");
  const Bytes b = bytes_of("body b");
  ScheduleFields f;
  f.name = "nightly";
  f.state = span_of(state);
  SchedulePutFields p;
  p.seq = 7;
  p.enqueued_ms = 1000;
  p.priority = -3;
  p.unique_for_ms = 60000;
  p.key = "nightly:1000";
  p.headers = span_of(headers);
  p.body = span_of(a);
  f.puts.push_back(p);
  p = SchedulePutFields{};
  p.seq = 8;
  p.group = "g";
  p.body = span_of(b);
  f.puts.push_back(p);
  Bytes payload;
  encode_schedule(f, payload);
  EXPECT_EQ(payload.size(), schedule_payload_size(f.name, state.size(), f.puts));
  auto decoded = decode_schedule(payload);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->name, "nightly");
  ASSERT_TRUE(decoded->state);
  EXPECT_EQ(Bytes(decoded->state->begin(), decoded->state->end()), state);
  ASSERT_EQ(decoded->puts.size(), 2u);
  EXPECT_EQ(decoded->puts[0].seq, 7u);
  EXPECT_EQ(decoded->puts[0].priority, -3);
  EXPECT_EQ(decoded->puts[0].unique_for_ms, 60000u);
  EXPECT_EQ(decoded->puts[0].key, "nightly:1000");
  EXPECT_EQ(Bytes(decoded->puts[0].headers.begin(), decoded->puts[0].headers.end()), headers);
  EXPECT_EQ(Bytes(decoded->puts[0].body.begin(), decoded->puts[0].body.end()), a);
  EXPECT_EQ(payload[decoded->puts[1].body_at], 'b');
  EXPECT_EQ(decoded->puts[1].group, "g");
  // The view the replay reads: its seq is the first put's.
  auto view = decode_view(payload);
  ASSERT_TRUE(std::holds_alternative<RecordView>(view));
  EXPECT_EQ(std::get<RecordView>(view).tag, SCHEDULE);
  EXPECT_EQ(std::get<RecordView>(view).seq, 7u);
  for (size_t cut = 0; cut < payload.size(); ++cut) {
    EXPECT_FALSE(decode_schedule(std::span(payload).first(cut))) << cut;
  }
  Bytes longer = payload;
  longer.push_back(0);
  EXPECT_FALSE(decode_schedule(longer));
  // A removal carries no state.
  ScheduleFields removal;
  removal.name = "nightly";
  Bytes removed;
  encode_schedule(removal, removed);
  auto gone = decode_schedule(removed);
  ASSERT_TRUE(gone);
  EXPECT_FALSE(gone->state);
  EXPECT_TRUE(gone->puts.empty());
}

TEST(Schedules, CompareAndSetChangesOnlyWhatItExpects) {
  TempDir dir;
  auto q = open_jobs(dir.path());
  EXPECT_TRUE(states(*q).empty());
  EXPECT_EQ(change(*q, "s", &kOne, &kTwo), std::nullopt) << "absent, not kOne";
  const uint64_t size = file_size(dir.path() + "/queue.log");
  Change c;
  c.put("first");
  c.put("second", {}, 5);
  EXPECT_EQ(change(*q, "s", nullptr, &kOne, c), (std::vector<uint64_t>{0, 1}));
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
  const uint64_t after = file_size(dir.path() + "/queue.log");
  EXPECT_GT(after, size);
  // Lost races write nothing: the schedule holds kOne now.
  EXPECT_EQ(change(*q, "s", nullptr, &kTwo, c), std::nullopt);
  EXPECT_EQ(change(*q, "s", &kTwo, &kTwo, c), std::nullopt);
  const Bytes prefix = bytes_of("state");
  EXPECT_EQ(change(*q, "s", &prefix, &kTwo), std::nullopt);
  EXPECT_EQ(file_size(dir.path() + "/queue.log"), after);
  EXPECT_EQ(must_stats(*q).total, 2u);
  EXPECT_EQ(change(*q, "s", &kOne, &kTwo), std::vector<uint64_t>{});
  EXPECT_EQ(change(*q, "other", nullptr, &kOne), std::vector<uint64_t>{});
  EXPECT_EQ(change(*q, "s", &kTwo, nullptr), std::vector<uint64_t>{});
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"other", kOne}}));
  // An empty state is a state, not an absence.
  const Bytes empty;
  EXPECT_EQ(change(*q, "e", nullptr, &empty), std::vector<uint64_t>{});
  EXPECT_EQ(change(*q, "e", nullptr, &kOne), std::nullopt);
  EXPECT_EQ(change(*q, "e", &empty, &kOne), std::vector<uint64_t>{});
  const auto expected = messages(*q);
  EXPECT_EQ(expected, (std::vector<std::tuple<uint64_t, std::string, std::string, int>>{
                          {0, "first", "", 0}, {1, "second", "", 5}}));
  q.reset();
  EXPECT_EQ(header_of(dir.path()), kFormat4);
  auto reopened = open_jobs(dir.path());
  EXPECT_EQ(states(*reopened), (std::map<std::string, Bytes>{{"other", kOne}, {"e", kOne}}));
  EXPECT_EQ(messages(*reopened), expected);
  // The messages are ordinary ones: the higher priority is taken first.
  auto taken = ok_value(take_copies(*reopened, 1, kHourMs, 0));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(to_string(taken[0].body), "second");
}

TEST(Schedules, APutsKeyHoldsAsForPut) {
  auto q = open_jobs(":memory:");
  PutOptions keyed;
  keyed.key = "live";
  const uint64_t live = put_one(*q, "already", keyed);
  PutOptions windowed;
  windowed.key = "kept";
  windowed.unique_for_ms = kHourMs;
  const uint64_t kept = put_one(*q, "acked", windowed);
  auto taken = ok_value(take_copies(*q, 2, kHourMs, 0));
  ASSERT_EQ(taken.size(), 2u);
  const LeaseToken& acked = taken[0].lease.seq == kept ? taken[0].lease : taken[1].lease;
  ASSERT_TRUE(ok_value(q->ack(acked)));
  Change c;
  c.put("held by a live message", "live");
  c.put("held by a kept key", "kept");
  c.put("new", "fresh");
  c.put("the same key again", "fresh");
  c.put("no key");
  const Ids ids = change(*q, "s", nullptr, &kOne, c);
  ASSERT_TRUE(ids);
  const uint64_t next = kept + 1;
  EXPECT_EQ(*ids, (std::vector<uint64_t>{live, kept, next, next, next + 1}));
  const auto now = messages(*q);
  ASSERT_EQ(now.size(), 3u);  // "already" (leased), "new" and "no key"
  EXPECT_EQ(std::get<1>(now[1]), "new");
  EXPECT_EQ(std::get<2>(now[1]), "fresh");
  EXPECT_EQ(std::get<1>(now[2]), "no key");
  // A change whose puts are all held and whose state stays writes nothing
  // and still answers with the holders.
  Change held;
  held.put("again", "fresh");
  EXPECT_EQ(change(*q, "s", &kOne, &kOne, held), std::vector<uint64_t>{next});
  EXPECT_EQ(must_stats(*q).total, 3u);
}

TEST(Schedules, AnotherHandleSeesAChangeByCatchUp) {
  TempDir dir;
  auto a = open_jobs(dir.path());
  auto b = open_jobs(dir.path());
  Change c;
  c.put("fired");
  EXPECT_EQ(change(*a, "s", nullptr, &kOne, c), std::vector<uint64_t>{0});
  // b has not looked since: its change against the old state loses.
  EXPECT_EQ(change(*b, "s", nullptr, &kTwo, c), std::nullopt);
  EXPECT_EQ(states(*b), (std::map<std::string, Bytes>{{"s", kOne}}));
  EXPECT_EQ(change(*b, "s", &kOne, &kTwo, c), std::vector<uint64_t>{1});
  EXPECT_EQ(states(*a), (std::map<std::string, Bytes>{{"s", kTwo}}));
  EXPECT_EQ(messages(*a).size(), 2u);
}

TEST(Schedules, CompactionKeepsEachCurrentStateAndPurgeKeepsThemAll) {
  TempDir dir;
  auto q = open_jobs(dir.path());
  Change c;
  c.put("body", "key", 3);
  ASSERT_TRUE(change(*q, "kept", nullptr, &kOne, c));
  for (int i = 0; i < 20; ++i) {
    const Bytes from = bytes_of("v" + std::to_string(i));
    const Bytes to = bytes_of("v" + std::to_string(i + 1));
    ASSERT_TRUE(change(*q, "kept", i == 0 ? &kOne : &from, &to));
  }
  ASSERT_TRUE(change(*q, "removed", nullptr, &kOne));
  ASSERT_TRUE(change(*q, "removed", &kOne, nullptr));
  const uint64_t before = file_size(dir.path() + "/queue.log");
  ASSERT_TRUE(q->compact().ok());
  EXPECT_LT(file_size(dir.path() + "/queue.log"), before);
  const std::map<std::string, Bytes> expected = {{"kept", bytes_of("v20")}};
  EXPECT_EQ(states(*q), expected);
  const auto live = messages(*q);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0], std::make_tuple(uint64_t{0}, std::string("body"), std::string("key"), 3));
  q.reset();
  EXPECT_EQ(header_of(dir.path()), kFormat4);
  q = open_jobs(dir.path());
  EXPECT_EQ(states(*q), expected);
  EXPECT_EQ(messages(*q), live);
  ASSERT_TRUE(q->purge().ok());
  EXPECT_EQ(states(*q), expected);
  EXPECT_TRUE(messages(*q).empty());
  q.reset();
  q = open_jobs(dir.path());
  EXPECT_EQ(states(*q), expected);
  EXPECT_TRUE(messages(*q).empty());
}

TEST(Schedules, TheFirstChangeUpgradesAnOlderLogAndOthersStayOld) {
  TempDir plain;
  {
    auto q = open_jobs(plain.path());
    put_one(*q, "a");
    ASSERT_TRUE(q->compact().ok());
    EXPECT_TRUE(states(*q).empty());
  }
  EXPECT_EQ(header_of(plain.path()), kFormat1);

  TempDir dir;
  Settings keeping = make_settings();
  keeping.keep_cancelled_ms = kHourMs;
  uint64_t cancelled = 0;
  {
    auto q = open_jobs(dir.path(), keeping);
    put_one(*q, "stays");
    cancelled = put_one(*q, "cancelled");
    ASSERT_TRUE(ok_value(q->cancel(cancelled)));
    ASSERT_TRUE(q->compact().ok());
  }
  EXPECT_EQ(header_of(dir.path()), kFormat3);
  {
    auto q = open_jobs(dir.path(), keeping);
    Change c;
    c.put("fired");
    EXPECT_EQ(change(*q, "s", nullptr, &kOne, c), std::vector<uint64_t>{cancelled + 1});
  }
  EXPECT_EQ(header_of(dir.path()), kFormat4);
  auto q = open_jobs(dir.path(), keeping);
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
  EXPECT_EQ(messages(*q).size(), 2u);
  auto outcome = ok_value(q->status(cancelled));
  ASSERT_TRUE(outcome);
  EXPECT_STREQ(outcome->state, "cancelled");
  // Removing every schedule leaves the log in format 4, compacted or not.
  ASSERT_TRUE(change(*q, "s", &kOne, nullptr));
  ASSERT_TRUE(q->compact().ok());
  q.reset();
  EXPECT_EQ(header_of(dir.path()), kFormat4);
}

TEST(Schedules, TarnwickCoresQueueReadsAndKeepsThem) {
  TempDir dir;
  {
    auto q = open_jobs(dir.path());
    Change c;
    c.put("fired");
    ASSERT_TRUE(change(*q, "s", nullptr, &kOne, c));
  }
  {
    auto core = open_queue(dir.path());
    ASSERT_TRUE(core);
    auto got = must_dequeue(*core);
    ASSERT_TRUE(got);
    EXPECT_EQ(to_string(got->body), "fired");
    ASSERT_TRUE(core->compact().ok());
  }
  auto q = open_jobs(dir.path());
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
}

TEST(Schedules, ANewerFormatIsRefusedUnchanged) {
  // What a release after this one may write: another magic, a kind 13.
  TempDir dir;
  Bytes log = {'T', 'W', 'F', '6', 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes payload = {13, 0, 0, 0, 0, 0, 0, 0, 0, 7};
  const size_t at = log.size();
  log.resize(at + FRAME_HEADER_LEN);
  log.insert(log.end(), payload.begin(), payload.end());
  seal_frame(std::span<uint8_t>(log).subspan(at));
  write_file(dir.path() + "/queue.log", log);
  auto job = JobQueue::open(dir.path(), make_settings());
  ASSERT_FALSE(job.ok());
  EXPECT_EQ(job.error().text(), "queue.log has bad magic (not a Tarnwick log)");
  auto core = Queue::open(dir.path(), make_settings());
  ASSERT_FALSE(core.ok());
  EXPECT_EQ(core.error().text(), "queue.log has bad magic (not a Tarnwick log)");
  EXPECT_EQ(read_file(dir.path() + "/queue.log"), log);
}

TEST(Schedules, EveryCutOfTheLogTailKeepsTheWholeChangeOrNone) {
  TempDir dir;
  uint64_t before = 0;
  {
    auto q = open_jobs(dir.path());
    ASSERT_TRUE(change(*q, "s", nullptr, &kOne));
    ASSERT_TRUE(q->flush().ok());
    before = file_size(dir.path() + "/queue.log");
    Change c;
    c.put("one", "k1");
    c.put(std::string(100, 'x'), "k2");
    c.put("three");
    ASSERT_TRUE(change(*q, "s", &kOne, &kTwo, c));
  }
  const Bytes whole = read_file(dir.path() + "/queue.log");
  ASSERT_GT(whole.size(), before);
  for (size_t cut = before; cut <= whole.size(); ++cut) {
    TempDir copy;
    write_file(copy.path() + "/queue.log",
               Bytes(whole.begin(), whole.begin() + static_cast<long>(cut)));
    ::testing::internal::CaptureStderr();  // the cut tail's warning
    auto q = open_jobs(copy.path());
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(q);
    const auto s = states(*q);
    const auto live = messages(*q);
    if (cut == whole.size()) {
      EXPECT_EQ(s.at("s"), kTwo);
      ASSERT_EQ(live.size(), 3u);
      EXPECT_EQ(std::get<1>(live[1]), std::string(100, 'x'));
    } else {
      EXPECT_EQ(s.at("s"), kOne) << cut;
      EXPECT_TRUE(live.empty()) << cut;
      // The keys are free again, and the ids too.
      Change c;
      c.put("again", "k1");
      EXPECT_EQ(change(*q, "s", &kOne, &kTwo, c), std::vector<uint64_t>{0}) << cut;
    }
  }
}

TEST(Schedules, DamageBeforeAChangeIsSkippedAndTheChangeKept) {
  // The repair after damage in the middle finds the SCHEDULE frame beyond
  // it: a frame of that kind must be one it knows how to resume at.
  TempDir dir;
  uint64_t damaged_at = 0;
  {
    auto q = open_jobs(dir.path());
    damaged_at = file_size(dir.path() + "/queue.log") + ENQUEUE_FRAME_OVERHEAD;
    put_one(*q, "damaged");
    Change c;
    c.put("fired", "k");
    ASSERT_EQ(change(*q, "s", nullptr, &kOne, c), std::vector<uint64_t>{1});
  }
  Bytes log = read_file(dir.path() + "/queue.log");
  log[damaged_at] ^= 0x10;
  write_file(dir.path() + "/queue.log", log);
  ::testing::internal::CaptureStderr();
  auto q = open_jobs(dir.path());
  const std::string warning = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(q);
  EXPECT_NE(warning.find("kept 1 intact record"), std::string::npos) << warning;
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
  EXPECT_EQ(messages(*q), (std::vector<std::tuple<uint64_t, std::string, std::string, int>>{
                              {1, "fired", "k", 0}}));
}

TEST(Schedules, AFailedWriteLeavesNothingApplied) {
  for (int error : {EIO, ENOSPC}) {
    for (size_t partial : {size_t{0}, size_t{20}}) {
      TempDir dir;
      auto q = open_jobs(dir.path());
      ASSERT_TRUE(change(*q, "s", nullptr, &kOne));
      const uint64_t size = file_size(dir.path() + "/queue.log");
      Change c;
      c.put("fired", "key");
      {
        FaultScope faults;
        faults.fail(sys::Call::kWrite, error, 0, 1, partial);
        faults.fail(sys::Call::kWritev, error, 0, 1, partial);
        auto r = q->change_schedule("s", span_of(kOne), span_of(kTwo), c.puts);
        ASSERT_FALSE(r.ok()) << error << " " << partial;
        EXPECT_EQ(r.error().os_code(), error);
      }
      EXPECT_EQ(file_size(dir.path() + "/queue.log"), size);
      EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
      EXPECT_TRUE(messages(*q).empty());
      // The key was never taken, and the change goes through once the disk does.
      EXPECT_EQ(change(*q, "s", &kOne, &kTwo, c), std::vector<uint64_t>{0});
      q.reset();
      q = open_jobs(dir.path());
      EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kTwo}}));
      EXPECT_EQ(messages(*q).size(), 1u);
    }
  }
}

TEST(Schedules, AFailedUpgradeLeavesTheOlderLogAndNothingApplied) {
  TempDir dir;
  auto q = open_jobs(dir.path());
  PutOptions o;
  o.priority = 1;
  put_one(*q, "format 2", o);
  const Bytes before = read_file(dir.path() + "/queue.log");
  Change c;
  c.put("fired");
  {
    FaultScope faults;
    faults.fail(sys::Call::kRename, EIO);
    auto r = q->change_schedule("s", std::nullopt, span_of(kOne), c.puts);
    ASSERT_FALSE(r.ok());
  }
  EXPECT_EQ(read_file(dir.path() + "/queue.log"), before);
  EXPECT_TRUE(states(*q).empty());
  EXPECT_EQ(messages(*q).size(), 1u);
  EXPECT_EQ(change(*q, "s", nullptr, &kOne, c), std::vector<uint64_t>{1});
}

TEST(Schedules, AChangeSyncsAsASinglePutDoes) {
  for (uint64_t interval_ms : {uint64_t{0}, kHourMs}) {
    TempDir dir;
    auto q = open_jobs(dir.path(), make_settings(interval_ms));
    ASSERT_TRUE(change(*q, "s", nullptr, &kOne));  // the upgrade syncs its own file
    CallCounter syncs(sys::Call::kFullSync);
    Change c;
    c.put("fired");
    ASSERT_TRUE(change(*q, "s", &kOne, &kTwo, c));
    if (interval_ms == 0) {
      EXPECT_GE(syncs.count(), 1u);
    } else {
      EXPECT_EQ(syncs.count(), 0u);
    }
  }
}

TEST(Schedules, BadInputIsRefusedWithNothingWritten) {
  TempDir dir;
  auto q = open_jobs(dir.path());
  const uint64_t size = file_size(dir.path() + "/queue.log");
  const Bytes big(MAX_SCHEDULE_STATE_LEN + 1, 'x');
  const std::string nul("a\0b", 3);
  Change bad_priority;
  bad_priority.put("x", {}, 101);
  Change long_key;
  const std::string key(MAX_KEY_LEN + 1, 'k');
  long_key.put("x", key);
  const std::string long_name(MAX_SCHEDULE_NAME_LEN + 1, 'n');
  for (auto r : {q->change_schedule("", std::nullopt, std::nullopt, {}),
                 q->change_schedule(long_name, std::nullopt, std::nullopt, {}),
                 q->change_schedule(nul, std::nullopt, std::nullopt, {}),
                 q->change_schedule("s", std::nullopt, span_of(big), {}),
                 q->change_schedule("s", std::nullopt, span_of(kOne), bad_priority.puts),
                 q->change_schedule("s", std::nullopt, span_of(kOne), long_key.puts)}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidData) << r.error().text();
  }
  const std::string longest(MAX_SCHEDULE_NAME_LEN, 'n');
  const Bytes largest(MAX_SCHEDULE_STATE_LEN, 'x');
  EXPECT_EQ(file_size(dir.path() + "/queue.log"), size);
  EXPECT_TRUE(states(*q).empty());
  EXPECT_TRUE(change(*q, longest, nullptr, &largest));
  q.reset();
  q = open_jobs(dir.path());
  EXPECT_EQ(states(*q).at(longest), largest);
}

TEST(Schedules, AQueueInMemoryKeepsThemToo) {
  auto q = open_jobs(":memory:");
  Change c;
  c.put("fired", "k");
  EXPECT_EQ(change(*q, "s", nullptr, &kOne, c), std::vector<uint64_t>{0});
  EXPECT_EQ(change(*q, "s", nullptr, &kOne, c), std::nullopt);
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
  auto taken = ok_value(take_copies(*q, 1, kHourMs, 0));
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(to_string(taken[0].body), "fired");
  ASSERT_TRUE(q->purge().ok());
  EXPECT_EQ(states(*q), (std::map<std::string, Bytes>{{"s", kOne}}));
}

}  // namespace
}  // namespace tarnwick::testing
