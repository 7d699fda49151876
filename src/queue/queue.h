// The plain queue: one per TarnwickCore instance, and the types every queue
// of the engine shares.
//
// Queue is a thin face over JobQueue (job_queue.h), which owns every
// operation on a queue's internals: each of its methods is one call there.
// Every public method is one complete critical section: it takes the
// object's mutex, then (for an on-disk queue) the process lock, brings the
// state up to date with the shared log, optionally reclaims expired leases,
// runs the operation and releases both locks in reverse order on every path.
// Arguments are expected to be converted already; results that must be built
// before the mutex is released (message bodies) go through a DeliverySink.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "log_io/error.h"

namespace tarnwick {

using ByteSpan = std::span<const uint8_t>;

struct Settings {
  uint64_t sync_interval_ms = 0;
  uint64_t default_lease_ms = 30000;
  uint64_t auto_compact_bytes = 67108864;
  // The most space kept in reserve for draining the queue on a full disk
  // (an eighth of the log's length, see space_reserve.h); 0 keeps none.
  uint64_t reserve_bytes = uint64_t{1} << 30;
  // How long this handle keeps the outcome of a message it acks, moves to
  // the dead letters or cancels (0: none, the plain record is written, as
  // TarnwickCore always does).
  uint64_t keep_acked_ms = 0;
  uint64_t keep_dead_ms = 0;
  uint64_t keep_cancelled_ms = 0;
};

// One leased message, as handed to a DeliverySink.
struct Delivery {
  uint64_t seq;
  uint32_t deliveries;
  uint64_t enqueued_ts_ms;
  ByteSpan body;  // valid only during the deliver_all() call
  uint64_t deadline_ms = 0;  // when the lease ends
  // What it was put with (key and group empty: none); valid as `body` is.
  int8_t priority = 0;
  std::string_view key = {};
  std::string_view group = {};
  ByteSpan headers = {};
};

// Receives leased messages while the object's mutex is held, so that the
// caller can copy each body once, straight out of the log's memory map (or
// out of the state of a queue without a log) into its own object. The
// process lock is already released then: other processes go on meanwhile.
class DeliverySink {
 public:
  virtual ~DeliverySink() = default;
  // Every message one call leased, in the order leased, once their leases
  // are written (and synced as the call syncs); not called when it leased
  // nothing. Returns false when the sink could not take them; the operation
  // then fails with an ErrorKind::kCallback error (the leases stay written).
  // By default each goes to deliver(); a sink that must prepare once for a
  // run (a binding taking back the interpreter lock) overrides this.
  virtual bool deliver_all(std::span<const Delivery> leased) {
    for (const Delivery& delivery : leased) {
      if (!deliver(delivery)) return false;
    }
    return true;
  }
  virtual bool deliver(const Delivery& delivery) = 0;
};

struct QueueStats {
  uint64_t ready = 0;
  uint64_t in_flight = 0;
  uint64_t total = 0;
  uint64_t enqueued_total = 0;
  uint64_t acked_total = 0;
  uint64_t requeued_total = 0;
  uint64_t dead_total = 0;
  uint64_t expired_total = 0;  // deliveries whose lease ran out
  uint64_t nacked_total = 0;   // deliveries given back (a delayed one once due)
  uint64_t next_seq = 0;
  uint64_t live_bytes = 0;
  uint64_t log_bytes = 0;
  uint64_t generation = 0;
  bool persistent = false;
};

// Damaged bytes of a log: from the start of a frame that does not check (or
// whose payload does not decode) up to the next intact frame, or to the end.
struct DamagedRange {
  uint64_t offset = 0;
  uint64_t bytes = 0;
  std::string reason;  // what is wrong with the frame at `offset`
  bool operator==(const DamagedRange&) const = default;
};

struct IntegrityReport {
  bool ok = false;
  uint64_t records = 0;  // intact frames before the first damage
  uint64_t bytes = 0;    // where the first damage begins (the end when clean)
  std::string message;
  // Damage with intact frames after it (which an open keeps), in file order.
  std::vector<DamagedRange> damaged;
  // Damage with no intact frame after it: a torn tail, which an open cuts.
  std::optional<DamagedRange> tail;
  uint64_t intact_records = 0;  // every intact frame, after damage too
};

// What an open, a later catch-up or a rebuild did to a damaged log: every
// byte recovery dropped, where and why (the warnings on standard error say
// the same in words). The queue keeps the last one (last_repair()).
struct RepairReport {
  // Damage between intact records: the records around it were kept, the
  // damaged log copied to `damaged_copy`, and a new generation written.
  std::vector<DamagedRange> skipped;
  // A torn tail cut off (or left out of the new log). At byte 0: a log too
  // short to hold its header, or a zeroed header, replaced by a new log.
  std::optional<DamagedRange> cut_tail;
  // Intact records replayed: all of the log's at an open or rebuild; those
  // read before the tail when catch-up cut one.
  uint64_t records_kept = 0;
  // Records (ACK, LEASE, REQUEUE, DEAD) after skipped damage that name a
  // message unknown at that point, presumably one whose ENQUEUE was in the
  // damage: ignored, since there is no body to deliver.
  uint64_t orphan_records = 0;
  std::string damaged_copy;  // path of the copy set aside; empty when none
  uint64_t generation = 0;   // of the log as it stands after the repair
};

class QueueImpl;
class JobQueue;

// How a queue directory is opened. Read-only is for a user who may read the
// queue's files but not write them: nothing is created or changed, the lock
// is shared with other such readers (it still excludes every writer), a
// damaged tail is left as it is (the state ends before it) and expired
// leases are not reclaimed. Every operation that would write fails.
enum class Access : uint8_t { kReadWrite, kReadOnly };

// Checks the log of the queue in `directory` without changing anything in
// it: no file is created, cut or rewritten (the lock file is only locked, and
// only when it exists). A log of fewer than 16 bytes is reported as new when
// an open would take it as such, else as not a queue log.
Result<IntegrityReport> verify_queue_directory(const std::string& directory);

class Queue {
 public:
  // `path` is a directory (created with its parents unless read-only) or
  // exactly ":memory:".
  static Result<std::unique_ptr<Queue>> open(std::string_view path, const Settings& settings,
                                             Access access = Access::kReadWrite);
  ~Queue();  // flushes and syncs the log, ignoring failures
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;

  Result<uint64_t> enqueue(ByteSpan body);
  // An empty batch touches nothing and returns an empty list.
  Result<std::vector<uint64_t>> enqueue_batch(const std::vector<ByteSpan>& bodies);

  // Returns false when nothing is ready; otherwise the sink received one message.
  Result<bool> dequeue(std::optional<uint64_t> lease_ms, DeliverySink& sink);
  Status dequeue_batch(uint64_t max, std::optional<uint64_t> lease_ms, DeliverySink& sink);
  Result<bool> extend_lease(uint64_t seq, std::optional<uint64_t> lease_ms);

  Result<bool> ack(uint64_t seq);
  Result<uint64_t> ack_batch(const std::vector<uint64_t>& seqs);
  Result<bool> nack(uint64_t seq, bool requeue);

  Result<uint64_t> available();
  Result<uint64_t> in_flight();
  Result<QueueStats> stats();

  Status flush();
  Status compact();
  Status purge();
  Result<IntegrityReport> verify_integrity();
  // The last repair this object made of its log (at open, or when it found
  // damage later); nothing when the log was never found damaged.
  std::optional<RepairReport> last_repair();

  bool persistent() const;
  QueueImpl& impl();  // internals, for the engine's own tests

 private:
  explicit Queue(std::unique_ptr<JobQueue> engine);
  std::unique_ptr<JobQueue> engine_;  // a job queue that keeps no dead letters
};

}  // namespace tarnwick
