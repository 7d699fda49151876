// Opening a queue, the object's end, and re-opening handles after fork().
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log_io/clock.h"
#include "log_io/sys.h"
#include "queue/fork_epoch.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"

namespace tarnwick {
namespace {

constexpr std::string_view kMemoryPath = ":memory:";

std::string join(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

Result<ProcessLock> open_lock(int dir_fd, const std::string& lock_path, bool read_only) {
  return read_only ? ProcessLock::open_read_only(dir_fd, lock_path)
                   : ProcessLock::open(dir_fd, lock_path);
}

}  // namespace

Result<std::unique_ptr<QueueImpl>> QueueImpl::open(std::string_view path, const Settings& settings,
                                                   Access access) {
  auto queue = std::make_unique<QueueImpl>();
  queue->settings = settings;
  queue->fork_epoch_ = fork_epoch();
  if (path == kMemoryPath) {
    queue->log_path = std::string(kMemoryPath);
    return queue;
  }
  // The system calls would silently stop at a NUL and name another directory.
  if (path.find('\0') != std::string_view::npos) {
    return Error::invalid_data("queue path contains a NUL byte");
  }
  const bool read_only = access == Access::kReadOnly;
  const std::string dir(path);
  if (!read_only) TW_TRY(sys::mkdir_all(dir));
  TW_ASSIGN_OR_RETURN(queue->dir_fd, sys::open(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY));
  queue->lock_path = join(dir, kLockFileName);
  queue->log_path = join(dir, kLogName);
  queue->compact_tmp_path = join(dir, "queue.compact.tmp");
  queue->purge_tmp_path = join(dir, "queue.purge.tmp");
  queue->sync_share_path = join(dir, kSyncShareFileName);
  queue->read_only = read_only;
  TW_ASSIGN_OR_RETURN(ProcessLock lock,
                      open_lock(queue->dir_fd.get(), queue->lock_path, read_only));
  {
    TW_ASSIGN_OR_RETURN(LockGuard guard, lock.write_lock(queue->lock_timeout_ns));
    TW_ASSIGN_OR_RETURN(Recovered recovered,
                        read_only ? read_log(queue->log_path) : recover(queue->log_path));
    if (recovered.created) TW_TRY(queue->forget_sync_points());
    TW_ASSIGN_OR_RETURN(LogFiles files, queue->open_log_files(recovered.format));
    Inner& inner = queue->inner;
    inner.state = std::move(recovered.state);
    inner.files.emplace(std::move(files));
    inner.generation = recovered.generation;
    inner.format = recovered.format;
    inner.applied_offset = inner.log_bytes = recovered.end_offset;
    if (!read_only) queue->keep_reserve(join(dir, kReserveName));
    queue->persistent = true;
    if (recovered.report.cut_tail || recovered.rewrite) {
      TW_TRY(queue->finish_repair(std::move(recovered)));
    }
  }
  queue->inner.last_sync_ms = now_ms();
  queue->lock.emplace(std::move(lock));
  // Only once the log opened: a directory that holds no log of ours gains no file.
  queue->open_group_commit();
  return queue;
}

// Where the shared file cannot be made or mapped, every sync runs under the
// process lock, as it would without other processes.
void QueueImpl::open_group_commit() {
  group_commit.reset();
  if (read_only) return;
  const char* wanted = std::getenv("TARNWICK_GROUP_COMMIT");
  if (wanted != nullptr && std::string_view(wanted) == "0") return;
  auto opened = GroupCommit::open(dir_fd.get(), sync_share_path);
  if (opened.ok()) group_commit = std::move(opened).value();
}

Status QueueImpl::forget_sync_points() {
  if (read_only) return {};
  if (group_commit) return group_commit->forget_points();
  // A process without shared syncs of its own still clears others' file.
  if (!sys::identity_at(dir_fd.get(), kSyncShareFileName).ok()) return {};
  auto opened = GroupCommit::open(dir_fd.get(), sync_share_path);
  return opened.ok() ? (*opened)->forget_points() : Status{};
}

void QueueImpl::keep_reserve(std::string path) {
  if (settings.reserve_bytes == 0) return;
  reserve = std::make_shared<SpaceReserve>(std::move(path), settings.reserve_bytes);
  reserve->resize_for(inner.log_bytes);
}

QueueImpl::~QueueImpl() {
  std::unique_lock<std::mutex> hold(mutex, std::try_to_lock);
  if (hold.owns_lock() && inner.files && !read_only) {
    (void)inner.files->writer.flush();
    (void)sys::full_sync(inner.files->writer_fd.get());
  }
}

// A child of fork() shares the parent's open file description of the lock
// file, and flock would no longer keep the two apart: take fresh handles.
// The state stays; catch-up brings it up to date.
Status QueueImpl::reopen_after_fork() {
  const uint64_t epoch = fork_epoch();
  if (epoch == fork_epoch_) return {};
  TW_ASSIGN_OR_RETURN(ProcessLock fresh_lock, open_lock(dir_fd.get(), lock_path, read_only));
  auto fresh_files = open_log_files(inner.format);
  if (!fresh_files.ok()) {
    // No log to open (deleted, say): the rebuild that catch-up now makes
    // under the lock creates it and opens fresh handles. Until then nothing
    // is appended through the inherited ones, since every append follows a
    // successful catch-up.
    force_reload_ = true;
  } else {
    // If another file took the log's name meanwhile, the offsets we hold mean
    // nothing in it: the next catch-up must rebuild from scratch.
    if (inner.files &&
        (fresh_files->dev != inner.files->dev || fresh_files->ino != inner.files->ino)) {
      force_reload_ = true;
    }
    // The inherited writer buffer is empty (every append flushes); dropping
    // the old handles closes only this process's copies.
    inner.files.emplace(std::move(fresh_files).value());
  }
  lock.emplace(std::move(fresh_lock));
  inner.map.reset();
  // The sync lock too is a flock the parent shares.
  if (group_commit) group_commit->forsake_mutex_after_fork();
  open_group_commit();
  fork_epoch_ = epoch;
  return {};
}

}  // namespace tarnwick
