// A queue for jobs: the plain queue plus delayed messages, fenced settling,
// dead letters and a read-only look at the messages; the one owner of every
// operation on a queue's internals (Queue's methods are calls into it).
//
// It writes only the plain queue's records, so any other object on the same
// directory keeps working: a delayed message is a message leased until it is
// due, with a delivery count of 0; a dead letter is a message of a second
// queue in the `dead_letters` subdirectory, whose body carries the original
// message (see dead_letter_entry.h). Operations that touch both queues lock
// the main queue first, then the dead letters.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "queue/outcome_record.h"
#include "queue/queue.h"

namespace tarnwick {

// A lease as it was handed out. Settling acts only while this is still the
// message's current lease, which keeps a consumer whose lease ran out from
// settling a message that another consumer holds now, or a newer message
// that reused the id.
struct LeaseToken {
  uint64_t seq = 0;
  uint64_t enqueued_ts_ms = 0;
  uint32_t deliveries = 0;
  uint64_t deadline_ms = 0;
};

enum class MessageState : uint8_t { kReady, kLeased, kScheduled };

struct MessageSummary {
  uint64_t seq = 0;
  MessageState state = MessageState::kReady;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  std::optional<uint64_t> due_ms;  // lease end or due time
  // A leased message's delivery, where its LEASE told (LeaseDetails):
  // when it began (nothing when unknown), how often its lease was
  // extended and who holds it (empty: unknown).
  std::optional<uint64_t> started_ms;
  uint32_t extensions = 0;
  std::string consumer;
  uint32_t size = 0;
  std::vector<uint8_t> body;  // only when asked for
  int8_t priority = 0;
  std::string key;    // empty: none
  std::string group;  // empty: none
  std::vector<uint8_t> headers;
};

// What a put may give its messages besides a body and a delay.
struct PutOptions {
  int8_t priority = 0;  // -100..100, higher first
  // While a live message has the key (or one left less than its
  // `unique_for_ms` ago), a put with it writes nothing and returns that id.
  std::string_view key = {};
  uint64_t unique_for_ms = 0;
  std::string_view group = {};
  ByteSpan headers = {};  // opaque bytes (the package writes JSON)
  bool plain() const {
    return priority == 0 && key.empty() && group.empty() && headers.empty();
  }
};

// One message a schedule change puts, ready at once, with put()'s options
// (a key holds as it does for put()).
struct SchedulePut {
  ByteSpan body;
  PutOptions options;
};

// The schedules stored in a queue: each name with its state (opaque bytes).
using ScheduleStates = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

struct DeadLetter {
  uint64_t id = 0;  // seq in the dead-letter queue
  uint64_t original_seq = 0;
  uint32_t deliveries = 0;
  uint64_t enqueued_ts_ms = 0;
  uint64_t died_ts_ms = 0;
  std::string reason;
  std::vector<uint8_t> body;
};

// What status() and outcomes() tell of one message, live or finished.
struct OutcomeStatus {
  uint64_t seq = 0;
  const char* state = "ready";  // ready, scheduled, leased, acked, dead, cancelled
  uint32_t deliveries = 0;
  uint64_t enqueued_ms = 0;
  std::optional<uint64_t> started_ms;   // the last delivery's start
  std::optional<uint64_t> finished_ms;  // finished messages only
  std::optional<std::vector<uint8_t>> result;
  std::vector<std::string> errors;     // newest last
  std::vector<std::string> consumers;  // newest last
  int8_t priority = 0;
  std::string key;    // empty: none
  std::string group;  // empty: none
  std::vector<uint8_t> headers;
  std::optional<uint64_t> dead_letter_id;
};

struct JobStats {
  QueueStats core;
  uint64_t scheduled = 0;
  uint64_t dead_letters = 0;
  // The delivery in flight that began first, of those whose start is known.
  std::optional<uint64_t> oldest_started_ms;
  uint64_t oldest_started_seq = 0;
  // When the ready message that has waited longest became ready (its put,
  // or the end of its delay or lease), if any is ready.
  std::optional<uint64_t> oldest_ready_ms;
  bool paused = false;
};

inline constexpr const char* kDeadLetterDir = "dead_letters";
inline constexpr const char* kMaxDeliveriesReason = "max deliveries exceeded";

// When an operation's records are forced to stable storage.
enum class SyncRule : uint8_t {
  kInterval,  // as a single record: as sync_interval_ms asks, if anything was written
  kForce,     // as a batch: one full sync at the end, if anything was written
  // One full sync at the end even when nothing was written: what
  // TarnwickCore's batches promise (exactly one per call).
  kForceAlways,
};

struct TakeRequest {
  uint64_t max = 1;
  std::optional<uint64_t> lease_ms;  // the queue's default lease when absent
  // With a limit (> 0), a message that would be delivered more often than
  // that goes to the dead letters instead.
  uint32_t max_deliveries = 0;
  SyncRule sync = SyncRule::kInterval;
  // Who takes: its leases carry their start, extension count and this
  // consumer (empty: unknown) in LEASE's trailing fields. Without one the
  // leases are written as TarnwickCore has always written them.
  std::optional<std::string_view> consumer = std::nullopt;
  // The highest priority first (then the smallest id), or, as TarnwickCore
  // takes, the smallest id among what may be delivered.
  bool by_priority = true;
};

struct Taken {
  uint64_t count = 0;  // messages handed to the sink
  // When nothing was taken: the earliest time a leased or delayed message
  // comes due, if any (read in the same critical section).
  std::optional<uint64_t> next_due_ms;
};

struct AckedAndTaken {
  bool acked = false;  // false: the lease was no longer current, nothing acked
  Taken taken;
};

// The one owner of the operations on a queue's internals: TarnwickCore's
// plain queue (Queue, a JobQueue that keeps no dead letters) and the
// package's job queue run the same code, so each operation is written, and
// fails, one way. A settle names its message by seq alone (TarnwickCore: any
// live message, no reclaiming first) or by the lease it was taken with
// (fenced: reclaims expired leases, then acts only on the current lease).
class JobQueue {
 public:
  // Whether the queue keeps dead letters (in the `dead_letters`
  // subdirectory) or none, as TarnwickCore's queue, which buries nothing and
  // never makes the subdirectory.
  enum class DeadLetters : uint8_t { kKept, kNone };
  // Read-only (see Access): the dead letters are opened read-only too, or,
  // where there are none yet, stand as an empty queue in memory.
  static Result<std::unique_ptr<JobQueue>> open(std::string_view path, const Settings& settings,
                                                Access access = Access::kReadWrite,
                                                DeadLetters dead_letters = DeadLetters::kKept);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // --- producing ---
  // Bodies are due `delay_ms` from now (0: at once) and get consecutive ids;
  // returns the first. A write that fails leaves none of them in the log (it
  // is cut back). An empty list touches nothing and returns 0.
  Result<uint64_t> put(std::span<const ByteSpan> bodies, uint64_t delay_ms, SyncRule sync);
  // The same with the ids listed, synced as one record or as a batch by count.
  Result<std::vector<uint64_t>> put(std::span<const ByteSpan> bodies, uint64_t delay_ms);
  // The same with options for every body. A key is for one body only: with
  // a key held (see PutOptions) nothing is written and the holder's id is
  // returned. Options other than none make the log a format-2 log.
  Result<uint64_t> put(std::span<const ByteSpan> bodies, uint64_t delay_ms, SyncRule sync,
                       const PutOptions& options);
  // Removes a ready or scheduled message; false (nothing written) otherwise.
  Result<bool> cancel(uint64_t seq);

  // --- the queue's settings, kept in its log (format 2) ---
  Status set_paused(bool paused);  // writes only when it changes
  Result<bool> paused();
  Result<uint32_t> group_limit();
  Status set_group_limit(uint32_t limit);  // >= 1; writes only when it changes

  // --- schedules, kept in its log (format 4) ---
  // In one critical section, after catching up with the log: when the
  // schedule `name` (1 to MAX_SCHEDULE_NAME_LEN bytes, no NUL) holds exactly
  // `expected` (none: there is no such schedule), stores `next` (at most
  // MAX_SCHEDULE_STATE_LEN bytes; none: removes it) and puts `puts`, ready
  // now, as one SCHEDULE record: a crash leaves all of it in the log or
  // none. Returns the puts' ids in order (a put whose key is held, by a
  // message or by an earlier put of the same change, writes nothing and
  // gets the holder's id); nothing, and nothing written, when the state
  // differs. A change that alters nothing writes nothing. Bad input is
  // kInvalidData, nothing written.
  Result<std::optional<std::vector<uint64_t>>> change_schedule(
      std::string_view name, std::optional<ByteSpan> expected, std::optional<ByteSpan> next,
      std::span<const SchedulePut> puts);
  // Every schedule, by name.
  Result<ScheduleStates> schedules();

  // --- consuming ---
  // Leases up to `request.max` ready messages, in one write, and hands them
  // to `sink` once they are written and synced. A paused queue leases
  // nothing; a group never has more than the group limit leased.
  Result<Taken> take(const TakeRequest& request, DeliverySink& sink);
  // Acks `lease` as ack(lease) does, then takes as take() does, in one
  // critical section whose records share one sync: a worker's step from one
  // job to the next. The take happens whether or not the lease was current.
  // An error may come after the ack was written (the take failed).
  Result<AckedAndTaken> ack_then_take(const LeaseToken& lease, const TakeRequest& request,
                                      DeliverySink& sink);

  // --- settling, fenced: each returns false (nothing) and writes nothing
  // when `lease` is no longer current ---
  // With the handle's retention for the state (Settings::keep_*_ms), the
  // record that removes the message is an OUTCOME that keeps what became of
  // it (with `result` for an ack); without, the plain record of old.
  Result<bool> ack(const LeaseToken& lease);
  Result<bool> ack(const LeaseToken& lease, std::optional<ByteSpan> result);
  Result<bool> nack(const LeaseToken& lease, uint64_t delay_ms);
  // `error` is kept with the message as the error of the delivery that
  // ended (a HISTORY record written with the return, in one write).
  Result<bool> nack(const LeaseToken& lease, uint64_t delay_ms,
                    std::optional<std::string_view> error);
  // A renewal keeps what the lease's LEASE told (its start and consumer)
  // and counts one extension more; a lease that told nothing is renewed
  // telling `consumer`, its start unknown, when one is given.
  Result<std::optional<uint64_t>> extend(const LeaseToken& lease, std::optional<uint64_t> lease_ms,
                                         std::optional<std::string_view> consumer = std::nullopt);
  Result<bool> bury(const LeaseToken& lease, std::string_view reason);
  // Acks every message whose lease in `leases` is still current, checked and
  // written under one lock hold as one run of records (all or none of them
  // reach the log, with one sync as for ack). Returns the positions in
  // `leases` of those that were not current; they write nothing. A lease
  // given twice is acked once and counts as acked both times.
  Result<std::vector<size_t>> ack_many(std::span<const LeaseToken> leases);

  // --- settling by seq (TarnwickCore): any live message, leased or not ---
  Result<bool> ack(uint64_t seq);
  // Back to the ready set (`requeue`), or removed as dead (no dead letter).
  Result<bool> nack(uint64_t seq, bool requeue);
  // Renews the lease of a message in flight; the new deadline, or nothing.
  Result<std::optional<uint64_t>> extend(uint64_t seq, std::optional<uint64_t> lease_ms);
  // ACKs the live ones among `seqs`, each once, in one run of records with
  // one forced sync; returns how many were removed.
  Result<uint64_t> ack_batch(std::span<const uint64_t> seqs);

  // --- looking ---
  // The message `seq`, live or with its outcome kept (and not expired);
  // nothing when neither. Writes nothing.
  Result<std::optional<OutcomeStatus>> status(uint64_t seq);
  // Up to `limit` kept outcomes, the latest finished first, of `state` only
  // (when given), finished at or after `since_ms` (when given).
  Result<std::vector<OutcomeStatus>> outcomes(std::optional<OutcomeState> state, uint64_t limit,
                                              std::optional<uint64_t> since_ms);
  // Writes nothing: expired leases show as ready without being reclaimed.
  Result<std::vector<MessageSummary>> peek(uint64_t limit, bool bodies);
  // The earliest time a leased or delayed message comes due, if any.
  Result<std::optional<uint64_t>> next_due_ms();
  // In one critical section (of the queue and its dead letters).
  Result<JobStats> stats();
  Result<uint64_t> available();  // reclaims expired leases first
  Result<uint64_t> in_flight();  // does not

  // --- dead letters ---
  Result<uint64_t> dead_letter_count();
  Result<std::vector<DeadLetter>> dead_letters(uint64_t limit);
  // The named dead letters (all when `ids` is empty) come back as new
  // messages; returns how many.
  Result<uint64_t> requeue_dead(std::optional<std::vector<uint64_t>> ids);
  Result<uint64_t> purge_dead();

  // --- the log ---
  Status flush();
  Status compact();
  // Makes the log a preallocated one (format 5: written ahead with zeros and
  // overwritten, synced by fdatasync) by a compaction, unless it is one.
  // Releases that know no format 5 refuse such a log. The dead letters' log
  // keeps its format. A queue without a log has nothing to do.
  Status preallocate_log();
  Status purge();  // the messages; the dead letters stay
  Result<IntegrityReport> verify_integrity();
  // The last repair this object made of its log (at open, or when it found
  // damage later); nothing when the log was never found damaged.
  std::optional<RepairReport> last_repair();

  bool persistent() const;
  const std::string& directory() const { return directory_; }
  QueueImpl& impl() { return *main_; }  // internals, for the engine's own tests

 private:
  JobQueue(std::unique_ptr<QueueImpl> main, std::unique_ptr<QueueImpl> dead,
           std::string directory);

  // The settles, written once for both ways of naming a message.
  Result<bool> remove(uint64_t seq, const LeaseToken* lease, bool dead,
                      std::optional<ByteSpan> result = std::nullopt);
  // The bodies of remove() and take(), with the locks held.
  Result<bool> remove_holding_locks(uint64_t seq, const LeaseToken* lease, bool dead,
                                    std::optional<ByteSpan> result = std::nullopt);
  Result<Taken> take_holding_locks(const TakeRequest& request);
  Result<bool> give_back(uint64_t seq, const LeaseToken* lease, uint64_t delay_ms,
                         std::optional<std::string_view> error = std::nullopt);
  Result<std::optional<uint64_t>> renew(uint64_t seq, const LeaseToken* lease,
                                        std::optional<uint64_t> lease_ms,
                                        std::optional<std::string_view> consumer);
  // ACKs the items `current` accepts, each seq once; the others' positions
  // go to `refused` when given.
  template <class SeqOf, class Current>
  Result<uint64_t> ack_run(size_t count, SeqOf&& seq_of, Current&& current, SyncRule sync,
                           std::vector<size_t>* refused);

  // A crash between a move's two writes leaves a dead letter whose message
  // is still live; these finish such moves, so that no message is delivered
  // or buried again once it has a letter. Run with the main queue's lock
  // held; the `_held` form with the dead letters' lock held too. Only the
  // letters written since the last look are examined.
  Status finish_moves();
  Status finish_moves_held();
  // Moves the live message `seq` to the dead letters, unless an earlier,
  // interrupted move already did.
  Status move_to_dead(uint64_t seq, std::string_view reason, uint64_t now);
  // Runs `op` holding the main queue's lock, then the dead letters' (when
  // the queue keeps them), once interrupted moves are finished.
  template <class Op>
  auto with_dead_letters(Op&& op) -> decltype(op());

  std::unique_ptr<QueueImpl> main_;
  std::unique_ptr<QueueImpl> dead_;  // null when the queue keeps no dead letters
  std::string directory_;            // empty for ":memory:"
  // Every letter below this seq of this dead-letter generation was looked
  // at by finish_moves; guarded by the main queue's lock.
  uint64_t letters_checked_below_ = 0;
  uint64_t letters_checked_generation_ = UINT64_MAX;
};

}  // namespace tarnwick
