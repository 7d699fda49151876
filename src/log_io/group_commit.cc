#include "log_io/group_commit.h"

#include <cerrno>

#include "log_io/kill_point.h"
#include "log_io/sys.h"

namespace tarnwick {
namespace {

bool covers(const std::optional<LogPoint>& synced, const LogPoint& point) {
  return synced && synced->log == point.log && synced->offset >= point.offset;
}

// Holds the sync lock until dropped.
class SyncLockGuard {
 public:
  explicit SyncLockGuard(const SyncShare& share) : share_(share) {}
  ~SyncLockGuard() { share_.unlock(); }
  SyncLockGuard(const SyncLockGuard&) = delete;
  SyncLockGuard& operator=(const SyncLockGuard&) = delete;

 private:
  const SyncShare& share_;
};

}  // namespace

Result<std::unique_ptr<GroupCommit>> GroupCommit::open(int dir_fd, const std::string& path) {
  TW_ASSIGN_OR_RETURN(SyncShare share, SyncShare::open(dir_fd, path));
  return std::unique_ptr<GroupCommit>(new GroupCommit(std::move(share)));
}

Result<SyncTicket> GroupCommit::ticket(const LogIdentity& log, int writer_fd, uint64_t end,
                                       bool data_only) {
  if (!fd_ || fd_log_ != log) {
    TW_ASSIGN_OR_RETURN(UniqueFd copy, sys::dup(writer_fd));
    fd_ = std::make_shared<const UniqueFd>(std::move(copy));
    fd_log_ = log;
  }
  return SyncTicket{fd_, LogPoint{log, end}, data_only};
}

bool GroupCommit::covered(const LogPoint& point) const { return covers(share_.synced(), point); }

Status GroupCommit::wait(const SyncTicket& ticket) {
  if (covered(ticket.point)) return {};
  kill_point(KillPoint::kGroupCommitWaiting);
  std::lock_guard<std::mutex> hold(*mutex_);
  for (;;) {
    // A sync that failed while this ticket waited may have lost its records,
    // and a later sync through the same descriptor may not say so again.
    if (failure_ && failure_->log == ticket.point.log &&
        ticket.point.offset <= failure_->through) {
      return failure_->error;
    }
    if (covered(ticket.point)) return {};
    const uint32_t releases = share_.releases();
    Status taken = share_.try_lock();
    if (taken.ok()) {
      SyncLockGuard locked(share_);
      if (covered(ticket.point)) return {};
      return sync_holding_lock(ticket);
    }
    const Error& error = taken.error();
    if (error.kind() != ErrorKind::kOs || error.os_code() != EWOULDBLOCK) return taken;
    // Another process syncs. Waiting for its end rather than queueing for
    // the lock lets every writer it covers return at once, instead of one
    // by one behind the next syncer.
    TW_TRY(share_.wait_for_release(releases));
  }
}

Status GroupCommit::forget_points() {
  std::lock_guard<std::mutex> hold(*mutex_);
  failure_.reset();
  for (;;) {
    const uint32_t releases = share_.releases();
    Status taken = share_.try_lock();
    if (taken.ok()) {
      SyncLockGuard locked(share_);
      share_.forget_points();
      return {};
    }
    const Error& error = taken.error();
    if (error.kind() != ErrorKind::kOs || error.os_code() != EWOULDBLOCK) return taken;
    TW_TRY(share_.wait_for_release(releases));
  }
}

Status GroupCommit::sync_holding_lock(const SyncTicket& ticket) {
  // Read before the sync begins: every record below it is in the file then.
  LogPoint target = ticket.point;
  const std::optional<LogPoint> written = share_.written();
  if (written && written->log == target.log && written->offset > target.offset) {
    target.offset = written->offset;
  }
  kill_point(KillPoint::kGroupCommitBeforeSync);
  Status synced = ticket.data_only ? sys::data_sync(ticket.fd->get()) : sys::full_sync(ticket.fd->get());
  if (!synced.ok()) {
    failure_.emplace(Failure{target.log, target.offset, synced.error()});
    return synced;
  }
  kill_point(KillPoint::kGroupCommitSyncedBeforePublish);
  // Never moves the point back within a log; another log's point gives way
  // (a ticket of an older generation publishes only until the newer is synced).
  if (!covers(share_.synced(), target)) share_.store_synced(target);
  return {};
}

}  // namespace tarnwick
