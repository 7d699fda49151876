// The queue object's internals: settings, the process lock and, behind the
// mutex, the state and the open log. Engine-internal; tests include it too.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "log_io/buffered_io.h"
#include "log_io/durability.h"
#include "log_io/group_commit.h"
#include "log_io/log_format.h"
#include "log_io/unique_fd.h"
#include "process_lock/process_lock.h"
#include "queue/log_files.h"
#include "queue/mapped_region.h"
#include "queue/queue.h"
#include "queue/queue_state.h"
#include "queue/recover.h"
#include "queue/space_reserve.h"

namespace tarnwick {

inline constexpr const char* kLogName = "queue.log";
inline constexpr size_t kBatchWriteBytes = size_t{256} << 10;
// Bodies at least this long go to the kernel from the caller's memory (a
// vectored write) rather than being copied beside their frame header.
inline constexpr size_t kDirectBodyBytes = size_t{8} << 10;
// Most pieces one vectored write takes (IOV_MAX is 1024 on Linux and macOS).
inline constexpr size_t kMaxWritePieces = 1024;
// Least room the body map reserves past the log's end.
inline constexpr uint64_t kMapRoomBytes = uint64_t{64} << 20;

// A body written from the caller's memory, after scratch[0..chunk_end).
struct DirectBody {
  size_t chunk_end;
  ByteSpan body;
};

struct Inner {
  QueueState state;
  std::optional<LogFiles> files;  // present exactly for an on-disk queue
  MappedRegion map;               // whole log when mapped, and room past its end
  uint64_t generation = 0;
  uint32_t format = FORMAT_VERSION;  // of the log as it stands (1 to 5)
  uint64_t applied_offset = LOG_HEADER_LEN;
  uint64_t log_bytes = LOG_HEADER_LEN;
  uint64_t last_sync_ms = 0;
  std::vector<uint8_t> scratch;  // frame assembly, reused across calls
  std::vector<uint8_t> catch_up_buffer;
  std::vector<RecordView> batch;  // an operation's run of records before its commit
  std::unordered_set<uint64_t> batch_ack_set;
  std::vector<Delivery> deliveries;  // the messages a take hands to its sink
  std::vector<DirectBody> direct_bodies;  // a write's large ENQUEUE bodies
  std::vector<struct ::iovec> write_pieces;
  std::optional<RepairReport> last_repair;  // the last repair of the log this object made
};

class QueueImpl {
 public:
  static Result<std::unique_ptr<QueueImpl>> open(std::string_view path, const Settings& settings,
                                                 Access access = Access::kReadWrite);
  ~QueueImpl();

  // --- the critical section every public operation runs in ---
  // The sync that ends an operation run this way (with no other queue's
  // operation around it on the thread) waits for its group commit only once
  // the mutex and the process lock are released; see maybe_sync.
  enum class Prep : uint8_t { kNone, kCatchUp };
  template <class Op>
  auto locked(Prep prep, Op&& op) -> decltype(op());
  // The same, then `then(result)` with the process lock released but the
  // mutex still held: what `op` left in this object (body views into the
  // map, entries) stays as it was, while other processes go on. For handing
  // bodies to a caller that may have to wait (for an interpreter lock, say)
  // before it can copy them.
  template <class Op, class Then>
  auto locked_then(Prep prep, Op&& op, Then&& then) -> decltype(op());

  // --- what the operations use, with the mutex and process lock held ---
  QueueState& state() { return inner.state; }
  uint64_t log_bytes() const { return inner.log_bytes; }
  uint64_t generation() const { return inner.generation; }
  // Kept across calls, so that a batch does not allocate its lists anew;
  // trim_run_buffers() lets a huge batch's lists go once it is done.
  std::vector<RecordView>& run_buffer() { return inner.batch; }
  std::unordered_set<uint64_t>& seen_seqs() { return inner.batch_ack_set; }
  std::vector<Delivery>& delivery_buffer() { return inner.deliveries; }
  void trim_run_buffers() {
    if (inner.batch.capacity() > kBatchWriteBytes) std::vector<RecordView>().swap(inner.batch);
    if (inner.batch_ack_set.bucket_count() > kBatchWriteBytes) {
      std::unordered_set<uint64_t>().swap(inner.batch_ack_set);
    }
    if (inner.deliveries.capacity() > kBatchWriteBytes / sizeof(Delivery)) {
      std::vector<Delivery>().swap(inner.deliveries);
    }
  }

  // --- log engine, called with the mutex and process lock held ---
  Status catch_up();
  // New handles on the log at the log's name, of `generation` and `format`,
  // whose records end at `end`.
  Status reopen_io(uint64_t generation, uint32_t format, uint64_t end);
  // The one way records reach the log: writes `records` in order, then
  // applies them to the state, then syncs as `sync` asks. Frames go out in
  // writes of about kBatchWriteBytes; an ENQUEUE body of kDirectBodyBytes or
  // more goes from the caller's memory in the same (vectored) write. A queue
  // without a log writes nothing and keeps the bodies in its state. A failed
  // write applies nothing and cuts the log back to where the run began, so
  // that no object ever reads part of it (a single record and a batch fail
  // the same way). A failed sync is reported after the records were
  // applied, so the state never lacks a record the log holds. A run that
  // only settles messages (or, with `writes_drain`, any run) whose write
  // fails for lack of space is cut back and written once more after the
  // settling share of the space reserve was freed. A run that puts messages
  // fails with ENOSPC, writing nothing, while the reserve cannot be made
  // whole again after that.
  enum class Sync : uint8_t { kNone, kInterval, kNow };
  Status commit(const RecordView& record, Sync sync);
  Status commit_batch(std::span<const RecordView> records, Sync sync);
  // Syncs the log if `force` or the interval (0: always) asks. With group
  // commit the sync covers this object's records up to the log's end; in the
  // outermost operation on the thread it is owed rather than waited for,
  // and locked() waits for it after letting go of the locks: later records
  // of the same log may be written first (a power cut keeps a prefix of the
  // log), but nothing of another queue, and the call returns only after it.
  Status maybe_sync(bool force);
  Status reclaim_expired(uint64_t now);
  // A view into the memory map (or into the entry for a queue without a
  // log), valid until the map is next replaced: by a read past its end, or
  // by a new generation.
  Result<ByteSpan> read_body(uint64_t offset, uint32_t length);
  Result<ByteSpan> body_of(const MessageEntry& entry);
  // Maps the log at least up to `end`, so that the views of bodies below it
  // stay valid together while the locks are held.
  Status map_through(uint64_t end);
  // A file to take the log's place, with the access of the log it replaces.
  Result<ReplacementFile> create_replacement(const std::string& path);
  // Compacts; one that fails for lack of space frees the whole space
  // reserve and tries once more. A success sizes the reserve anew.
  Status do_compact();
  // Compacts when the log is long and mostly dead. Never fails: it follows a
  // committed removal, so a failed compaction is a warning on standard error.
  Status maybe_compact();
  // Makes the log a format-2 log, if it is not one yet, by a compaction into
  // format 2 (a new generation, renamed into place): what a write of a kind
  // that format 1 lacks does first. A queue without a log has nothing to do.
  Status upgrade_to_format_2();
  // Upgrades the log (as above) to the oldest format that holds every one
  // of `records`, when it is older.
  Status upgrade_for(std::span<const RecordView> records);
  Status upgrade_to(uint32_t format);
  Status purge_log();  // frees and sizes the reserve as do_compact does
  // After recover (at open or reload, the handles open on the log it read):
  // replaces a log with damage in its middle by a new generation holding
  // every intact record (the copy of the damaged log is already set aside),
  // and keeps the report.
  Status finish_repair(Recovered&& recovered);
  Result<IntegrityReport> scan_log() const;
  uint64_t lease_length(std::optional<uint64_t> lease_ms) const {
    return lease_ms.value_or(settings.default_lease_ms);
  }

  // --- fields fixed at open ---
  std::string log_path;   // ":memory:" for a queue without a log
  std::string lock_path;
  std::string compact_tmp_path;
  std::string purge_tmp_path;
  Settings settings;
  bool persistent = false;
  bool read_only = false;  // opened with Access::kReadOnly
  // The queue directory, so that catch-up and the lock look up one name, not
  // a path; declared before the lock, which borrows it.
  UniqueFd dir_fd;
  std::optional<ProcessLock> lock;
  uint64_t lock_timeout_ns = LOCK_TIMEOUT_NS;  // tests shorten it
  // Shared syncs; null (syncing under the process lock alone) without a log,
  // read-only, where the sync-state file cannot be set up, or with
  // TARNWICK_GROUP_COMMIT=0 in the environment at open.
  std::unique_ptr<GroupCommit> group_commit;
  std::string sync_share_path;
  // Space kept for draining on a full disk, shared with the dead letters
  // (whose writes all drain the main queue); null where none is kept.
  std::shared_ptr<SpaceReserve> reserve;
  bool writes_drain = false;

  std::mutex mutex;
  Inner inner;

 private:
  Status write_records(std::span<const RecordView> records);
  Status write_chunk(uint64_t bytes);
  bool cut_back(uint64_t offset);  // false (after a warning) if it could not
  bool may_spend_reserve(std::span<const RecordView> records) const;
  // A replacement of the log, tried again once after the whole reserve was
  // freed if it failed for lack of space before the new file took the log's name.
  template <class Write>
  Status replace_log(Write&& write);
  Status write_compacted(bool& renamed, uint32_t format);
  Status write_purged(bool& renamed);
  // Copies the frames of the outcomes kept past `now` to `writer` at `pos`
  // (advanced); returns their entries as they stand there.
  Result<std::vector<OutcomeEntry>> copy_outcomes(BufferedWriter& writer, uint64_t& pos,
                                                  uint64_t now);
  void take_outcomes(std::vector<OutcomeEntry> kept);  // the state's outcomes from now on
  Status reload();
  Result<LogFiles> open_log_files(uint32_t format) const;
  // Before a write of `bytes` at the end of a preallocated log: writes
  // zeros ahead of it where the file is too short (see log_format.h).
  void preallocate_for(uint64_t bytes);
  Status sync_log();  // the sync the log's layout needs
  void keep_reserve(std::string path);  // with the process lock held
  Status repair_tail(const DamagedRange& tail, uint64_t records_read);
  Status reopen_after_fork();
  void open_group_commit();
  // With the process lock held, after recovery put a fresh log in place
  // (Recovered::created): clears the sync-state file's points, through this
  // object's shared syncs or, without them, through the file itself.
  Status forget_sync_points();
  LogIdentity log_identity() const;
  // Keeps `ticket` for the end of the operation (waiting at once for an
  // owed one of another log).
  Status owe_sync(SyncTicket ticket);
  Status settle_owed_now();  // with the locks held
  // Waits for what the operation owes, with no lock held, and reports a
  // failed sync unless the operation failed already.
  template <class R>
  R settle_owed(R result, std::optional<SyncTicket> owed);
  // Takes the process lock (where there is one) around `op`, with the mutex held.
  template <class Op>
  auto with_process_lock(Prep prep, Op& op) -> decltype(op());
  uint64_t fork_epoch_ = 0;  // fork count when the handles were opened
  size_t outcomes_pruned_at_ = 0;  // a queue without a log: kept outcomes at the last prune
  bool force_reload_ = false;
  // Within an operation that waits for its sync after the locks: the sync
  // it owes, if any.
  bool defer_sync_ = false;
  std::optional<SyncTicket> owed_sync_;
};

// How many queue operations the thread is inside: only the outermost may
// leave its sync for after the locks.
inline thread_local unsigned t_queue_ops = 0;

template <class Op>
auto QueueImpl::with_process_lock(Prep prep, Op& op) -> decltype(op()) {
  std::optional<LockGuard> guard;
  if (lock) {
    TW_TRY(reopen_after_fork());
    auto taken = lock->write_lock(lock_timeout_ns);
    if (!taken.ok()) return std::move(taken).error();
    guard.emplace(std::move(taken).value());
  }
  if (prep == Prep::kCatchUp) TW_TRY(catch_up());
  return op();
}

template <class R>
R QueueImpl::settle_owed(R result, std::optional<SyncTicket> owed) {
  if (!owed) return result;
  Status paid = group_commit->wait(*owed);
  if (!paid.ok() && result.ok()) return std::move(paid).error();
  return result;
}

template <class Op>
auto QueueImpl::locked(Prep prep, Op&& op) -> decltype(op()) {
  return locked_then(prep, op, [](decltype(op()) result) { return result; });
}

template <class Op, class Then>
auto QueueImpl::locked_then(Prep prep, Op&& op, Then&& then) -> decltype(op()) {
  std::optional<SyncTicket> owed;
  auto result = [&]() -> decltype(op()) {
    std::lock_guard<std::mutex> hold(mutex);
    defer_sync_ = t_queue_ops == 0;
    ++t_queue_ops;
    auto done = then(with_process_lock(prep, op));
    --t_queue_ops;
    defer_sync_ = false;
    owed = std::exchange(owed_sync_, std::nullopt);
    return done;
  }();
  return settle_owed(std::move(result), std::move(owed));
}

uint64_t saturating_add(uint64_t a, uint64_t b);
// ENOSPC, or EDQUOT (the reserve counts against the same quota).
bool out_of_space(const Error& error);
uint32_t next_delivery_count(uint32_t deliveries);  // saturating
Error missing_entry(uint64_t seq);
// What an operation that would write returns on a queue opened read-only.
Error read_only_error();
Error oversized_body(size_t length);
// Fails with kIdsExhausted unless `count` more ids can be assigned.
Status check_ids_left(const QueueState& state, size_t count);

}  // namespace tarnwick
