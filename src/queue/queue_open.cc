// Opening a queue, the object's end, and re-opening handles after fork().
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

Result<std::unique_ptr<QueueImpl>> QueueImpl::open(std::string_view path,
                                                   const Settings& settings) {
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
  const std::string dir(path);
  TW_TRY(sys::mkdir_all(dir));
  TW_ASSIGN_OR_RETURN(queue->dir_fd, sys::open(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY));
  queue->lock_path = join(dir, kLockFileName);
  queue->log_path = join(dir, kLogName);
  queue->compact_tmp_path = join(dir, "queue.compact.tmp");
  queue->purge_tmp_path = join(dir, "queue.purge.tmp");
  TW_ASSIGN_OR_RETURN(ProcessLock lock, ProcessLock::open(queue->dir_fd.get(), queue->lock_path));
  {
    TW_ASSIGN_OR_RETURN(LockGuard guard, lock.write_lock(queue->lock_timeout_ns));
    TW_ASSIGN_OR_RETURN(Recovered recovered, recover(queue->log_path));
    TW_ASSIGN_OR_RETURN(LogFiles files, LogFiles::open(queue->log_path));
    Inner& inner = queue->inner;
    inner.state = std::move(recovered.state);
    inner.files.emplace(std::move(files));
    inner.generation = recovered.generation;
    inner.applied_offset = inner.log_bytes = recovered.end_offset;
    queue->persistent = true;
    if (recovered.report.cut_tail || recovered.rewrite) {
      TW_TRY(queue->finish_repair(std::move(recovered)));
    }
  }
  queue->inner.last_sync_ms = now_ms();
  queue->lock.emplace(std::move(lock));
  return queue;
}

QueueImpl::~QueueImpl() {
  std::unique_lock<std::mutex> hold(mutex, std::try_to_lock);
  if (hold.owns_lock() && inner.files) {
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
  TW_ASSIGN_OR_RETURN(ProcessLock fresh_lock, ProcessLock::open(dir_fd.get(), lock_path));
  auto fresh_files = LogFiles::open(log_path);
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
  fork_epoch_ = epoch;
  return {};
}

}  // namespace tarnwick
