// Group commit: one sync of the log on behalf of every record written so far,
// by whichever process or thread gets to it first, while the others see that
// their records are covered and return without a sync of their own.
//
// A writer writes with the process lock held, notes the log's new end in the
// sync-state file (sync_share.h) and takes a ticket for its records; then,
// with no lock held, it waits on the ticket. A ticket is covered once the
// file says that its log was synced to its end or beyond. Otherwise the
// waiter takes the sync lock, looks again, and syncs the log itself: up to
// the last end any writer noted, which it reads before the sync begins, so
// that the offset it then publishes was written before its sync started.
//
// Only a sync of the very log a ticket names covers it. A ticket of an older
// generation (the log was compacted or purged since) is synced through its
// own descriptor, which still holds the old file: if the replacement's rename
// did not survive a power cut, that file is the log; if it did, the new file,
// synced before the rename, holds what the old one held.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "log_io/error.h"
#include "log_io/sync_share.h"
#include "log_io/unique_fd.h"

namespace tarnwick {

// What a writer waits on: its records of `log` end at `end`; `fd` (a
// descriptor of that file) stays open while any ticket holds it.
struct SyncTicket {
  std::shared_ptr<const UniqueFd> fd;
  LogPoint point;
  bool data_only = false;  // fdatasync will do (sys::data_sync)
};

class GroupCommit {
 public:
  // Opens the sync-state file `path` in the directory `dir_fd`; fails where
  // it cannot be set up, and the caller then syncs under its lock alone.
  static Result<std::unique_ptr<GroupCommit>> open(int dir_fd, const std::string& path);

  // With the process lock held, after records of `log` up to `end` were
  // written through `writer_fd`: lets a syncer sync that far.
  void note_written(const LogIdentity& log, uint64_t end) { share_.store_written({log, end}); }
  // With the process lock held: a ticket for the records of `log` up to
  // `end`, written through `writer_fd`. A log not met before is given a
  // descriptor of its own (a dup), so that the ticket outlives its handles.
  Result<SyncTicket> ticket(const LogIdentity& log, int writer_fd, uint64_t end,
                            bool data_only = false);
  // With the process lock held, once the log's handles were replaced: the
  // old file's descriptor goes with the last ticket that holds it, so that
  // a replaced log's space is freed.
  void forget_log() { fd_.reset(); }
  // Returns once a sync covers the ticket, syncing itself where none does.
  // A failed sync is the error of every ticket it would have covered that
  // this object waits on, and publishes nothing.
  Status wait(const SyncTicket& ticket);
  // With the process lock held, once a new log may have taken a deleted
  // one's identity: takes the sync lock and forgets what the file says of
  // any log, and what this object knows of failed syncs.
  Status forget_points();
  // Whether a published sync covers `point` (no lock taken).
  bool covered(const LogPoint& point) const;
  // In a child of fork(), before this object is dropped: a thread of the
  // parent may have held the mutex at the fork, and a held mutex is never
  // destroyed; it is left behind (a few bytes per fork).
  void forsake_mutex_after_fork() { (void)mutex_.release(); }

  const SyncShare& share() const { return share_; }

 private:
  explicit GroupCommit(SyncShare share) : share_(std::move(share)) {}
  Status sync_holding_lock(const SyncTicket& ticket);

  SyncShare share_;
  // The descriptor tickets of the current log share; guarded by the caller's
  // process lock (and its object's mutex).
  std::shared_ptr<const UniqueFd> fd_;
  LogIdentity fd_log_;
  // One thread at a time syncs (the flock does not tell threads apart);
  // guards failure_.
  std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
  struct Failure {
    LogIdentity log;
    uint64_t through = 0;
    Error error;
  };
  std::optional<Failure> failure_;
};

}  // namespace tarnwick
