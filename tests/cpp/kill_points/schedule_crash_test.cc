// A schedule change killed (SIGKILL) at every point of its commit, and of
// the upgrade of a format-3 log that the first change makes: afterwards the
// schedule holds its old state with none of the change's messages, or its
// new state with every one of them. Never a part.
#include <cstdlib>
#include <map>
#include <memory>

#include "../engine_helpers.h"
#include "kill_in_child.h"
#include "log_io/kill_point.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

const Bytes kOld = bytes_of("the old state");
const Bytes kNew = bytes_of("the new state");
const char* const kBodies[] = {"first", "second", "third"};

// A queue with one message ("before") and, when `format_4`, the schedule
// holding kOld; else a format-3 log (a kept outcome) without schedules.
void prepare(const std::string& dir, bool format_4) {
  Settings s = make_settings();
  s.keep_cancelled_ms = kHourMs;
  auto q = open_jobs(dir, s);
  const Bytes before = bytes_of("before");
  const Bytes cancelled = bytes_of("cancelled");
  const ByteSpan two[] = {span_of(before), span_of(cancelled)};
  ASSERT_TRUE(q->put(two, 0, SyncRule::kForce).ok());
  ASSERT_TRUE(ok_value(q->cancel(1)));
  if (format_4) {
    auto r = q->change_schedule("s", std::nullopt, span_of(kOld), {});
    ASSERT_TRUE(r.ok() && r.value());
  }
}

void crash_change_at(const std::string& dir, KillPoint point, bool format_4) {
  std::unique_ptr<JobQueue> q;
  const auto ready = [&] {
    // The change's own sync runs under the lock only where shared syncs are off.
    if (point == KillPoint::kCommitSyncedBeforeUnlock) ::setenv("TARNWICK_GROUP_COMMIT", "0", 1);
    auto opened = JobQueue::open(dir, make_settings());
    if (!opened.ok()) return false;
    q = std::move(opened.value());
    return true;
  };
  const auto step = [&] {
    std::vector<Bytes> bodies;
    for (const char* b : kBodies) bodies.push_back(bytes_of(b));
    std::vector<SchedulePut> puts(bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) puts[i].body = span_of(bodies[i]);
    puts[0].options.key = "s:1";
    const std::optional<ByteSpan> expected =
        format_4 ? std::optional<ByteSpan>(span_of(kOld)) : std::nullopt;
    (void)q->change_schedule("s", expected, span_of(kNew), puts);
  };
  kill_in_child_at(point, ready, step);
}

// `done`: whether the point stands after the change's frame reached the file.
void check_all_or_nothing(const std::string& dir, bool format_4, bool done,
                          const std::string& where) {
  auto q = open_jobs(dir, make_settings());
  ASSERT_TRUE(q) << where;
  std::map<std::string, Bytes> states;
  for (auto& [name, state] : ok_value(q->schedules())) states[name] = state;
  std::vector<std::string> bodies;
  for (const MessageSummary& m : ok_value(q->peek(10, true))) bodies.push_back(to_string(m.body));
  const bool changed = states.contains("s") && states["s"] == kNew;
  EXPECT_EQ(changed, done) << where;
  if (changed) {
    EXPECT_EQ(bodies, (std::vector<std::string>{"before", "first", "second", "third"})) << where;
    // The key came with the change: a put of it gets the message's id.
    std::vector<SchedulePut> again(1);
    const Bytes body = bytes_of("again");
    again[0].body = span_of(body);
    again[0].options.key = "s:1";
    auto r = q->change_schedule("s", span_of(kNew), span_of(kNew), again);
    ASSERT_TRUE(r.ok() && r.value()) << where;
    EXPECT_EQ(*r.value(), std::vector<uint64_t>{2}) << where;
    return;
  }
  if (format_4) {
    EXPECT_EQ(states, (std::map<std::string, Bytes>{{"s", kOld}})) << where;
  } else {
    EXPECT_TRUE(states.empty()) << where;
  }
  EXPECT_EQ(bodies, std::vector<std::string>{"before"}) << where;
}

TEST(ScheduleCrash, AChangeKilledAnywhereLeavesAllOfItOrNone) {
  const KillPoint commit_points[] = {KillPoint::kCommitBeforeWrite,
                                     KillPoint::kCommitWrittenBeforeApply,
                                     KillPoint::kCommitAppliedBeforeSync,
                                     KillPoint::kCommitSyncedBeforeUnlock,
                                     KillPoint::kGroupCommitBeforeSync,
                                     KillPoint::kGroupCommitSyncedBeforePublish};
  const KillPoint upgrade_points[] = {KillPoint::kCompactTempWritten, KillPoint::kCompactTempSynced,
                                      KillPoint::kCompactRenamed, KillPoint::kCompactDirSynced,
                                      KillPoint::kCommitWrittenBeforeApply};
  for (bool format_4 : {true, false}) {
    std::vector<KillPoint> points(std::begin(commit_points), std::end(commit_points));
    if (!format_4) points.assign(std::begin(upgrade_points), std::end(upgrade_points));
    for (KillPoint point : points) {
      TempDir dir;
      prepare(dir.path(), format_4);
      crash_change_at(dir.path(), point, format_4);
      const std::string where =
          std::string(kill_point_name(point)) + (format_4 ? "" : " upgrading");
      const bool done = point != KillPoint::kCommitBeforeWrite && point != KillPoint::kCompactTempWritten &&
                        point != KillPoint::kCompactTempSynced && point != KillPoint::kCompactRenamed &&
                        point != KillPoint::kCompactDirSynced;
      check_all_or_nothing(dir.path(), format_4, done, where);
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing
