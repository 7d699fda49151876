// Sharing a queue between users: the access that new files take (from the
// log they replace or from the queue directory), what happens when setting it
// fails, and the read-only open of a user who may not write the queue.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "engine_helpers.h"
#include "log_io/file_access.h"
#include "queue/job_queue.h"

namespace tarnwick::testing {
namespace {

using sys::Call;

struct ::stat stat_of(const std::string& path) {
  struct ::stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

mode_t mode_of(const std::string& path) { return stat_of(path).st_mode & 07777; }

// Sets the umask for a scope.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

// A group other than the process's own, which root may give files.
constexpr gid_t kOtherGroup = 12346;
constexpr uid_t kOtherUser = 12345;

bool root() { return ::geteuid() == 0; }

class SharingTest : public ::testing::Test {
 protected:
  std::string log() const { return dir_.file("queue.log"); }
  TempDir dir_;
};

// A compaction and a purge write a new generation with the bits (and, for
// root, the group and owner) of the log they replace, whatever the umask.
TEST_F(SharingTest, ReplacementLogTakesTheAccessOfTheLogItReplaces) {
  Umask mask(077);
  auto q = open_queue(dir_.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "a");
  must_enqueue(*q, "b");
  ASSERT_EQ(::chmod(log().c_str(), 0664), 0);
  if (root()) {
    ASSERT_EQ(::chown(log().c_str(), kOtherUser, kOtherGroup), 0);
  }
  const auto leased = must_dequeue(*q);
  ASSERT_TRUE(leased);
  ASSERT_TRUE(ok_value(q->ack(leased->seq)));

  const ino_t before = stat_of(log()).st_ino;
  ASSERT_TRUE(q->compact().ok());
  struct ::stat compacted = stat_of(log());
  EXPECT_NE(compacted.st_ino, before) << "a new file";
  EXPECT_EQ(compacted.st_mode & 07777, 0664u);
  if (root()) {
    EXPECT_EQ(compacted.st_uid, kOtherUser);
    EXPECT_EQ(compacted.st_gid, kOtherGroup);
  }
  EXPECT_EQ(must_stats(*q).total, 1u);

  ASSERT_EQ(::chmod(log().c_str(), 0660), 0);
  ASSERT_TRUE(q->purge().ok());
  EXPECT_EQ(mode_of(log()), 0660u);
  if (root()) {
    EXPECT_EQ(stat_of(log()).st_gid, kOtherGroup);
  }
  EXPECT_EQ(must_stats(*q).generation, 2u);
}

// Where nothing is to change, a replacement makes no call to change it.
TEST_F(SharingTest, ReplacementThatMatchesAlreadyChangesNothing) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  Umask mask(022);
  auto q = open_queue(dir_.path());
  ASSERT_TRUE(q);
  EXPECT_EQ(mode_of(log()), 0644u);
  CallCounter chmods(Call::kFchmod), chowns(Call::kFchown);
  ASSERT_TRUE(q->compact().ok());
  EXPECT_EQ(mode_of(log()), 0644u);
  EXPECT_EQ(chmods.count(), 0u);
  EXPECT_EQ(chowns.count(), 0u);
}

// A failed chmod is a failed compaction: the old log stays, and no file of
// the wrong access is left behind. A refused chown is only a group (or
// owner) the process may not give; anything else fails like chmod.
TEST_F(SharingTest, FailedChmodKeepsTheOldLogAndRefusedChownIsSkipped) {
  Umask mask(077);
  auto q = open_queue(dir_.path());
  ASSERT_TRUE(q);
  must_enqueue(*q, "kept");
  ASSERT_EQ(::chmod(log().c_str(), 0664), 0);
  const Bytes bytes = read_file(log());
  const ino_t inode = stat_of(log()).st_ino;
  {
    FaultScope faults;
    faults.fail(Call::kFchmod, EIO);
    Status compacted = q->compact();
    ASSERT_FALSE(compacted.ok());
    EXPECT_EQ(compacted.error().os_code(), EIO);
    faults.fail(Call::kFchmod, EPERM);
    EXPECT_FALSE(q->purge().ok()) << "a refused chmod is not skipped";
  }
  EXPECT_EQ(stat_of(log()).st_ino, inode);
  EXPECT_EQ(read_file(log()), bytes);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("queue.compact.tmp")));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("queue.purge.tmp")));
  EXPECT_EQ(must_stats(*q).total, 1u) << "the purge did not happen";

  // Make a chown necessary: another group (root may give it), then refuse it.
  if (root()) {
    ASSERT_EQ(::chown(log().c_str(), static_cast<uid_t>(-1), kOtherGroup), 0);
  }
  const gid_t wanted = stat_of(log()).st_gid;
  {
    FaultScope faults;
    faults.fail(Call::kFchown, EIO);
    if (wanted != ::getegid()) {
      EXPECT_FALSE(q->compact().ok()) << "only a refusal is skipped";
      EXPECT_EQ(stat_of(log()).st_ino, inode);
    }
    faults.fail(Call::kFchown, EPERM, 0, UINT64_MAX);
    ASSERT_TRUE(q->compact().ok());
  }
  EXPECT_NE(stat_of(log()).st_ino, inode);
  EXPECT_EQ(mode_of(log()), 0664u) << "the mode is set even where the group was refused";
  EXPECT_EQ(must_stats(*q).total, 1u);
  auto again = open_queue(dir_.path());
  ASSERT_TRUE(again);
  EXPECT_EQ(must_stats(*again).total, 1u);
}

// Files made fresh (the log, the lock file, the dead letters' directory and
// its files) take the queue directory's bits and group, whatever the umask.
TEST_F(SharingTest, FreshFilesTakeTheQueueDirectorysAccess) {
  const std::string queue_dir = dir_.file("shared");
  ASSERT_EQ(::mkdir(queue_dir.c_str(), 0700), 0);
  const mode_t dir_mode = root() ? 02770 : 0750;
  if (root()) {
    ASSERT_EQ(::chown(queue_dir.c_str(), static_cast<uid_t>(-1), kOtherGroup), 0);
  }
  ASSERT_EQ(::chmod(queue_dir.c_str(), dir_mode), 0);
  const gid_t group = stat_of(queue_dir).st_gid;
  Umask mask(077);
  {
    auto jobs = JobQueue::open(queue_dir, make_settings());
    ASSERT_TRUE(jobs.ok()) << jobs.error().text();
  }
  const mode_t file_mode = dir_mode & 0666;
  const std::string dead = queue_dir + "/" + kDeadLetterDir;
  EXPECT_EQ(mode_of(dead), dir_mode);
  for (const std::string& path : {queue_dir + "/queue.log", queue_dir + "/.proc_lock",
                                  dead + "/queue.log", dead + "/.proc_lock"}) {
    EXPECT_EQ(mode_of(path), file_mode) << path;
    EXPECT_EQ(stat_of(path).st_gid, group) << path;
  }
  EXPECT_EQ(stat_of(dead).st_gid, group);

  // A failure to set the new directory's access is reported.
  std::filesystem::remove_all(dead);
  {
    FaultScope faults;
    faults.fail(Call::kFchmod, EIO);
    auto jobs = JobQueue::open(queue_dir, make_settings());
    ASSERT_FALSE(jobs.ok());
    EXPECT_EQ(jobs.error().os_code(), EIO);
  }
}

// A lock file created while the process may not give it the directory's
// group still works; only errors other than a refusal fail the open.
TEST_F(SharingTest, LockFileCreationFailuresAreReported) {
  Umask mask(077);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0770), 0);
  FaultScope faults;
  faults.fail(Call::kFchmod, EIO);
  auto failed = Queue::open(dir_.path(), make_settings());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().os_code(), EIO);
  // The file stands (with bits no wider than wanted); the next open uses it.
  EXPECT_EQ(mode_of(dir_.file(".proc_lock")) & ~0660u, 0u);
  auto opened = open_queue(dir_.path());
  ASSERT_TRUE(opened);
}

// The read-only open creates, writes and repairs nothing; whatever would
// write fails; it sees what writers do, and its shared lock keeps writers out
// while it looks, but not other readers.
TEST_F(SharingTest, ReadOnlyOpenWritesNothing) {
  {
    auto missing = Queue::open(dir_.file("none"), make_settings(), Access::kReadOnly);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().os_code(), ENOENT);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("none")));
  }
  auto writer = open_queue(dir_.path());
  ASSERT_TRUE(writer);
  must_enqueue(*writer, "one");
  must_enqueue(*writer, "two");
  const auto leased = must_dequeue(*writer, 1);  // runs out at once
  ASSERT_TRUE(leased);
  // A torn last frame, as a crash in the middle of an append leaves.
  Bytes bytes = read_file(log());
  bytes.insert(bytes.end(), {0x01, 0x02, 0x03});
  write_file(log(), bytes);

  auto opened = Queue::open(dir_.path(), make_settings(), Access::kReadOnly);
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  Queue& reader = **opened;
  CallCounter writes(Call::kWrite), truncates(Call::kFtruncate), syncs(Call::kFullSync);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  QueueStats stats = must_stats(reader);
  EXPECT_EQ(stats.total, 2u);
  EXPECT_EQ(stats.in_flight, 1u) << "an expired lease is not reclaimed";
  EXPECT_EQ(stats.log_bytes, bytes.size() - 3) << "the state ends before the tail";
  const Bytes body = bytes_of("x");
  CollectingSink sink;
  auto put = reader.enqueue(span_of(body));
  auto got = reader.dequeue(std::nullopt, sink);
  ASSERT_FALSE(put.ok());
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(put.error().os_code(), EBADF);
  EXPECT_EQ(got.error().os_code(), EBADF);
  for (Status refused : {reader.compact(), reader.purge()}) {
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().os_code(), EBADF);
  }
  EXPECT_TRUE(sink.items.empty());
  EXPECT_TRUE(reader.flush().ok()) << "nothing of its own to sync";
  EXPECT_FALSE(ok_value(reader.verify_integrity()).ok) << "the damage is reported";
  EXPECT_EQ(writes.count() + truncates.count() + syncs.count(), 0u);
  EXPECT_EQ(read_file(log()), bytes) << "not a byte changed";
  EXPECT_FALSE(std::filesystem::exists(dir_.file("queue.purge.tmp")));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("queue.compact.tmp")));

  // What a writer does next (cutting the tail, compacting) the reader sees.
  ASSERT_TRUE(writer->compact().ok());
  must_enqueue(*writer, "three");
  stats = must_stats(reader);
  EXPECT_EQ(stats.generation, 1u);
  EXPECT_EQ(stats.total, 3u);

  // Two readers at once; a writer waits for them.
  auto second = Queue::open(dir_.path(), make_settings(), Access::kReadOnly);
  ASSERT_TRUE(second.ok());
  auto dir_fd = sys::open(dir_.path(), O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(dir_fd.ok());
  auto shared = ProcessLock::open_read_only(dir_fd->get(), dir_.file(kLockFileName));
  ASSERT_TRUE(shared.ok());
  {
    auto held = shared->write_lock();
    ASSERT_TRUE(held.ok());
    EXPECT_EQ(must_stats(**second).total, 3u) << "readers share the lock";
    EXPECT_FALSE(lock_is_free(dir_.path())) << "a writer is kept out";
  }
  EXPECT_TRUE(lock_is_free(dir_.path()));
}

// The read-only job queue: dead letters, where there are any, are read from
// their own log; where there are none, nothing is created for them.
TEST_F(SharingTest, ReadOnlyJobQueueCreatesNoDeadLetterDirectory) {
  {
    auto queue = Queue::open(dir_.path(), make_settings());
    ASSERT_TRUE(queue.ok());
    must_enqueue(**queue, "plain");
  }
  {
    auto jobs = JobQueue::open(dir_.path(), make_settings(), Access::kReadOnly);
    ASSERT_TRUE(jobs.ok()) << jobs.error().text();
    EXPECT_EQ(ok_value((*jobs)->dead_letter_count()), 0u);
    EXPECT_EQ(ok_value((*jobs)->peek(10, true)).size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(dir_.file(kDeadLetterDir)));
  }
  {
    auto jobs = JobQueue::open(dir_.path(), make_settings());
    ASSERT_TRUE(jobs.ok());
    auto taken = ok_value(take_copies(**jobs, 1, std::nullopt, 0));
    ASSERT_EQ(taken.size(), 1u);
    ASSERT_TRUE(ok_value((*jobs)->bury(taken[0].lease, "bad")));
  }
  auto jobs = JobQueue::open(dir_.path(), make_settings(), Access::kReadOnly);
  ASSERT_TRUE(jobs.ok());
  EXPECT_EQ(ok_value((*jobs)->dead_letter_count()), 1u);
  auto dead = ok_value((*jobs)->dead_letters(10));
  ASSERT_EQ(dead.size(), 1u);
  EXPECT_EQ(dead[0].reason, "bad");
  auto requeued = (*jobs)->requeue_dead(std::nullopt);
  ASSERT_FALSE(requeued.ok()) << "a requeue writes";
  EXPECT_EQ(requeued.error().os_code(), EBADF);
  EXPECT_EQ(ok_value((*jobs)->dead_letter_count()), 1u);
}

}  // namespace
}  // namespace tarnwick::testing
