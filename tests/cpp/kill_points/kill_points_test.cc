// The crash harness. For every named kill point (log_io/kill_point.h) a child
// process opens a prepared queue, runs one operation up to the point, says so
// on a pipe and is SIGKILLed there; then the directory is opened afresh,
// verified, and its exact state (ids, bodies, delivery counts, leases, dead
// letters, generation, files) compared with what the point allows.
//
// This binary links the engine built with TARNWICK_KILL_POINTS; no other
// build has the points.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "../engine_helpers.h"
#include "log_io/clock.h"
#include "log_io/kill_point.h"
#include "queue/dead_letter_entry.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

// Generous: the machine may be busy, and reaching a point is never a race.
constexpr int kReachTimeoutMs = 60'000;
constexpr const char* kBuryReason = "killed mid-move";

Settings harness_settings(uint64_t auto_compact_bytes = 0) {
  return make_settings(/*sync_interval_ms=*/0, /*default_lease_ms=*/kHourMs, auto_compact_bytes);
}

// --- the operations a child runs ---

enum class Op {
  kPut,            // two new messages in one call
  kScheduleChange,  // a schedule set, putting two new messages (upgrading the log first)
  kTake,           // one message leased
  kAck,            // the leased message acked
  kAckCompacting,  // the same ack, which then compacts the mostly dead log
  kBury,           // the leased message moved to the dead letters
  kTakePastLimit,  // a take that moves a message past its delivery limit
  kCompact,
  kPurge,
};

const char* op_name(Op op) {
  switch (op) {
    case Op::kPut: return "put";
    case Op::kScheduleChange: return "schedule_change";
    case Op::kTake: return "take";
    case Op::kAck: return "ack";
    case Op::kAckCompacting: return "ack_compacting";
    case Op::kBury: return "bury";
    case Op::kTakePastLimit: return "take_past_limit";
    case Op::kCompact: return "compact";
    case Op::kPurge: return "purge";
  }
  return "?";
}

// The queue every scenario starts from, with a message in each state:
//   0 "a"  leased for an hour, 1st delivery   (the one acked and buried)
//   1 "b"  dead letter 0 ("earlier")
//   2 "c"  ready, delivered once and returned (the next take's)
//   3 "d"  acked
//   4 "e"  delayed by an hour
// The acked and dead messages make most of the log dead, so a compaction
// shrinks it; the largest id is live, so every generation keeps next_seq 5.
struct Baseline {
  LeaseToken leased;  // message 0's lease
};

std::unique_ptr<JobQueue> open_jobs(const std::string& dir, const Settings& settings) {
  auto opened = JobQueue::open(dir, settings);
  if (!opened.ok()) {
    ADD_FAILURE() << "open failed: " << opened.error().text();
    return nullptr;
  }
  return std::move(opened).value();
}

LeaseToken take_one(JobQueue& q) {
  auto taken = ok_value(take_copies(q, 1, std::nullopt, 0));
  EXPECT_EQ(taken.size(), 1u);
  return taken.empty() ? LeaseToken{} : taken[0].lease;
}

Status put_bodies(JobQueue& q, std::vector<std::string> bodies, uint64_t delay_ms) {
  std::vector<Bytes> owned;
  std::vector<ByteSpan> spans;
  for (const std::string& b : bodies) owned.push_back(bytes_of(b));
  for (const Bytes& b : owned) spans.push_back(span_of(b));
  TW_TRY(q.put(spans, delay_ms));
  return {};
}

Baseline prepare(const std::string& dir) {
  auto q = open_jobs(dir, harness_settings());
  if (!q) return {};
  EXPECT_TRUE(put_bodies(*q, {"a", "b", "c", "d"}, 0).ok());
  Baseline out;
  out.leased = take_one(*q);
  const LeaseToken b = take_one(*q), c = take_one(*q), d = take_one(*q);
  EXPECT_TRUE(ok_value(q->bury(b, "earlier")));
  EXPECT_TRUE(ok_value(q->nack(c, 0)));
  EXPECT_TRUE(ok_value(q->ack(d)));
  EXPECT_TRUE(put_bodies(*q, {"e"}, kHourMs).ok());
  return out;
}

Status run_op(Op op, JobQueue& q, const Baseline& base) {
  switch (op) {
    case Op::kPut:
      return put_bodies(q, {"new 1", "new 2"}, 0);
    case Op::kScheduleChange: {
      const Bytes one = bytes_of("new 1"), two = bytes_of("new 2"), state = bytes_of("state");
      SchedulePut puts[2];
      puts[0].body = span_of(one);
      puts[1].body = span_of(two);
      TW_ASSIGN_OR_RETURN(auto ids, q.change_schedule("s", std::nullopt, span_of(state), puts));
      return ids ? Status{} : Error::invalid_data("the schedule was there already");
    }
    case Op::kTake:
      TW_TRY(take_copies(q, 1, std::nullopt, 0));
      return {};
    case Op::kAck:
    case Op::kAckCompacting:
      TW_TRY(q.ack(base.leased));
      return {};
    case Op::kBury:
      TW_TRY(q.bury(base.leased, kBuryReason));
      return {};
    case Op::kTakePastLimit:
      // Message 2 was delivered once; a second delivery is past a limit of 1.
      TW_TRY(take_copies(q, 1, std::nullopt, 1));
      return {};
    case Op::kCompact:
      return q.compact();
    case Op::kPurge:
      return q.purge();
  }
  return Error::invalid_data("unknown operation");
}

// --- what a fresh open sees ---

struct Observed {
  Snapshot messages;  // the main queue's
  Snapshot letters;   // the dead-letter queue's, raw: no listing has finished a move
  uint64_t next_seq = 0;
  uint64_t generation = 0;
  bool compact_temp = false;  // queue.compact.tmp beside the log
  bool purge_temp = false;
  Bytes main_log, dead_log;
};

std::string dead_dir(const std::string& dir) { return dir + "/" + kDeadLetterDir; }

// Opens both queues afresh, checks that their logs verify, and reads them.
Observed observe(const std::string& dir) {
  Observed out;
  out.main_log = read_file(dir + "/queue.log");
  out.dead_log = read_file(dead_dir(dir) + "/queue.log");
  out.compact_temp = std::filesystem::exists(dir + "/queue.compact.tmp");
  out.purge_temp = std::filesystem::exists(dir + "/queue.purge.tmp");
  for (const std::string& path : {dir, dead_dir(dir)}) {
    auto q = open_queue(path, harness_settings());
    if (!q) return out;
    const IntegrityReport report = ok_value(q->verify_integrity());
    EXPECT_TRUE(report.ok) << path << ": " << report.message;
    if (path == dir) {
      out.messages = snapshot(*q);
      const QueueStats stats = must_stats(*q);
      out.next_seq = stats.next_seq;
      out.generation = stats.generation;
    } else {
      out.letters = snapshot(*q);
    }
  }
  return out;
}

// --- running a child up to a point ---

// Reads one line from `fd`, waiting at most `timeout_ms` in all; "" on end of
// file or time-out.
std::string read_line(int fd, int timeout_ms) {
  const uint64_t give_up = monotonic_ns() + uint64_t(timeout_ms) * 1'000'000;
  std::string line;
  for (;;) {
    const uint64_t now = monotonic_ns();
    if (now >= give_up) return "";
    struct pollfd p = {fd, POLLIN, 0};
    const int left_ms = static_cast<int>((give_up - now) / 1'000'000) + 1;
    const int ready = ::poll(&p, 1, left_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return "";
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    if (c == '\n') return line;
    line.push_back(c);
  }
}

// SIGKILLs and reaps the child on every path out of the test.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { kill_and_reap(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  int kill_and_reap() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    return status_;
  }

 private:
  pid_t pid_;
  int status_ = -1;
};

// In a child: opens the queue, arms `point` and runs `op`. Returns (so the
// child exits) only if the point was not reached: 0 when the operation
// succeeded, 1 when it failed, 2 when the queue did not open.
int child_runs(const std::string& dir, KillPoint point, int report_fd, Op op,
               const Baseline& base, bool shared_syncs) {
  if (!shared_syncs) {
    const std::string share = dir + "/" + kSyncShareFileName;
    std::filesystem::remove(share);
    std::filesystem::create_directory(share);
  }
  const Settings settings = harness_settings(op == Op::kAckCompacting ? 1 : 0);
  auto opened = JobQueue::open(dir, settings);
  if (!opened.ok()) return 2;
  // Armed only now, so that the open itself cannot stop at a point.
  const std::string name(kill_point_name(point));
  ::setenv("TARNWICK_KILL_FD", std::to_string(report_fd).c_str(), 1);
  ::setenv("TARNWICK_KILL_AT", name.c_str(), 1);
  return run_op(op, *opened.value(), base).ok() ? 0 : 1;
}

// Runs `op` in a child that stops at `point`, and kills it there. Fails the
// test unless the child reported exactly that point and died of the SIGKILL.
void crash_at(const std::string& dir, KillPoint point, Op op, const Baseline& base,
              bool shared_syncs) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    ::_exit(child_runs(dir, point, fds[1], op, base, shared_syncs));
  }
  ::close(fds[1]);
  Child child(pid);
  const std::string said = read_line(fds[0], kReachTimeoutMs);
  ::close(fds[0]);
  const int status = child.kill_and_reap();
  ASSERT_EQ(said, kill_point_name(point))
      << "the child never reached the point; it "
      << (WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                            : "was killed by signal " + std::to_string(WTERMSIG(status)));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// --- what each point allows ---

// What the fresh open's messages must be.
enum class Messages {
  kBefore,         // as before the operation
  kDone,           // the operation's whole effect
  kLetterAndLive,  // the dead letter is written, the message still live as before
};
// What the fresh open's logs must be.
enum class Log {
  kUntouched,  // both logs byte for byte as before: the operation left no trace
  kAppended,   // the same generation, with the operation's records
  kTempLeft,   // the old generation; the new one's temp file lies beside it
  kReplaced,   // the next generation, and no temp file
};

struct Scenario {
  KillPoint point;
  Op op;
  Messages messages;
  Log log;
  // False: the child's queue cannot set up shared syncs (something else
  // stands at the sync-state file's name), so its syncs run under its lock.
  bool shared_syncs = true;
};

// Checks that `value` lies in [from, to] and returns it, for an expected
// state to take over a time the child read from its clock.
uint64_t within(uint64_t value, uint64_t from, uint64_t to, const char* what) {
  EXPECT_GE(value, from) << what;
  EXPECT_LE(value, to) << what;
  return value;
}

// The live messages the whole operation leaves, given those before it.
// Times the child chose are checked against [t0, t1] and taken from `seen`.
Snapshot messages_done(Op op, const Snapshot& before, const Snapshot& seen, uint64_t t0,
                       uint64_t t1) {
  Snapshot out = before;
  auto seen_time = [&](uint64_t seq, bool deadline) -> uint64_t {
    auto it = seen.find(seq);
    if (it == seen.end()) {
      ADD_FAILURE() << "message " << seq << " is missing";
      return 0;
    }
    if (!deadline) return within(it->second.enqueued_ts_ms, t0, t1, "enqueue time");
    if (!it->second.deadline) {
      ADD_FAILURE() << "message " << seq << " is not leased";
      return 0;
    }
    return within(*it->second.deadline, t0 + kHourMs, t1 + kHourMs, "lease deadline");
  };
  switch (op) {
    case Op::kPut:
    case Op::kScheduleChange:
      out[5] = Msg{bytes_of("new 1"), 0, seen_time(5, false), std::nullopt};
      out[6] = Msg{bytes_of("new 2"), 0, seen_time(6, false), std::nullopt};
      break;
    case Op::kTake:
      out[2].deliveries = 2;
      out[2].deadline = seen_time(2, true);
      break;
    case Op::kAck:
    case Op::kAckCompacting:
    case Op::kBury:
      out.erase(0);
      break;
    case Op::kTakePastLimit:
      out.erase(2);
      break;
    case Op::kCompact:
      break;
    case Op::kPurge:
      out.clear();
      break;
  }
  return out;
}

// The seq of the message a move to the dead letters takes, and its reason.
uint64_t moved_seq(Op op) { return op == Op::kTakePastLimit ? 2 : 0; }
std::string moved_reason(Op op) {
  return op == Op::kTakePastLimit ? kMaxDeliveriesReason : kBuryReason;
}

// A half-done move: the new letter (id 1) describes the message exactly,
// and the message itself is still live as before.
void expect_letter_and_live(Op op, const Observed& before, const Observed& after, uint64_t t0,
                            uint64_t t1) {
  EXPECT_EQ(describe(after.messages), describe(before.messages));
  EXPECT_EQ(after.letters.size(), before.letters.size() + 1) << describe(after.letters);
  auto letter = after.letters.find(1);
  ASSERT_NE(letter, after.letters.end()) << describe(after.letters);
  for (const auto& [id, m] : before.letters) EXPECT_EQ(after.letters.at(id), m) << id;
  const Msg& original = before.messages.at(moved_seq(op));
  auto fields = decode_dead_letter(letter->second.body);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->original_seq, moved_seq(op));
  EXPECT_EQ(fields->deliveries, original.deliveries);
  EXPECT_EQ(fields->enqueued_ts_ms, original.enqueued_ts_ms);
  within(fields->died_ts_ms, t0, t1, "death time");
  EXPECT_EQ(std::string(fields->reason.begin(), fields->reason.end()), moved_reason(op));
  EXPECT_EQ(Bytes(fields->body.begin(), fields->body.end()), original.body);
  EXPECT_EQ(letter->second.deliveries, 0u);
  EXPECT_FALSE(letter->second.deadline.has_value());
}

// A look at the dead letters finishes the move: the message goes, and each
// original is listed once, now and on every later look.
void expect_listing_finishes_move(const std::string& dir, Op op, const Observed& before) {
  auto q = open_jobs(dir, harness_settings());
  ASSERT_TRUE(q);
  for (int look = 0; look < 2; ++look) {
    const std::vector<DeadLetter> listed = ok_value(q->dead_letters(100));
    std::multiset<uint64_t> originals;
    for (const DeadLetter& l : listed) originals.insert(l.original_seq);
    EXPECT_EQ(originals, (std::multiset<uint64_t>{1, moved_seq(op)})) << "look " << look;
    EXPECT_EQ(ok_value(q->dead_letter_count()), 2u);
  }
  Snapshot expected = before.messages;
  expected.erase(moved_seq(op));
  EXPECT_EQ(describe(snapshot(*q)), describe(expected));
  q.reset();
  const Observed settled = observe(dir);
  EXPECT_EQ(describe(settled.messages), describe(expected));
}

// After a kill with the temp file left, the same replacement runs again to
// its end and takes the temp file's place.
void expect_replacement_reruns(const std::string& dir, Op op, const Observed& before) {
  {
    auto q = open_queue(dir, harness_settings());
    ASSERT_TRUE(q);
    ASSERT_TRUE((op == Op::kPurge ? q->purge() : q->compact()).ok());
  }
  const Observed rerun = observe(dir);
  EXPECT_FALSE(rerun.compact_temp);
  EXPECT_FALSE(rerun.purge_temp);
  EXPECT_EQ(rerun.generation, before.generation + 1);
  EXPECT_EQ(describe(rerun.messages), describe(messages_done(op, before.messages, {}, 0, 0)));
}

std::string scenario_name(const Scenario& s) {
  std::string name(kill_point_name(s.point));
  std::replace(name.begin(), name.end(), '.', '_');
  return name + "__" + op_name(s.op) + (s.shared_syncs ? "" : "_unshared");
}

using M = Messages;
const Scenario kScenarios[] = {
    // A crash before the write leaves nothing; once the frames are in the
    // file they survive a process's death, synced or not.
    {KillPoint::kCommitBeforeWrite, Op::kPut, M::kBefore, Log::kUntouched},
    {KillPoint::kCommitBeforeWrite, Op::kTake, M::kBefore, Log::kUntouched},
    {KillPoint::kCommitBeforeWrite, Op::kAck, M::kBefore, Log::kUntouched},
    {KillPoint::kCommitBeforeWrite, Op::kBury, M::kBefore, Log::kUntouched},
    {KillPoint::kCommitWrittenBeforeApply, Op::kPut, M::kDone, Log::kAppended},
    {KillPoint::kCommitWrittenBeforeApply, Op::kTake, M::kDone, Log::kAppended},
    {KillPoint::kCommitWrittenBeforeApply, Op::kAck, M::kDone, Log::kAppended},
    {KillPoint::kCommitWrittenBeforeApply, Op::kBury, M::kLetterAndLive, Log::kAppended},
    {KillPoint::kCommitAppliedBeforeSync, Op::kPut, M::kDone, Log::kAppended},
    {KillPoint::kCommitAppliedBeforeSync, Op::kTake, M::kDone, Log::kAppended},
    {KillPoint::kCommitAppliedBeforeSync, Op::kAck, M::kDone, Log::kAppended},
    {KillPoint::kCommitAppliedBeforeSync, Op::kBury, M::kLetterAndLive, Log::kAppended},
    // A sync under the lock: an operation's own where shared syncs cannot be
    // set up, and a dead letter's (synced before its DEAD record is written).
    {KillPoint::kCommitSyncedBeforeUnlock, Op::kPut, M::kDone, Log::kAppended, false},
    {KillPoint::kCommitSyncedBeforeUnlock, Op::kTake, M::kDone, Log::kAppended, false},
    {KillPoint::kCommitSyncedBeforeUnlock, Op::kAck, M::kDone, Log::kAppended, false},
    {KillPoint::kCommitSyncedBeforeUnlock, Op::kBury, M::kLetterAndLive, Log::kAppended},
    // Group commit: the records are in the file and applied, the locks
    // released; a waiter, or a syncer before or after its sync, dies.
    {KillPoint::kGroupCommitWaiting, Op::kPut, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitWaiting, Op::kTake, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitWaiting, Op::kAck, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitBeforeSync, Op::kPut, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitBeforeSync, Op::kTake, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitBeforeSync, Op::kAck, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitBeforeSync, Op::kBury, M::kLetterAndLive, Log::kAppended},
    {KillPoint::kGroupCommitSyncedBeforePublish, Op::kPut, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitSyncedBeforePublish, Op::kTake, M::kDone, Log::kAppended},
    {KillPoint::kGroupCommitSyncedBeforePublish, Op::kAck, M::kDone, Log::kAppended},
    // The letter is synced, DEAD not yet written.
    {KillPoint::kDeadLetterWrittenBeforeDead, Op::kBury, M::kLetterAndLive, Log::kAppended},
    {KillPoint::kDeadLetterWrittenBeforeDead, Op::kTakePastLimit, M::kLetterAndLive,
     Log::kAppended},
    // A schedule change first rewrites the log into format 4 (the next
    // generation), then commits as a put does: one record, so its state and
    // its messages come together.
    {KillPoint::kCommitBeforeWrite, Op::kScheduleChange, M::kBefore, Log::kReplaced},
    {KillPoint::kCommitWrittenBeforeApply, Op::kScheduleChange, M::kDone, Log::kReplaced},
    {KillPoint::kCommitAppliedBeforeSync, Op::kScheduleChange, M::kDone, Log::kReplaced},
    {KillPoint::kCommitSyncedBeforeUnlock, Op::kScheduleChange, M::kDone, Log::kReplaced, false},
    {KillPoint::kGroupCommitBeforeSync, Op::kScheduleChange, M::kDone, Log::kReplaced},
    {KillPoint::kGroupCommitSyncedBeforePublish, Op::kScheduleChange, M::kDone, Log::kReplaced},
    // Until the rename the old generation is the log; from it, the new one.
    // An automatic compaction follows an ack that is already in the log.
    {KillPoint::kCompactTempWritten, Op::kCompact, M::kDone, Log::kTempLeft},
    {KillPoint::kCompactTempWritten, Op::kAckCompacting, M::kDone, Log::kTempLeft},
    {KillPoint::kCompactTempSynced, Op::kCompact, M::kDone, Log::kTempLeft},
    {KillPoint::kCompactTempSynced, Op::kAckCompacting, M::kDone, Log::kTempLeft},
    {KillPoint::kCompactRenamed, Op::kCompact, M::kDone, Log::kReplaced},
    {KillPoint::kCompactRenamed, Op::kAckCompacting, M::kDone, Log::kReplaced},
    {KillPoint::kCompactDirSynced, Op::kCompact, M::kDone, Log::kReplaced},
    {KillPoint::kCompactDirSynced, Op::kAckCompacting, M::kDone, Log::kReplaced},
    {KillPoint::kPurgeTempWritten, Op::kPurge, M::kBefore, Log::kTempLeft},
    {KillPoint::kPurgeTempSynced, Op::kPurge, M::kBefore, Log::kTempLeft},
    {KillPoint::kPurgeRenamed, Op::kPurge, M::kDone, Log::kReplaced},
    {KillPoint::kPurgeDirSynced, Op::kPurge, M::kDone, Log::kReplaced},
};

// For gtest's messages: the scenario's name rather than its bytes.
void PrintTo(const Scenario& s, std::ostream* out) { *out << scenario_name(s); }

class KillPointTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(KillPointTest, LeavesWhatThePointAllows) {
  const Scenario& s = GetParam();
  TempDir tmp;
  const std::string& dir = tmp.path();
  const Baseline base = prepare(dir);
  ASSERT_FALSE(::testing::Test::HasFailure()) << "the starting queue could not be made";
  const Observed before = observe(dir);
  ASSERT_EQ(before.messages.size(), 3u) << describe(before.messages);
  ASSERT_EQ(before.letters.size(), 1u);
  ASSERT_EQ(before.next_seq, 5u);

  const uint64_t t0 = now_ms();
  crash_at(dir, s.point, s.op, base, s.shared_syncs);
  const uint64_t t1 = now_ms();
  const Observed after = observe(dir);

  switch (s.log) {
    case Log::kUntouched:
      EXPECT_TRUE(after.main_log == before.main_log) << "the main log changed";
      EXPECT_TRUE(after.dead_log == before.dead_log) << "the dead letters' log changed";
      EXPECT_EQ(after.generation, before.generation);
      break;
    case Log::kAppended:
      EXPECT_EQ(after.generation, before.generation);
      EXPECT_TRUE(after.main_log.size() > before.main_log.size() ||
                  after.dead_log.size() > before.dead_log.size())
          << "no log grew";
      break;
    case Log::kTempLeft:
      EXPECT_EQ(after.generation, before.generation);
      EXPECT_EQ(after.compact_temp, s.op != Op::kPurge);
      EXPECT_EQ(after.purge_temp, s.op == Op::kPurge);
      break;
    case Log::kReplaced:
      EXPECT_EQ(after.generation, before.generation + 1);
      EXPECT_FALSE(after.compact_temp);
      EXPECT_FALSE(after.purge_temp);
      break;
  }
  if (s.log != Log::kUntouched) {
    EXPECT_FALSE(before.compact_temp || before.purge_temp);
  }

  switch (s.messages) {
    case Messages::kBefore:
      EXPECT_EQ(describe(after.messages), describe(before.messages));
      EXPECT_EQ(after.messages, before.messages);
      EXPECT_EQ(after.letters, before.letters);
      EXPECT_EQ(after.next_seq, before.next_seq);
      break;
    case Messages::kDone: {
      const Snapshot expected = messages_done(s.op, before.messages, after.messages, t0, t1);
      EXPECT_EQ(describe(after.messages), describe(expected));
      EXPECT_EQ(after.messages, expected);
      EXPECT_EQ(after.letters, before.letters);
      // A purged log holds no message, so its ids begin again; the next
      // generation tells old leases apart.
      EXPECT_EQ(after.next_seq,
                s.op == Op::kPurge ? 0u
                                   : before.next_seq +
                                         (s.op == Op::kPut || s.op == Op::kScheduleChange ? 2 : 0));
      break;
    }
    case Messages::kLetterAndLive:
      expect_letter_and_live(s.op, before, after, t0, t1);
      EXPECT_EQ(after.next_seq, before.next_seq);
      if (!::testing::Test::HasFailure()) expect_listing_finishes_move(dir, s.op, before);
      break;
  }
  if (s.op == Op::kScheduleChange) {
    // The schedule's state came with its messages, or neither did.
    auto q = open_jobs(dir, harness_settings());
    ASSERT_TRUE(q);
    const ScheduleStates states = ok_value(q->schedules());
    if (s.messages == Messages::kDone) {
      EXPECT_EQ(states, (ScheduleStates{{"s", bytes_of("state")}}));
    } else {
      EXPECT_TRUE(states.empty());
    }
  }
  if (s.log == Log::kTempLeft && !::testing::Test::HasFailure()) {
    Observed from = before;
    if (s.op == Op::kAckCompacting) from.messages.erase(0);
    expect_replacement_reruns(dir, s.op == Op::kPurge ? Op::kPurge : Op::kCompact, from);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, KillPointTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& point_info) {
                           return scenario_name(point_info.param);
                         });

// A point without a scenario would never be exercised.
TEST(KillPointTable, EveryPointHasAScenario) {
  std::set<std::string> names;
  for (const Scenario& s : kScenarios) {
    EXPECT_TRUE(names.insert(scenario_name(s)).second) << "twice: " << scenario_name(s);
  }
  for (size_t i = 0; i < static_cast<size_t>(KillPoint::kCount); ++i) {
    const auto point = static_cast<KillPoint>(i);
    EXPECT_TRUE(std::any_of(std::begin(kScenarios), std::end(kScenarios),
                            [&](const Scenario& s) { return s.point == point; }))
        << kill_point_name(point) << " has no scenario";
  }
  std::set<std::string_view> distinct(kKillPointNames.begin(), kKillPointNames.end());
  EXPECT_EQ(distinct.size(), kKillPointNames.size()) << "two points share a name";
}

// Unarmed, or armed at another point, the points change nothing: the same
// operations run to their end.
TEST(KillPointTable, AnUnarmedPointDoesNotStop) {
  TempDir tmp;
  const Baseline base = prepare(tmp.path());
  ASSERT_FALSE(::testing::Test::HasFailure());
  ::setenv("TARNWICK_KILL_AT", "no.such_point", 1);
  auto q = open_jobs(tmp.path(), harness_settings());
  ASSERT_TRUE(q);
  EXPECT_TRUE(run_op(Op::kBury, *q, base).ok());
  EXPECT_TRUE(run_op(Op::kCompact, *q, base).ok());
  EXPECT_TRUE(run_op(Op::kPurge, *q, base).ok());
  ::unsetenv("TARNWICK_KILL_AT");
  EXPECT_EQ(ok_value(q->dead_letter_count()), 2u);
  EXPECT_EQ(must_stats(*q).total, 0u);
}

}  // namespace
}  // namespace tarnwick::testing
