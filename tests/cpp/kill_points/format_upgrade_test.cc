// A crash in the middle of the upgrade of a format-1 log to format 2 (the
// rewrite that the first put with options makes before it appends): killed
// before the rename, the format-1 log stands as it was and the put is not
// there; killed after it, the format-2 log of the next generation holds the
// same messages, and the put is not there either. Either way the next put
// with options succeeds.
#include <filesystem>
#include <memory>

#include "../engine_helpers.h"
#include "kill_in_child.h"
#include "log_io/kill_point.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

Bytes magic_of(const std::string& dir) {
  Bytes log = read_file(dir + "/queue.log");
  log.resize(4);
  return log;
}

uint64_t put_with_priority(JobQueue& q, std::string_view body) {
  const Bytes b = bytes_of(body);
  const ByteSpan one = span_of(b);
  PutOptions options;
  options.priority = 9;
  return ok_value(q.put(std::span(&one, 1), 0, SyncRule::kInterval, options));
}

// Runs the upgrading put in a child armed at `point`, and SIGKILLs it there.
void crash_upgrade_at(const std::string& dir, KillPoint point) {
  std::unique_ptr<JobQueue> q;
  kill_in_child_at(
      point,
      [&] {
        auto opened = JobQueue::open(dir, make_settings());
        if (opened.ok()) q = std::move(opened.value());
        return q != nullptr;
      },
      [&] { put_with_priority(*q, "the upgrading put"); });
}

struct Before {
  Bytes log;
  Snapshot messages;
  uint64_t generation;
};

Before prepare(const std::string& dir) {
  auto q = open_jobs(dir);
  const Bytes a = bytes_of("a");
  const Bytes b = bytes_of("b");
  const ByteSpan two[] = {span_of(a), span_of(b)};
  EXPECT_TRUE(q->put(two, 0, SyncRule::kForce).ok());
  auto taken = take_copies(*q, 1, kHourMs, 0);
  EXPECT_TRUE(taken.ok());
  return Before{read_file(dir + "/queue.log"), snapshot(*q), q->impl().generation()};
}

TEST(FormatUpgradeCrash, BeforeTheRenameTheFormatOneLogStands) {
  TempDir tmp;
  const Before before = prepare(tmp.path());
  crash_upgrade_at(tmp.path(), KillPoint::kCompactTempSynced);
  EXPECT_EQ(read_file(tmp.path() + "/queue.log"), before.log);
  EXPECT_TRUE(std::filesystem::exists(tmp.path() + "/queue.compact.tmp"));
  auto q = open_jobs(tmp.path());
  EXPECT_EQ(snapshot(*q), before.messages);
  const uint64_t seq = put_with_priority(*q, "after the crash");
  EXPECT_EQ(seq, 2u);
  EXPECT_EQ(magic_of(tmp.path()), bytes_of("TWF2"));
  EXPECT_EQ(q->impl().generation(), before.generation + 1);
  EXPECT_EQ(ok_value(q->stats()).core.total, 3u);
}

TEST(FormatUpgradeCrash, AfterTheRenameTheFormatTwoLogHoldsTheSameMessages) {
  TempDir tmp;
  const Before before = prepare(tmp.path());
  crash_upgrade_at(tmp.path(), KillPoint::kCompactRenamed);
  EXPECT_EQ(magic_of(tmp.path()), bytes_of("TWF2"));
  auto q = open_jobs(tmp.path());
  EXPECT_EQ(q->impl().generation(), before.generation + 1);
  EXPECT_EQ(snapshot(*q), before.messages);
  EXPECT_EQ(put_with_priority(*q, "after the crash"), 2u);
  EXPECT_EQ(q->impl().generation(), before.generation + 1);  // no second upgrade
}

}  // namespace
}  // namespace tarnwick::testing
