// What the files of JobQueue share: the lock order over the queue and its
// dead letters, and the helpers that more than one operation uses.
// Engine-internal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "queue/job_queue.h"
#include "queue/queue_impl.h"

namespace tarnwick::jobs {

using Prep = QueueImpl::Prep;
using Sync = QueueImpl::Sync;

inline Sync sync_of(SyncRule rule) {
  return rule == SyncRule::kInterval ? Sync::kInterval : Sync::kNow;
}

// Commits an ENQUEUE per body, with consecutive seqs, each followed (for a
// delayed put) by a LEASE until `due_ms` with no deliveries, so that a
// message never appears without its delay. `due_ms` 0 means ready at once.
// `bodies` is not empty. A failed write leaves none of them in the log.
// Returns the first seq.
Result<uint64_t> write_messages(QueueImpl& q, std::span<const ByteSpan> bodies, uint64_t ts_ms,
                                uint64_t due_ms, Sync sync);

// A message's headers: a view into the log's map (or the state, without a log).
Result<ByteSpan> headers_of(QueueImpl& q, const MessageOptions& o);

// The OUTCOME that removes the live message `seq` now, finished as `state`,
// kept for `keep_ms`: its payload is assembled in `out`, which the returned
// view borrows. `error` (if not empty) ends its errors; `dead_letter_id`
// names its dead letter (NO_DEAD_LETTER: none).
Result<RecordView> outcome_of(QueueImpl& q, uint64_t seq, OutcomeState state, uint64_t now,
                              uint64_t keep_ms, std::optional<ByteSpan> result,
                              std::string_view error, uint64_t dead_letter_id,
                              std::vector<uint8_t>& out);
// The view of an OUTCOME payload encoded from `fields` into `payload`.
RecordView outcome_view(const OutcomeFields& fields, std::span<const uint8_t> payload);
// The HISTORY of the live message `seq` once its current delivery ended
// with `error`, assembled in `out`, which the view borrows.
Result<RecordView> history_with_error(QueueImpl& q, uint64_t seq, std::string_view error,
                                      std::vector<uint8_t>& out);
// The record that removes `seq` as `dead` or acked: an OUTCOME when the
// handle keeps such outcomes, else the plain DEAD or ACK.
Result<RecordView> removal_of(QueueImpl& q, uint64_t seq, bool dead, uint64_t now,
                              std::optional<ByteSpan> result, std::string_view error,
                              uint64_t dead_letter_id, std::vector<uint8_t>& out);

// Commits a settle's records; one that keeps outcomes (OUTCOME, HISTORY)
// and fails for lack of space is written once more as the plain records
// (ACK, DEAD, CANCEL; no HISTORY): a full disk lets the queue drain, even
// if it cannot keep what became of the messages (or upgrade the log to
// hold it).
Status commit_settle(QueueImpl& q, std::span<const RecordView> records, Sync sync);
inline Status commit_settle(QueueImpl& q, const RecordView& record, Sync sync) {
  return commit_settle(q, std::span<const RecordView>(&record, 1), sync);
}

// The message's entry while `lease` is its current lease, else null.
MessageEntry* held(QueueState& state, const LeaseToken& lease);

// The smallest `limit` seqs of the live messages, in order.
std::vector<uint64_t> smallest_seqs(const QueueState& state, uint64_t limit);

// The earliest lease or delay end, if any; drops the stale heap entries
// above it on the way.
std::optional<uint64_t> next_due(QueueState& state);

// Empties a huge batch's lists when the operation ends, on every path.
class TrimRunBuffers {
 public:
  explicit TrimRunBuffers(QueueImpl& q) : q_(q) {}
  ~TrimRunBuffers() { q_.trim_run_buffers(); }
  TrimRunBuffers(const TrimRunBuffers&) = delete;
  TrimRunBuffers& operator=(const TrimRunBuffers&) = delete;

 private:
  QueueImpl& q_;
};

}  // namespace tarnwick::jobs

namespace tarnwick {

template <class Op>
auto JobQueue::with_dead_letters(Op&& op) -> decltype(op()) {
  return main_->locked(jobs::Prep::kCatchUp, [&]() -> decltype(op()) {
    if (!dead_) return op();
    return dead_->locked(jobs::Prep::kCatchUp, [&]() -> decltype(op()) {
      TW_TRY(finish_moves_held());
      return op();
    });
  });
}

}  // namespace tarnwick
